#!/usr/bin/env python3
"""The host tool driving the real library onto a pseudo-terminal that the
emulator reads: every command the tool sends arrives well-formed, in order,
and the cabinet ends dark. Also `brindlex check` and bad arguments."""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time


def expected_test_walk():
    """The commands `brindlex test` sends, as (command, device, data)."""
    walk = []
    for device in range(1, 9):
        for output in range(32):
            walk.append(("states", device, [1 if n == output else 0 for n in range(32)]))
        walk.append(("states", device, [0] * 32))
    for device in range(1, 9):
        walk.append(("states", device, [1] * 32))
        for step in range(31):
            level = step * 17 if step <= 15 else (30 - step) * 17
            walk.append(("levels", device, [level] * 32))
        walk.append(("states", device, [0] * 32))
    for device in range(1, 9):
        walk.append(("states", device, [0] * 32))
        walk.append(("levels", device, [0] * 32))
    return walk


class Emulator:
    """The emulator in the background, linked at a port path, writing JSON."""

    def __init__(self, program, link):
        self.output = tempfile.TemporaryFile(mode="w+")
        self.link = link
        self.process = subprocess.Popen([program, "--json", "--link", link], stdout=self.output,
                                        stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.islink(link) or "ready" not in self.text():
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise AssertionError(f"the emulator did not start: {self.text()}")
            time.sleep(0.02)

    def text(self):
        self.output.seek(0)
        return self.output.read()

    def stop(self):
        """Ends it as a person would (a signal) and returns its events."""
        time.sleep(0.3)  # let the last bytes through the pty
        self.process.send_signal(signal.SIGINT)
        self.process.wait(timeout=10)
        events = [json.loads(line) for line in self.text().splitlines() if line.startswith("{")]
        return events, self.process.returncode


def run(command, env=None, cwd=None, timeout=120):
    with tempfile.TemporaryFile(mode="w+") as output:
        status = subprocess.run(command, stdout=output, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                env=env, cwd=cwd, timeout=timeout).returncode
        output.seek(0)
        return status, output.read()


failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message)


def check_test_walk(emulator_program, link, tool, env=None, cwd=None):
    """`brindlex test` through the library arrives whole and in order."""
    emulator = Emulator(emulator_program, link)
    status, output = run(tool + ["test", "--delay", "0"], env=env, cwd=cwd)
    events, emulator_status = emulator.stop()
    walk = expected_test_walk()
    check(status == 0, f"brindlex test failed ({status}): {output[-2000:]}")
    check("devices announced: 8" in output, f"no devices announced: {output[-2000:]}")
    check(f"test done: {len(walk)} commands sent" in output, f"tool's count: {output[-300:]}")
    commands = [(e["command"], e["device"], e["data"]) for e in events if e["event"] == "command"]
    malformed = [e for e in events if e["event"] == "malformed"]
    check(not malformed, f"malformed commands: {malformed[:3]}")
    check(commands == walk, f"received {len(commands)} commands, not the {len(walk)} of the walk"
          + next((f"; first difference at #{i + 1}: {a} != {b}" for i, (a, b) in enumerate(zip(commands, walk))
                  if a != b), ""))
    totals = [e for e in events if e["event"] == "totals"]
    check(totals == [{"event": "totals", "commands": len(walk), "malformed": 0}], f"totals {totals}")
    check(emulator_status == 0, f"emulator exit status {emulator_status}")
    check(not os.path.lexists(link), "the emulator left its link behind")


def check_bad_arguments_send_nothing(emulator_program, link, tool, env=None, cwd=None):
    emulator = Emulator(emulator_program, link)
    bad = [(["set", "9", "1"], "device '9'"), (["set", "1", "32"], "output '32'"),
           (["set", "1", "7-4"], "output '7-4'"), (["level", "2", "256"], "level '256'"),
           (["level", "2", "1", "2"], "not 2"), (["frobnicate"], "frobnicate"),
           (["set", "0", "all"], "device '0'"), (["test", "--delay", "x"], "x"),
           (["set", "3", ""], "output ''"), (["set", "3", ","], "output ''"),
           (["set", "3", "all", "none"], "'all' stands alone"), ([], "no command")]
    for arguments, named in bad:
        status, output = run(tool + arguments, env=env, cwd=cwd)
        lines = output.strip().splitlines()
        check(status == 2 and len(lines) == 1 and named in lines[0],
              f"brindlex {' '.join(arguments)}: status {status}, {output!r}")
    events, _ = emulator.stop()
    check([e for e in events if e["event"] == "command"] == [], "bad arguments sent commands")


def check_port_check(tool, port, make_missing, make_not_terminal, make_pty, env=None, cwd=None,
                     not_terminal_says="not a serial device", line_read_back="runs the line at 256000 baud, 8N2"):
    """`brindlex check` on a missing port, a non-terminal and a real one."""
    make_missing()
    status, output = run(tool + ["check"], env=env, cwd=cwd)
    check(status == 1 and "FAILED" in output and "does not exist" in output, f"missing port: {status} {output}")
    make_not_terminal()
    status, output = run(tool + ["check"], env=env, cwd=cwd)
    check(status == 1 and not_terminal_says in output, f"non-terminal: {status} {output}")
    pty = make_pty()
    status, output = run(tool + ["check"], env=env, cwd=cwd)
    check(status == 0 and output.count(" ok\n") == 5 and "the port is ready" in output
          and line_read_back in output,
          f"pty: {status} {output}")
    # check lets go of the port again, so the library can have it next.
    status, output = run(tool + ["devices"], env=env, cwd=cwd)
    check(status == 0 and "devices announced: 1 2 3 4 5 6 7 8" in output, f"devices after check: {output}")
    make_missing()
    status, output = run(tool + ["devices"], env=env, cwd=cwd)
    check(status == 1 and "no device announced" in output and "does not exist" in output,
          f"devices without a port: {status} {output}")
    os.close(pty[0])
    os.close(pty[1])


def check_interrupted_test_ends_dark(emulator_program, link, tool):
    """Ctrl-C or a kill in the middle of `brindlex test` finishes the call
    under way, switches everything off, says so and exits 130."""
    for stop in (signal.SIGINT, signal.SIGTERM):
        emulator = Emulator(emulator_program, link)
        with tempfile.TemporaryFile(mode="w+") as output:
            walk = subprocess.Popen(tool + ["test", "--delay", "200"], stdout=output, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL)
            time.sleep(0.7)
            walk.send_signal(stop)
            status = walk.wait(timeout=20)
            output.seek(0)
            text = output.read()
        events, _ = emulator.stop()
        commands = [e for e in events if e["event"] == "command"]
        last = {}
        for command in commands:
            last[(command["command"], command["device"])] = command["data"]
        lit = [key for key, data in last.items() if any(data)]
        check(status == 130, f"{stop.name}: exit status {status}: {text[-500:]}")
        check("test interrupted: every output and level of every device switched off" in text,
              f"{stop.name}: {text[-500:]}")
        check(4 <= len(commands) < 40, f"{stop.name}: {len(commands)} commands: the walk did not run or stop")
        check(len(last) == 16 and not lit, f"{stop.name}: left on {lit}, or not every device switched off")


def check_output_survives_a_kill(emulator_program, link, tool):
    """Lines already printed are in a redirected log when the tool is killed
    outright (nothing held in a buffer), each line whole."""
    emulator = Emulator(emulator_program, link)
    with tempfile.TemporaryFile(mode="w+") as output:
        walk = subprocess.Popen(tool + ["test", "--delay", "50"], stdout=output, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL)
        time.sleep(1.0)
        walk.kill()
        walk.wait(timeout=20)
        output.seek(0)
        lines = output.read().splitlines()
    emulator.stop()
    check(len(lines) >= 5 and lines[0] == "devices announced: 8" and
          all(line.startswith("device 1 output ") and line.endswith(" on") for line in lines[1:]),
          f"log of a killed test: {lines}")


def check_library_problems(tool):
    """A library that cannot be loaded has its own exit status and a reason
    in plain words; --version reads the library without loading it."""
    folder = tempfile.mkdtemp(prefix="brindlex-library-")
    text_file = os.path.join(folder, "notes.so")
    with open(text_file, "w") as out:
        out.write("not a library\n")
    # An ELF header of an arm64 shared object: enough for any loader to refuse.
    arm64 = os.path.join(folder, "arm64.so")
    with open(arm64, "wb") as out:
        out.write(b"\x7fELF\x02\x01\x01" + bytes(9) + (3).to_bytes(2, "little") + (183).to_bytes(2, "little")
                  + bytes(44))
    for library, says in [(os.path.join(folder, "missing.so"), "there is no such file"),
                          (text_file, "it is not a shared library"),
                          (arm64, "it is a library for arm64 (aarch64) and this brindlex runs on")]:
        status, output = run(tool + ["--library", library, "devices"])
        check(status == 3 and says in output and output.count("\n") == 1,
              f"--library {os.path.basename(library)}: {status} {output!r}")
    status, output = run(tool + ["--version"])
    check(status == 0 and "brindlex " in output and "version " in output and "soname libBrindlex.so." in output,
          f"--version: {status} {output!r}")
    status, output = run(tool + ["--library", arm64, "--version"])
    check(status == 0 and "arm64 (aarch64): not loadable by this brindlex" in output, f"--version arm64: {output!r}")
    shutil.rmtree(folder)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--tool", required=True, help="brindlex built with --port as its port")
    parser.add_argument("--port", required=True)
    parser.add_argument("scenario", choices=["walk", "usage", "check", "interrupt", "library"])
    args = parser.parse_args()
    tool = [os.path.abspath(args.tool)]
    if args.scenario == "walk":
        check_test_walk(args.emulator, args.port, tool)
    elif args.scenario == "usage":
        check_bad_arguments_send_nothing(args.emulator, args.port, tool)
    elif args.scenario == "interrupt":
        check_interrupted_test_ends_dark(args.emulator, args.port, tool)
        check_output_survives_a_kill(args.emulator, args.port, tool)
    elif args.scenario == "library":
        check_library_problems(tool)
    else:
        def link_to(target):
            if os.path.lexists(args.port):
                os.unlink(args.port)
            if target:
                os.symlink(target, args.port)

        plain = args.port + ".plain-file"
        open(plain, "w").close()

        def make_pty():
            master, slave = os.openpty()
            link_to(os.ttyname(slave))
            return master, slave

        check_port_check(tool, args.port, lambda: link_to(None), lambda: link_to(plain), make_pty)
        link_to(None)
        os.unlink(plain)
    print(f"{args.scenario}: {'FAILED' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
