#!/usr/bin/env python3
"""Counts the instructions of one LWZ_SBA and one LWZ_PBA call: runs the
counting program under callgrind, collecting only inside the export being
measured (with everything it calls, libc's write() wrapper included), and
divides by the number of calls. Instruction counts repeat exactly from run to
run, unlike times on a busy machine."""
import argparse
import os
import re
import subprocess
import sys
import tempfile

TARGETS = {"LWZ_SBA": ("sba", 64), "LWZ_PBA": ("pba", 56)}


def count(program, export, calls):
    mode = TARGETS[export][0]
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "callgrind.out")
        run = subprocess.run(["valgrind", "--tool=callgrind", f"--toggle-collect={export}",
                              f"--callgrind-out-file={out}", program, mode, str(calls)],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True)
        if run.returncode != 0:
            raise SystemExit(f"the counting program failed:\n{run.stdout}")
        with open(out) as profile:
            text = profile.read()
    match = re.search(r"^(?:totals|summary):\s*(\d+)", text, re.MULTILINE)
    if not match:
        raise SystemExit(f"no instruction total in callgrind's output for {export}")
    if int(match.group(1)) == 0:
        raise SystemExit(f"callgrind saw no instructions inside {export}")
    return int(match.group(1)) / calls


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True, help="brindlex_bench_instructions")
    parser.add_argument("--calls", type=int, default=100000)
    args = parser.parse_args()
    print(f"instructions per call (callgrind, {args.calls} calls of the shipped library)")
    for export, (_, target) in TARGETS.items():
        per_call = count(args.program, export, args.calls)
        verdict = "within" if per_call <= target else "OVER"
        print(f"  {export}: {per_call:.2f} instructions per call ({verdict} the target of {target})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
