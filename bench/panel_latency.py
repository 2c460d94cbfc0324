#!/usr/bin/python3
"""A click's path through `brindlex panel`: from the moment the page's request
is sent to the moment the command's last byte reaches the far end of the
port, here a pseudo-terminal read at once. Each click switches one output on
or off (the panel's toggle mode), so that every request makes exactly one
command. Prints the median and the 99th percentile. Not a test: it fails
only if the panel cannot be run."""
import argparse
import http.client
import json
import os
import re
import select
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
from wine_e2e import Pty, Wine, skip_unless_loader_runs  # noqa: E402


def clicks(tool, port_link, count, env=None, cwd=None):
    pty = Pty()
    if os.path.lexists(port_link):
        os.unlink(port_link)
    os.symlink(pty.path, port_link)
    output = tempfile.TemporaryFile(mode="w+")
    panel = subprocess.Popen(tool + ["panel", "--no-browser"], env=env, cwd=cwd, stdout=output,
                             stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 60
        text = ""
        while not re.search(r"panel at (\S+)", text):
            if time.monotonic() > deadline or panel.poll() is not None:
                raise SystemExit(f"the panel did not start: {text}")
            time.sleep(0.05)
            text = os.pread(output.fileno(), 65536, 0).decode(errors="replace")
        url = re.search(r"panel at (\S+)", text).group(1)
        port, token = int(re.search(r":(\d+)/", url).group(1)), url.split("token=")[1]
        # Keep-alive, as the page's fetch does.
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        headers = {"Content-Type": "application/json", "Origin": f"http://127.0.0.1:{port}"}
        times = []
        for n in range(count):
            body = json.dumps({"device": 1 + n % 8, "output": n % 32, "on": n % 64 < 32})
            received = 0
            started = time.perf_counter()
            connection.request("POST", "/api/switch?token=" + token, body=body, headers=headers)
            while received < 36:
                if select.select([pty.master], [], [], 10)[0]:
                    received += len(os.read(pty.master, 4096))
                else:
                    raise SystemExit(f"click {n}: {received} of 36 bytes arrived")
            times.append(time.perf_counter() - started)
            response = connection.getresponse()
            response.read()
            if response.status != 200:
                raise SystemExit(f"click {n}: {response.status}")
        connection.request("POST", "/api/quit?token=" + token, body="{}", headers=headers)
        connection.getresponse().read()
        panel.wait(timeout=30)
        return times
    finally:
        if panel.poll() is None:
            panel.kill()
        os.unlink(port_link)
        pty.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tool", required=True, help="brindlex, or brindlex.exe with --wine")
    parser.add_argument("--port", help="the library's port path (native)")
    parser.add_argument("--wine", help="the Wine loader; with --prefix, whose COM61 is used")
    parser.add_argument("--prefix")
    parser.add_argument("--clicks", type=int, default=1000)
    args = parser.parse_args()
    tool = [os.path.abspath(args.tool)]
    if args.wine:
        skip_unless_loader_runs(args.wine)
        wine = Wine(args.prefix, args.wine, args.tool)
        wine.setup()
        try:
            times = clicks([args.wine] + tool, wine.com61, args.clicks, env=wine.env, cwd=os.path.dirname(tool[0]))
        finally:
            wine.stop()
        where = "Wine " + os.path.basename(args.wine)
    else:
        times = clicks(tool, args.port, args.clicks)
        where = "native"
    times.sort()
    p99 = times[min(len(times) - 1, int(len(times) * 0.99))]
    print(f"panel click to last byte, {where}, {len(times)} clicks: median {statistics.median(times) * 1e3:.3f} ms, "
          f"99th percentile {p99 * 1e3:.3f} ms, largest {times[-1] * 1e3:.3f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
