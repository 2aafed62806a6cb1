#!/usr/bin/env python3
"""Checks the built Windows executable: a stripped 32-bit console program for
Windows 5.0 and later, at most 64 KiB, importing only functions that
windows_imports.txt allows (none newer than Windows 2000), with its manifest
and version block.

    check_windows_exe.py LAUNCHER.EXE
"""

import os
import re
import struct
import subprocess
import sys

OBJDUMP = "i686-w64-mingw32-objdump"
MAX_SIZE = 64 * 1024
ALLOWLIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "windows_imports.txt")
DECLARED = (5, 0)  # Windows 2000
RT_VERSION, RT_MANIFEST = 16, 24

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def headers(path):
    return subprocess.run([OBJDUMP, "-p", path], capture_output=True, text=True,
                          check=True).stdout


def field(dump, name):
    match = re.search(rf"^{name}\s+(\S+)", dump, re.MULTILINE)
    return match.group(1) if match else None


def check_headers(path):
    dump = headers(path)
    check("file format pei-i386" in dump, "a 32-bit (i386) PE file")
    check(field(dump, "Magic") == "010b", "PE32 optional header")
    check(field(dump, "Subsystem") == "00000003", "console subsystem (3)")
    for name in ("MajorOSystemVersion", "MajorSubsystemVersion"):
        check(field(dump, name) == "5", f"{name} 5")
    for name in ("MinorOSystemVersion", "MinorSubsystemVersion"):
        check(field(dump, name) == "0", f"{name} 0")
    check_imports(dump)
    symbols = subprocess.run([OBJDUMP, "-t", path], capture_output=True, text=True).stdout
    check(not re.search(r"^\[\s*\d+\]", symbols, re.MULTILINE), "stripped of symbols")
    check(os.path.getsize(path) <= MAX_SIZE,
          f"at most {MAX_SIZE} bytes, not {os.path.getsize(path)}")


# ---- Imports ----

def imports(dump):
    """[(dll, function)] of the import table, DLL names in lower case."""
    found, dll = [], None
    for line in dump.splitlines():
        named = re.match(r"\s*DLL Name: (\S+)", line)
        if named:
            dll = named.group(1).lower()
            continue
        entry = re.match(r"\s+[0-9a-f]+\s+\d+\s+(\S+)$", line)
        if dll and entry:
            found.append((dll, entry.group(1)))
    return found


def allowlist():
    """{(dll, function): (major, minor) of the first Windows NT version}."""
    allowed = {}
    with open(ALLOWLIST) as listing:
        for line in listing:
            if line.strip() and not line.startswith("#"):
                dll, function, since, caller = line.split()
                allowed[(dll, function)] = (tuple(int(part) for part in since.split(".")), caller)
    return allowed


def check_imports(dump):
    allowed = allowlist()
    table = imports(dump)
    for (dll, function), (since, caller) in sorted(allowed.items()):
        check(since <= DECLARED, f"{dll} {function} listed as new in Windows NT "
                                 f"{since[0]}.{since[1]}, later than the declared 5.0")
        check(caller != "launcher" or (dll, function) in table,
              f"{dll} {function}, which the launcher calls, imported")
    check(table, "an import table")
    print("imports (first Windows NT version):")
    for dll, function in table:
        since = allowed.get((dll, function), (None,))[0]
        check(since is not None, f"{dll} {function} imported but not on the allowlist")
        shown = f"{since[0]}.{since[1]}" if since else "NOT ALLOWED"
        print(f"  {dll:<13} {function:<28} {shown}")


# ---- Resources ----

def sections(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    table = pe + 24 + optional_size
    for i in range(count):
        name, vsize, vaddr, rsize, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
        yield name.rstrip(b"\0").decode(), vaddr, vsize, raw


def resources(data):
    """{(type, name): bytes} of every resource, first language of each."""
    rsrc = next((s for s in sections(data) if s[0] == ".rsrc"), None)
    if rsrc is None:
        return {}
    _, base_rva, _, base = rsrc

    def entries(offset):
        named, ids = struct.unpack_from("<HH", data, base + offset + 12)
        for i in range(named + ids):
            key, target = struct.unpack_from("<II", data, base + offset + 16 + 8 * i)
            yield key, target

    found = {}
    for type_id, names in entries(0):
        for name_id, languages in entries(names & 0x7FFFFFFF):
            _, leaf = next(entries(languages & 0x7FFFFFFF))
            rva, size = struct.unpack_from("<II", data, base + leaf)
            found[(type_id, name_id)] = data[base + rva - base_rva:][:size]
    return found


def version_blocks(data, offset=0):
    """Parses a VS_VERSIONINFO block: (key, value, children)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    key_end = offset + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[offset + 6:key_end].decode("utf-16-le")
    position = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if kind == 1 else value_length
    value = data[position:position + value_size]
    position = (position + value_size + 3) & ~3
    children = []
    while position < end:
        child = version_blocks(data, position)
        children.append(child[:3])
        position = (position + child[3] + 3) & ~3
    return key, value, children, length


def check_resources(path):
    with open(path, "rb") as exe:
        data = exe.read()
    found = resources(data)

    manifest = found.get((RT_MANIFEST, 1), b"").decode("utf-8", "replace")
    check(re.search(r'<requestedExecutionLevel\s+level="asInvoker"\s+uiAccess="false"\s*/>',
                    manifest), "manifest asking for asInvoker without UI access")

    version = found.get((RT_VERSION, 1))
    check(version is not None, "a version block")
    if version is None:
        return
    key, fixed, children, _ = version_blocks(version)
    check(key == "VS_VERSION_INFO", "VS_VERSION_INFO")
    signature, _, file_ms, file_ls = struct.unpack_from("<IIII", fixed)
    check(signature == 0xFEEF04BD, "fixed file info")
    check((file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF) == (5, 1, 0, 90),
          "fixed file version 5.1.0.90")
    blocks = {child[0]: child for child in children}
    tables = {table[0]: table for table in blocks.get("StringFileInfo", ("", b"", []))[2]}
    check(list(tables) == ["080404b0"], f"one string table 080404b0, not {list(tables)}")
    strings = {s[0]: s[1].decode("utf-16-le").rstrip("\0")
               for s in tables.get("080404b0", ("", b"", []))[2]}
    check(strings.get("FileVersion") == "5, 1, 0, 90", "FileVersion \"5, 1, 0, 90\"")
    variables = {v[0]: v[1] for v in blocks.get("VarFileInfo", ("", b"", []))[2]}
    check(variables.get("Translation") == struct.pack("<HH", 0x0804, 1200),
          "translation Chinese (PRC) 0x0804, code page 1200")


def main():
    path = sys.argv[1]
    if not os.path.exists(path):
        print(f"{path} is missing: build the windows preset first")
        return 1
    check_headers(path)
    check_resources(path)
    for failure in failures:
        print(f"not met: {failure}")
    print(f"{path}: {os.path.getsize(path)} bytes, {len(failures)} check(s) failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
