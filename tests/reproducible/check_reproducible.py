#!/usr/bin/env python3
"""Builds the release files a second time, from a copy of the sources in a
private temporary folder, with another umask, time zone and locale, and
compares them byte for byte with the ones scripts/package made in dist/.
Only the commit's date is shared. On a difference diffoscope's report is kept
in --report. Also checks dist/SHA256SUMS against the files."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

# The Raspberry Pi files are compared by hand: their cross builds take as
# long again.
def is_arm(name):
    return "arm64" in name or "armhf" in name


def listed_in(sums):
    return sorted(line.split(None, 1)[1].strip().lstrip("*") for line in open(sums) if line.strip())


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--source", required=True)
    parser.add_argument("--report", required=True, help="folder for diffoscope's reports")
    args = parser.parse_args()
    source = os.path.abspath(args.source)
    dist = os.path.join(source, "dist")
    failures = []

    sums = os.path.join(dist, "SHA256SUMS")
    if not os.path.isfile(sums):
        print(f"FAIL: {sums} is missing: run scripts/package first")
        return 1
    status = subprocess.run(["sha256sum", "--quiet", "-c", "SHA256SUMS"], cwd=dist).returncode
    if status != 0:
        failures.append("sha256sum -c SHA256SUMS fails in dist/")

    epoch = subprocess.run([os.path.join(source, "scripts", "source-date-epoch")], check=True,
                           capture_output=True, text=True).stdout.strip()
    listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=source,
                            check=True, capture_output=True).stdout.split(b"\0")
    files = [name for name in listed if name and os.path.lexists(os.path.join(source.encode(), name))]

    shutil.rmtree(args.report, ignore_errors=True)
    # mkdtemp's folder is 0700, the copy's files are made under umask 077.
    temporary = tempfile.mkdtemp(prefix="brindlex-again-")
    copy = os.path.join(temporary, "sources")
    os.mkdir(copy)
    env = dict(os.environ, SOURCE_DATE_EPOCH=epoch, TZ="NST3:30", LC_ALL="C.UTF-8", LANG="C.UTF-8")

    def in_copy(command):
        return subprocess.run(command, cwd=copy, env=env, stdin=subprocess.DEVNULL,
                              preexec_fn=lambda: os.umask(0o077)).returncode

    try:
        subprocess.run(["cp", "-P", "--parents", "-t", copy, "--"] + files, cwd=source, check=True,
                       preexec_fn=lambda: os.umask(0o077))
        # Without the tests, which scripts/package does not need.
        for preset in ["native", "win64", "win32"]:
            if in_copy(["cmake", "--preset", preset, "-DBRINDLEX_TESTS=OFF", "-Wno-dev"]) != 0:
                failures.append(f"the copy does not configure {preset}")
        if not failures and in_copy(["scripts/package", "--no-arm"]) != 0:
            failures.append("scripts/package --no-arm fails in the copy")
        again = os.path.join(copy, "dist")
        made = []
        if os.path.isfile(os.path.join(again, "SHA256SUMS")):
            made = listed_in(os.path.join(again, "SHA256SUMS"))
        expected = [name for name in listed_in(sums) if not is_arm(name)]
        if made != expected:
            failures.append(f"the copy made {made}, dist/ has {expected}")
        for name in made:
            first, second = os.path.join(dist, name), os.path.join(again, name)
            if not os.path.isfile(first):
                failures.append(f"{name} is not in dist/")
                continue
            if open(first, "rb").read() == open(second, "rb").read():
                print(f"same bytes: {name}")
                continue
            os.makedirs(args.report, exist_ok=True)
            report = os.path.join(args.report, name + ".diffoscope.txt")
            subprocess.run(["diffoscope", "--text", report, first, second], stdout=subprocess.DEVNULL,
                           stderr=subprocess.STDOUT, timeout=600)
            failures.append(f"{name} differs; diffoscope's report: {report}")
    finally:
        shutil.rmtree(temporary, ignore_errors=True)

    for failure in failures:
        print("FAIL:", failure)
    print(f"reproducible: {'FAILED' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
