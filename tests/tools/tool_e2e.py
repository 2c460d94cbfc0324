#!/usr/bin/env python3
"""The host tool driving the real library onto a pseudo-terminal that the
emulator reads: every command the tool sends arrives well-formed, in order,
and the cabinet ends dark. Also `brindlex check` and bad arguments."""
import argparse
import grp
import json
import os
import signal
import subprocess
import sys
import tempfile
import termios
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


def run(command, env=None, cwd=None, timeout=120, preexec_fn=None):
    with tempfile.TemporaryFile(mode="w+") as output:
        status = subprocess.run(command, stdout=output, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                env=env, cwd=cwd, timeout=timeout, preexec_fn=preexec_fn).returncode
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
                     not_terminal_says="not a serial device"):
    """`brindlex check` on a missing port, a non-terminal and a real one."""
    make_missing()
    status, output = run(tool + ["check"], env=env, cwd=cwd)
    check(status == 1 and "FAILED" in output and "does not exist" in output, f"missing port: {status} {output}")
    make_not_terminal()
    status, output = run(tool + ["check"], env=env, cwd=cwd)
    check(status == 1 and not_terminal_says in output, f"non-terminal: {status} {output}")
    pty = make_pty()
    status, output = run(tool + ["check"], env=env, cwd=cwd)
    windows = tool[-1].lower().endswith(".exe")
    if windows:
        # What the driver made of the settings, read back.
        check(status == 0 and output.count(" ok\n") == 5 and "the port is ready" in output
              and "\nthe driver reports " in output, f"pty: {status} {output}")
    else:
        check(status == 0 and output.count(" ok\n") == 5 and "the port is ready" in output
              and "runs the line at 256000 baud, 8N2" in output,
              f"pty: {status} {output}")
    # Which port, and what it resolves to, before the steps.
    lines = output.splitlines()
    resolved = lines[1].strip() if len(lines) > 1 else ""
    if windows:
        check("COM61" in resolved, f"pty: no line on what COM61 is: {output}")
    else:
        check(resolved == f"a link to {os.ttyname(pty[1])}: a pseudo-terminal", f"pty: what the port is: {output}")
    if windows:
        # Flow control left on by the port's settings is reported; the
        # library does not touch it. A new pty has XON/XOFF on: off first.
        attributes = termios.tcgetattr(pty[1])
        attributes[0] &= ~(termios.IXON | termios.IXOFF)
        attributes[2] |= termios.CRTSCTS
        termios.tcsetattr(pty[1], termios.TCSANOW, attributes)
        status, output = run(tool + ["check"], env=env, cwd=cwd)
        check(status == 0 and "\nWARNING: the port has flow control on (CTS)\n" in output
              and "Flow control: None" in output, f"pty with CTS flow control: {status} {output}")
        attributes[2] &= ~termios.CRTSCTS
        termios.tcsetattr(pty[1], termios.TCSANOW, attributes)
        status, output = run(tool + ["check"], env=env, cwd=cwd)
        check(status == 0 and "WARNING" not in output, f"pty without flow control: {status} {output}")
    # ports lists without opening anything, and says where the library's port leads.
    status, output = run(tool + ["ports"], env=env, cwd=cwd)
    library = "COM61" if windows else port
    check(status == 0 and f"the library opens {library}" in output, f"ports: {status} {output}")
    if not windows:
        check(f"a link to {os.ttyname(pty[1])}, which is not one of these ports" in output, f"ports: {output}")
        status, output = run(tool + ["ports", "--udev-rule", os.ttyname(pty[1])], env=env, cwd=cwd)
        check(status == 2 and output.count("\n") == 1 and "is not one of the machine's serial ports" in output,
              f"ports --udev-rule on a pty: {status} {output}")
    # check lets go of the port again, so the library can have it next.
    status, output = run(tool + ["devices"], env=env, cwd=cwd)
    check(status == 0 and "devices announced: 1 2 3 4 5 6 7 8" in output, f"devices after check: {output}")
    make_missing()
    status, output = run(tool + ["devices"], env=env, cwd=cwd)
    check(status == 1 and "no device announced" in output and "does not exist" in output,
          f"devices without a port: {status} {output}")
    os.close(pty[0])
    os.close(pty[1])


def check_busy_and_refused(tool, make_pty):
    """POSIX: check names the process holding the port, and the group that may
    open a port this user may not."""
    master, slave = make_pty()
    path = os.ttyname(slave)
    # The library itself holds the port while a test walk runs; nothing reads
    # the pty, so keep the walk slow enough not to fill it.
    holder = subprocess.Popen(tool + ["test", "--delay", "1000"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not holds(holder.pid, os.fstat(slave).st_rdev):
            time.sleep(0.05)
        status, output = run(tool + ["check"])
        # This script has the pty open as well, but only the library locks it.
        check(status == 1 and "another program holds the port" in output
              and f"locked by process {holder.pid} (brindlex)\n  read" in output, f"busy: {status} {output}")
    finally:
        holder.kill()
        holder.wait()
    if os.geteuid() == 0:
        os.chown(path, 0, grp.getgrnam("dialout").gr_gid)
        os.chmod(path, 0o660)
        status, output = run(tool + ["check"], preexec_fn=lambda: (os.setgroups([]), os.setgid(65534),
                                                                   os.setuid(65534)))
        check(status == 1 and f"{path} belongs to group dialout: join it with `sudo usermod -aG dialout $USER`"
              in output, f"refused: {status} {output}")
    else:
        print("refused port: not checked (needs root to run the tool as another user)")
    os.close(master)
    os.close(slave)


def holds(pid, rdev):
    try:
        return any(os.stat(f"/proc/{pid}/fd/{fd}").st_rdev == rdev for fd in os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return False


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--tool", required=True, help="brindlex built with --port as its port")
    parser.add_argument("--port", required=True)
    parser.add_argument("scenario", choices=["walk", "usage", "check"])
    args = parser.parse_args()
    tool = [os.path.abspath(args.tool)]
    if args.scenario == "walk":
        check_test_walk(args.emulator, args.port, tool)
    elif args.scenario == "usage":
        check_bad_arguments_send_nothing(args.emulator, args.port, tool)
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
        check_busy_and_refused(tool, make_pty)
        link_to(None)
        os.unlink(plain)
    print(f"{args.scenario}: {'FAILED' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
