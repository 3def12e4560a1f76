#!/usr/bin/env python3
"""The build installed into a fresh temporary folder, as users install it: cmake --install and
consumer/ built by CMake, or the Debian packages and consumer.c built with pkg-config's flags; the
hosts run a card cycle on the installed cardemu and must load the installed library, and the installed
tools state the project's version and copyright. bridge: qt741-bridge unpacked with the library runs,
and its unit and options are as documented. lintian: cpack wrote the four Debian packages and the tar.gz
by their names, each stating the project's version and the license (packages.py); no lintian error, no
warning but those docs/building.md keeps.

    install_test.py CMAKE BUILD VERSION find_package|pkg_config|bridge|lintian
"""
import glob
import os
import re
import subprocess
import sys
import tempfile

import packages

HERE = os.path.dirname(os.path.abspath(__file__))


def run(*command, **kwargs):
    print("+ " + " ".join(command), flush=True)
    return subprocess.run(command, check=True, text=True, **kwargs).stdout


def cpack(cmake, build, version, tmp, generators):
    """The packages cpack writes: the four Debian packages (and the tar.gz), by name."""
    run(os.path.join(os.path.dirname(cmake), "cpack"), "--config", build + "/CPackConfig.cmake", "-G", generators,
        "-B", tmp)
    arch = run("dpkg", "--print-architecture", stdout=subprocess.PIPE).strip()
    expected = ["%s/%s_%s_%s.deb" % (tmp, name, version, arch)
                for name in ("libqt741dll1", "libqt741dll-dev", "qt741-tools", "qt741-bridge")]
    if "TGZ" in generators:
        expected.append("%s/QT741DLL-%s-linux-x86_64.tar.gz" % (tmp, version))
    written = glob.glob(tmp + "/*.deb") + glob.glob(tmp + "/*.tar.gz")
    missing, extra = [sorted(os.path.basename(path) for path in set(these) - set(those))
                      for these, those in ((expected, written), (written, expected))]
    if missing or extra:
        sys.exit("cpack did not write %s; wrote %s besides" % (missing, extra))
    return expected


def cycle(prefix, version, hosts, tmp, env=None):
    """The installed tools' --version; each host's card cycle on the installed cardemu, on the installed library."""
    library = os.path.realpath(glob.glob(prefix + "/lib/*/libQT741DLL.so.1")[0])
    copyright_line = re.search(r"^Copyright .*$", packages.LICENSE, re.M).group(0)
    for tool, loaded in (("cardtool", "libQT741DLL.so %s\n  file: %s\n" % (version, library)), ("cardemu", "")):
        first = "%s %s\n%s\n%s" % (tool, version, copyright_line, loaded)
        said = run(prefix + "/bin/" + tool, "--version", stdout=subprocess.PIPE)
        if not said.startswith(first):
            sys.exit("%s --version said:\n%sexpected it to begin:\n%s" % (tool, said, first))
    emu = subprocess.Popen([prefix + "/bin/cardemu", "--card", tmp + "/card.txt", "--link", tmp + "/com5"],
                           stdout=subprocess.PIPE)
    try:
        emu.stdout.readline()  # PORT /dev/pts/N: the link is there
        for host in hosts:
            print("+ %s %s/com5" % (host, tmp), flush=True)
            said = subprocess.run([host, tmp + "/com5"], env=env, stdout=subprocess.PIPE, text=True)
            print(said.stdout, end="")
            loaded = re.findall(r"^library (.*)$", said.stdout, re.M)
            if said.returncode or loaded != [library]:
                sys.exit("%s: exit status %d, loaded %s; expected 0 and %s" % (host, said.returncode, loaded, library))
    finally:
        emu.terminate()
        emu.wait()


def main():
    cmake, build, version, test = sys.argv[1:]
    with tempfile.TemporaryDirectory(prefix="qt741-install-") as tmp:
        tmp = os.path.realpath(tmp)
        if test == "find_package":
            run(cmake, "--install", build, "--prefix", tmp + "/usr")
            run(cmake, "-S", HERE + "/consumer", "-B", tmp + "/hosts", "-DCMAKE_PREFIX_PATH=" + tmp + "/usr")
            run(cmake, "--build", tmp + "/hosts")
            cycle(tmp + "/usr", version, [tmp + "/hosts/consumer", tmp + "/hosts/consumer_cxx"], tmp)
        elif test == "pkg_config":
            for deb in cpack(cmake, build, version, tmp, "DEB"):
                run("dpkg-deb", "-x", deb, tmp)
            env = dict(os.environ, PKG_CONFIG_PATH=glob.glob(tmp + "/usr/lib/*/pkgconfig")[0])
            flags = run("pkg-config", "--cflags", "--libs", "qt741dll", env=env, stdout=subprocess.PIPE).split()
            run("cc", "-Wall", "-Wextra", "-Wpedantic", "-Werror", "-o", tmp + "/consumer", HERE + "/consumer/consumer.c",
                *flags)
            libdir = run("pkg-config", "--variable=libdir", "qt741dll", env=env, stdout=subprocess.PIPE).strip()
            cycle(tmp + "/usr", version, [tmp + "/consumer"], tmp, dict(os.environ, LD_LIBRARY_PATH=libdir))
        elif test == "bridge":
            # qt741-bridge unpacked with the library: the program runs from it, and the unit starts it as
            # its own user, in dialout, with the options of its conffile.
            written = cpack(cmake, build, version, tmp, "DEB")
            for deb in written:
                run("dpkg-deb", "-x", deb, tmp)
            said = run(tmp + "/usr/bin/cardbridge", "--version", stdout=subprocess.PIPE)
            with open(tmp + "/lib/systemd/system/cardbridge.service") as f:
                unit = f.read()
            with open(tmp + "/etc/default/cardbridge") as f:
                options = f.read()
            depends = run("dpkg-deb", "-f", written[3], "Depends", stdout=subprocess.PIPE)
            for wanted, text in (("cardbridge " + version, said), ("ExecStart=/usr/bin/cardbridge $CARDBRIDGE_OPTS", unit),
                                 ("User=cardbridge", unit), ("SupplementaryGroups=dialout", unit),
                                 ("EnvironmentFile=-/etc/default/cardbridge", unit),
                                 ('CARDBRIDGE_OPTS="--serial', options), ("adduser", depends)):
                if wanted not in text:
                    sys.exit("qt741-bridge: no %r in %s" % (wanted, text))
        else:
            written = cpack(cmake, build, version, tmp, "DEB;TGZ")
            problems = [problem for package in written for problem in packages.problems(package, version)]
            if problems:
                sys.exit("\n".join(problems))
            print("the packages state version %s and the MIT license" % version)
            run("lintian", "--fail-on", "error,warning", "--suppress-tags", "maintscript-calls-ldconfig,no-manual-page",
                *written[:4])
    print("install: %s passed" % test)


if __name__ == "__main__":
    main()
