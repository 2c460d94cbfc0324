#!/usr/bin/env python3
"""Checks what a built library shows to the world: exactly the five LWZ_
functions, and for a DLL its module name, ordinals and imports."""
import argparse
import re
import subprocess
import sys

EXPORTS = ["LWZ_PBA", "LWZ_REGISTER", "LWZ_SBA", "LWZ_SET_NOTIFY", "LWZ_SET_NOTIFY_EX"]
ALLOWED_IMPORTS = {"KERNEL32.dll", "msvcrt.dll"}


def run(command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def check_posix(path):
    symbols = run(["nm", "-D", "--defined-only", path]).split("\n")
    names = sorted(line.split()[-1] for line in symbols if line.strip())
    problems = [] if names == EXPORTS else [f"exports {names}, expected {EXPORTS}"]
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", run(["readelf", "-d", path]))
    if any("stdc++" in lib or "gcc_s" in lib for lib in needed):
        problems.append(f"needs the C++ runtime: {needed}")
    return problems


def check_dll(objdump, path):
    text = run([objdump, "-p", path])
    problems = []
    module = re.search(r"^Name\s+\S+\s+(\S+)$", text, re.M)
    if not module or module.group(1) != "Brindlex.dll":
        problems.append(f"module name {module.group(1) if module else None}, expected Brindlex.dll")
    base = re.search(r"Ordinal Base\s+(\d+)", text)
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    if not base or len(table) < 2:
        return problems + ["no export table"]
    entries = re.findall(r"^\s*\[\s*(\d+)\]\s+(\S+)\s*$", table[1].split("\n\n", 1)[0], re.M)
    ordinals = {name: int(index) + int(base.group(1)) for index, name in entries}
    expected = {name: ordinal for ordinal, name in enumerate(EXPORTS, start=1)}
    if ordinals != expected:
        problems.append(f"exports {ordinals}, expected {expected}")
    count = re.search(r"Export Address Table\s+([0-9a-fA-F]+)", text)
    if not count or int(count.group(1), 16) != len(EXPORTS):
        problems.append(f"export address table has {count.group(1) if count else '?'} entries")
    imports = set(re.findall(r"DLL Name: (\S+)", text))
    if imports != ALLOWED_IMPORTS:
        problems.append(f"imports {sorted(imports)}, expected only {sorted(ALLOWED_IMPORTS)}")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--posix", nargs="*", default=[], help="shared objects to check")
    parser.add_argument("--dll", nargs="*", default=[], help="DLLs to check")
    parser.add_argument("--objdump", default="objdump")
    args = parser.parse_args()
    failed = False
    for path in args.posix:
        problems = check_posix(path)
        failed |= bool(problems)
        print(f"{path}: {'; '.join(problems) or 'ok'}")
    for path in args.dll:
        problems = check_dll(args.objdump, path)
        failed |= bool(problems)
        print(f"{path}: {'; '.join(problems) or 'ok'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
