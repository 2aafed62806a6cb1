#!/usr/bin/env python3
"""Builds a preset's launcher.exe a second time, from a copy of the sources
in another directory, in another time zone and locale, and compares it
byte for byte with the one built before.

    rebuild_and_compare.py SOURCE_DIR PRESET BUILT_EXE WORK_DIR
"""

import hashlib
import os
import shutil
import subprocess
import sys


def first_difference(a, b):
    for offset, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return offset
    return min(len(a), len(b))


def main():
    source, preset, built, work = sys.argv[1:5]
    shutil.rmtree(work, ignore_errors=True)
    copy = os.path.join(work, "another source directory")
    shutil.copytree(source, copy, ignore=shutil.ignore_patterns(".git", "build"))
    env = dict(os.environ, TZ="Pacific/Kiritimati", LC_ALL="C", LANG="C")
    quiet = dict(cwd=copy, env=env, stdout=subprocess.DEVNULL, check=True)
    subprocess.run(["cmake", "--preset", preset], **quiet)
    subprocess.run(["cmake", "--build", "--preset", preset, "--target", "launcher"], **quiet)
    with open(built, "rb") as file:
        first = file.read()
    with open(os.path.join(copy, "build", preset, "launcher.exe"), "rb") as file:
        second = file.read()
    if first != second:
        offset = first_difference(first, second)
        print(f"{preset}: the two builds differ, first at offset {offset:#x} "
              f"({len(first)} and {len(second)} bytes)")
        return 1
    print(f"{preset}: the same {len(first)} bytes twice, "
          f"SHA-256 {hashlib.sha256(first).hexdigest()}")
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
