#!/usr/bin/env python3
"""Builds the qt741 wheels, one for each platform's library.

    build_wheels.py [--win32 BUILD] [--win-amd64 BUILD] [--linux BUILD] --out DIR

Each BUILD is a build folder: windows-x86-msvc (its QT741DLL.dll; tag win32),
windows-x64-msvc (win_amd64) or linux-native (libQT741DLL.so.1; linux_x86_64).
The package qt741 is bindings/python/qt741.py as qt741/__init__.py with the
library beside it; the version is the CMake project's, from the build's
CMakeCache.txt; LICENSE goes into the wheel's .dist-info. Runs offline with setuptools, wheel and build
(Debian: python3-setuptools python3-wheel python3-build).
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
# option: (platform tag, the library's file in the build and in the package)
PLATFORMS = {"win32": ("win32", "QT741DLL.dll"),
             "win_amd64": ("win_amd64", "QT741DLL.dll"),
             "linux": ("linux_x86_64", "libQT741DLL.so.1")}


def project_version(build):
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        found = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.+)$", f.read(), re.M)
    if not found:
        sys.exit("%s: no CMAKE_PROJECT_VERSION in its CMakeCache.txt" % build)
    return found.group(1)


def build_wheel(build, tag, library, out):
    version = project_version(build)
    with tempfile.TemporaryDirectory() as stage:
        os.mkdir(os.path.join(stage, "qt741"))
        shutil.copy(os.path.join(SOURCE, "bindings", "python", "qt741.py"), os.path.join(stage, "qt741", "__init__.py"))
        shutil.copy(os.path.join(build, "library", library), os.path.join(stage, "qt741", library))
        for name in ("pyproject.toml", "README.md"):
            shutil.copy(os.path.join(HERE, name), stage)
        shutil.copy(os.path.join(SOURCE, "LICENSE"), stage)
        with open(os.path.join(stage, "VERSION"), "w") as f:
            f.write(version + "\n")
        with open(os.path.join(stage, "setup.cfg"), "w") as f:
            f.write("[bdist_wheel]\npython_tag = py3\nplat_name = %s\n" % tag)
        result = subprocess.run([sys.executable, "-m", "build", "--no-isolation", "--wheel", "--outdir", out, stage],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if result.returncode:
            sys.exit("%s\nbuilding the %s wheel failed" % (result.stdout, tag))
    wheel = os.path.join(out, "qt741-%s-py3-none-%s.whl" % (version, tag))
    if not os.path.exists(wheel):
        sys.exit("no %s after building it" % wheel)
    print(wheel)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in PLATFORMS:
        parser.add_argument("--" + option.replace("_", "-"), dest=option, metavar="BUILD")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    builds = [(option, getattr(args, option)) for option in PLATFORMS if getattr(args, option)]
    if not builds:
        parser.error("no build folder given")
    os.makedirs(args.out, exist_ok=True)
    for option, build in builds:
        build_wheel(os.path.abspath(build), *PLATFORMS[option], os.path.abspath(args.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
