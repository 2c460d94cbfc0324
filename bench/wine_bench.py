#!/usr/bin/env python3
"""Runs the Windows benchmark host under Wine: COM61 (the library's port) and
COM62 (the host's own, for the bare WriteFile) are two pseudo-terminals of
the prefix, both drained while the host runs, and the host's figures are
printed. Not a test: it fails only if the host cannot run."""
import argparse
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
from wine_e2e import Pty, Wine, skip_unless_loader_runs  # noqa: E402


def run(wine, calls, repetitions, timeout):
    library, bare = Pty(), Pty()
    com62 = os.path.join(wine.prefix, "dosdevices", "com62")
    wine.map_com61(library.path)
    if os.path.lexists(com62):
        os.unlink(com62)
    os.symlink(bare.path, com62)
    try:
        with tempfile.TemporaryFile(mode="w+") as output:
            host = wine.start_host([calls, repetitions], output)
            deadline = time.monotonic() + timeout
            while host.poll() is None and time.monotonic() < deadline:
                library.drain(0.02)
                bare.drain(0.02)
                library.received.clear()
                bare.received.clear()
            if host.poll() is None:
                host.kill()
                raise SystemExit(f"the benchmark host did not finish within {timeout} s")
            output.seek(0)
            lines = output.read().splitlines()
    finally:
        wine.map_com61(None)
        os.unlink(com62)
        library.close()
        bare.close()
    print("\n".join(lines))
    return 0 if host.returncode == 0 and lines[-1:] == ["done"] else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--loader", required=True, help="the wine loader for the host's bitness")
    parser.add_argument("--host", required=True)
    parser.add_argument("--calls", type=int, default=2000, help="calls of each kind per repetition")
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--timeout", type=int, default=600)
    parser.add_argument("--own-prefix", action="store_true",
                        help="make the prefix and its server first and stop the server after")
    args = parser.parse_args()
    skip_unless_loader_runs(args.loader)
    wine = Wine(args.prefix, args.loader, args.host)
    if args.own_prefix:
        wine.setup()
    try:
        return run(wine, args.calls, args.repetitions, args.timeout)
    finally:
        if args.own_prefix:
            wine.stop()


if __name__ == "__main__":
    sys.exit(main())
