#!/usr/bin/env python3
"""The build installed into a fresh temporary folder, as users install it: cmake --install and
consumer/ built by CMake, or the Debian packages and consumer.c built with pkg-config's flags; the
hosts run a card cycle on the installed cardemu. lintian: no error, no warning but those docs/building.md keeps.

    install_test.py CMAKE BUILD find_package|pkg_config|bridge|lintian
"""
import glob
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def run(*command, **kwargs):
    print("+ " + " ".join(command), flush=True)
    return subprocess.run(command, check=True, text=True, **kwargs).stdout


def debs(cmake, build, tmp):
    run(os.path.join(os.path.dirname(cmake), "cpack"), "--config", build + "/CPackConfig.cmake", "-G", "DEB", "-B", tmp)
    return glob.glob(tmp + "/*.deb")


def cycle(prefix, hosts, tmp, env=None):
    version = run(prefix + "/bin/cardtool", "--version", stdout=subprocess.PIPE)
    if "file: %s/" % prefix not in version:  # the installed cardtool loads the installed library
        sys.exit("cardtool --version: " + version)
    emu = subprocess.Popen([prefix + "/bin/cardemu", "--card", tmp + "/card.txt", "--link", tmp + "/com5"],
                           stdout=subprocess.PIPE)
    try:
        emu.stdout.readline()  # PORT /dev/pts/N: the link is there
        for host in hosts:
            run(host, tmp + "/com5", env=env)
    finally:
        emu.terminate()
        emu.wait()


def main():
    cmake, build, test = sys.argv[1:]
    with tempfile.TemporaryDirectory(prefix="qt741-install-") as tmp:
        tmp = os.path.realpath(tmp)
        if test == "find_package":
            run(cmake, "--install", build, "--prefix", tmp + "/usr")
            run(cmake, "-S", HERE + "/consumer", "-B", tmp + "/hosts", "-DCMAKE_PREFIX_PATH=" + tmp + "/usr")
            run(cmake, "--build", tmp + "/hosts")
            cycle(tmp + "/usr", [tmp + "/hosts/consumer", tmp + "/hosts/consumer_cxx"], tmp)
        elif test == "pkg_config":
            for deb in debs(cmake, build, tmp):
                run("dpkg-deb", "-x", deb, tmp)
            env = dict(os.environ, PKG_CONFIG_PATH=glob.glob(tmp + "/usr/lib/*/pkgconfig")[0])
            flags = run("pkg-config", "--cflags", "--libs", "qt741dll", env=env, stdout=subprocess.PIPE).split()
            run("cc", "-Wall", "-Wextra", "-Wpedantic", "-Werror", "-o", tmp + "/consumer", HERE + "/consumer/consumer.c",
                *flags)
            libdir = run("pkg-config", "--variable=libdir", "qt741dll", env=env, stdout=subprocess.PIPE).strip()
            cycle(tmp + "/usr", [tmp + "/consumer"], tmp, dict(os.environ, LD_LIBRARY_PATH=libdir))
        elif test == "bridge":
            # qt741-bridge unpacked with the library: the program runs from it, and the unit starts it as
            # its own user, in dialout, with the options of its conffile.
            for deb in debs(cmake, build, tmp):
                run("dpkg-deb", "-x", deb, tmp)
            version = run(tmp + "/usr/bin/cardbridge", "--version", stdout=subprocess.PIPE)
            with open(tmp + "/lib/systemd/system/cardbridge.service") as f:
                unit = f.read()
            with open(tmp + "/etc/default/cardbridge") as f:
                options = f.read()
            depends = run("dpkg-deb", "-f", glob.glob(tmp + "/qt741-bridge_*.deb")[0], "Depends",
                            stdout=subprocess.PIPE)
            for wanted, text in (("cardbridge ", version), ("ExecStart=/usr/bin/cardbridge $CARDBRIDGE_OPTS", unit),
                                 ("User=cardbridge", unit), ("SupplementaryGroups=dialout", unit),
                                 ("EnvironmentFile=-/etc/default/cardbridge", unit),
                                 ('CARDBRIDGE_OPTS="--serial', options), ("adduser", depends)):
                if wanted not in text:
                    sys.exit("qt741-bridge: no %r in %s" % (wanted, text))
        else:
            run("lintian", "--fail-on", "error,warning", "--suppress-tags", "maintscript-calls-ldconfig,no-manual-page",
                *debs(cmake, build, tmp))
    print("install: %s passed" % test)


if __name__ == "__main__":
    main()
