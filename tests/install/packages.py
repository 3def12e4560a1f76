#!/usr/bin/env python3
"""What a built package says of itself: its version is the project's, and it names the MIT license (Debian's name
for it is Expat) and carries LICENSE's text, each in its own ecosystem's way.

    packages.py VERSION PACKAGE...    the Debian packages, the Linux tar.gz, a wheel, the npm package, the NuGet package

One line per package; exits 1 on any problem.
"""
import io
import os
import re
import subprocess
import sys
import tarfile
import zipfile

with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "LICENSE")) as f:
    LICENSE = f.read()
WHOLE_LICENSE = r"\A%s\Z" % re.escape(LICENSE)
# A Debian copyright file's paragraphs: every file ("2026 the QT741DLL authors") under Expat, and Expat's terms, as
# LICENSE has them after its copyright line, indented, an empty line as " .".
DEP5 = re.escape("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n")
FILES = re.escape("Files: *\nCopyright: %s\nLicense: Expat\n" % re.search(r"^Copyright \(c\) (.+)$", LICENSE, re.M)[1])
TERMS = re.escape("License: Expat\n" + "\n".join(" " + line if line else " ." for line in
                                                 LICENSE[LICENSE.index("Permission"):].strip().splitlines()))

# By the package file's ending: (a pattern of the name of one of its files, what that file must hold, what that
# is called); VERSION stands for the project's.
RULES = {
    ".deb": [("control", r"^Version: VERSION$", "Version VERSION"),
             (r"\./usr/share/doc/[^/]+/copyright", r"\A" + DEP5, "the DEP-5 Format line"),
             (r"\./usr/share/doc/[^/]+/copyright", FILES, "a Files: * paragraph under License: Expat"),
             (r"\./usr/share/doc/[^/]+/copyright", TERMS, "LICENSE's terms as License: Expat")],
    "-linux-x86_64.tar.gz": [(r"QT741DLL-VERSION-linux-x86_64/LICENSE\.txt", WHOLE_LICENSE, "LICENSE")],
    ".whl": [(r"qt741-VERSION\.dist-info/METADATA", r"^Version: VERSION$", "Version VERSION"),
             (r"qt741-VERSION\.dist-info/METADATA", r"^License(?:-Expression)?: MIT$", "the MIT license"),
             (r"qt741-VERSION\.dist-info/(?:licenses/)?LICENSE", WHOLE_LICENSE, "LICENSE")],
    ".tgz": [("package/package.json", r'"version": "VERSION"', "version VERSION"),
             ("package/package.json", r'"license": "MIT"', "the MIT license"),
             ("package/LICENSE", WHOLE_LICENSE, "LICENSE")],
    ".nupkg": [(r"[^/]+\.nuspec", r"<version>VERSION</version>", "version VERSION"),
               (r"[^/]+\.nuspec", r'<license type="expression">MIT</license>', "the MIT license expression"),
               ("LICENSE.txt", WHOLE_LICENSE, "LICENSE")],
}


def text_of(tar):
    with tar:
        return {m.name: tar.extractfile(m).read().decode(errors="replace") for m in tar.getmembers() if m.isfile()}


def files(path):
    """The package's files by name, as text (of a Debian package also its control fields, as "control")."""
    if path.endswith(".deb"):
        tar, control = [subprocess.run(["dpkg-deb", option, path], check=True, stdout=subprocess.PIPE).stdout
                        for option in ("--fsys-tarfile", "--field")]
        return dict(text_of(tarfile.open(fileobj=io.BytesIO(tar))), control=control.decode())
    if path.endswith("gz"):
        return text_of(tarfile.open(path))
    with zipfile.ZipFile(path) as z:
        return {name: z.read(name).decode(errors="replace") for name in z.namelist()}


def problems(path, version):
    """What is wrong with the package at path, [] when nothing."""
    rules = next(rules for ending, rules in RULES.items() if path.endswith(ending))
    found, wrong = files(path), []
    for name, wanted, called in rules:
        shown, called = (text.replace("VERSION", version).replace("\\", "") for text in (name, called))
        name, wanted = (pattern.replace("VERSION", re.escape(version)) for pattern in (name, wanted))
        texts = [text for member, text in found.items() if re.fullmatch(name, member)]
        if not any(re.search(wanted, text, re.M) for text in texts):
            wrong.append(os.path.basename(path) + ": " + ("%s lacks %s" % (shown, called) if texts else "no " + shown))
    return wrong


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    failed = False
    for path in sys.argv[2:]:
        found = problems(path, sys.argv[1])
        failed = failed or bool(found)
        print("\n".join(found) if found else "ok   %s: version %s, MIT license" % (os.path.basename(path), sys.argv[1]))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
