#!/usr/bin/env python3
"""What a built package says of itself: its version is the project's, and it names the MIT license (Debian's name
for it is Expat) and carries LICENSE's text, each in its own ecosystem's way.

    packages.py VERSION PACKAGE...    the Debian packages, the Linux tar.gz, a wheel, the npm package, the NuGet package

One line per package; exits 1 on any problem.
"""
import io
import json
import os
import re
import subprocess
import sys
import tarfile
import zipfile

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)
with open(os.path.join(SOURCE, "LICENSE")) as f:
    LICENSE = f.read()
# The terms without the title and the copyright line, as a Debian copyright file's License paragraph holds them.
TERMS = LICENSE[LICENSE.index("Permission"):].strip()
# "2026 the QT741DLL authors": the years and the holder, as a Copyright field states them.
HOLDER = re.search(r"^Copyright \(c\) (.+)$", LICENSE, re.M).group(1)


def deb(path, version):
    fields = subprocess.run(["dpkg-deb", "-f", path, "Package", "Version"], check=True, stdout=subprocess.PIPE,
                            text=True).stdout
    name, stated = re.findall(r"^\w+: (.+)$", fields, re.M)
    data = subprocess.run(["dpkg-deb", "--fsys-tarfile", path], check=True, stdout=subprocess.PIPE).stdout
    with tarfile.open(fileobj=io.BytesIO(data)) as tar:
        text = tar.extractfile("./usr/share/doc/%s/copyright" % name).read().decode()
    problems = [] if stated == version else ["Version %s, not %s" % (stated, version)]
    paragraph = re.search(r"^License: Expat\n((?: .*\n?)+)", text, re.M)
    terms = paragraph and "\n".join("" if line == " ." else line[1:] for line in paragraph.group(1).splitlines())
    if not text.startswith("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"):
        problems.append("copyright is not machine-readable (DEP-5)")
    if not re.search(r"^Files: \*\nCopyright: %s\nLicense: Expat$" % re.escape(HOLDER), text, re.M):
        problems.append("copyright: no Files: * paragraph naming %s under License: Expat" % HOLDER)
    if terms != TERMS:
        problems.append("copyright: its License: Expat paragraph is not LICENSE's terms")
    return problems


def tarball(path, version):
    top = "QT741DLL-%s-linux-x86_64" % version
    if os.path.basename(path) != top + ".tar.gz":
        return ["not named %s.tar.gz" % top]
    with tarfile.open(path) as tar:
        return [] if tar.extractfile(top + "/LICENSE.txt").read().decode() == LICENSE else ["LICENSE.txt differs"]


def wheel(path, version):
    with zipfile.ZipFile(path) as z:
        info = "qt741-%s.dist-info/" % version
        if info + "METADATA" not in z.namelist():
            return ["no %sMETADATA: not version %s" % (info, version)]
        metadata = z.read(info + "METADATA").decode()
        stated = re.search(r"^Version: %s$" % re.escape(version), metadata, re.M)
        problems = [] if stated else ["not Version %s" % version]
        if not re.search(r"^(?:License-Expression: MIT|License: MIT|Classifier: License :: OSI Approved :: MIT "
                         r"License)$", metadata, re.M):
            problems.append("METADATA names no MIT license")
        licenses = [n for n in z.namelist() if re.fullmatch(re.escape(info) + r"(?:licenses/)?LICENSE", n)]
        if not licenses or z.read(licenses[0]).decode() != LICENSE:
            problems.append("no LICENSE in %s" % info)
        return problems


def npm(path, version):
    with tarfile.open(path) as tar:
        manifest = json.load(tar.extractfile("package/package.json"))
        problems = ["%s %s, not %s" % (key, manifest.get(key), value)
                    for key, value in (("version", version), ("license", "MIT")) if manifest.get(key) != value]
        if "package/LICENSE" not in tar.getnames() or tar.extractfile("package/LICENSE").read().decode() != LICENSE:
            problems.append("no LICENSE")
        return problems


def nupkg(path, version):
    with zipfile.ZipFile(path) as z:
        manifest = z.read("QT741.nuspec").decode()
        problems = ["<%s> not %s" % (tag, value) for tag, value in
                    (("version", version), ('license type="expression"', "MIT"))
                    if "<%s>%s</%s>" % (tag, value, tag.split()[0]) not in manifest]
        if "LICENSE.txt" not in z.namelist() or z.read("LICENSE.txt").decode() != LICENSE:
            problems.append("no LICENSE.txt")
        return problems


KINDS = ((".deb", deb), ("-linux-x86_64.tar.gz", tarball), (".whl", wheel), (".tgz", npm), (".nupkg", nupkg))


def problems(path, version):
    """What is wrong with the package at path, [] when nothing."""
    check = next(check for suffix, check in KINDS if path.endswith(suffix))
    try:
        found = check(path, version)
    except KeyError as missing:  # a file the package should hold
        found = ["no %s" % missing]
    return ["%s: %s" % (os.path.basename(path), problem) for problem in found]


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
