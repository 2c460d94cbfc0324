#!/usr/bin/env python3
"""The host tool driving the real library onto a pseudo-terminal that the
emulator reads: every command the tool sends arrives well-formed, in order,
and the cabinet ends dark. Also `brindlex check` and bad arguments.

The emulator-* scenarios run the emulator alone: its command line, its
--link, its JSON and the way it writes its output."""
import argparse
import grp
import json
import os
import re
import select
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import termios
import time


def check_one_at_a_time(commands, name, devices=range(1, 9), outputs=range(32), whole=True):
    """What a cabinet needs of `brindlex test`, over every command it sent:
    never more than one output of all 256 on, none outside the chosen ones,
    the cabinet dark at the end; and for a whole run every chosen output lit
    and every chosen device's levels ramped up to 255 and back to 0."""
    states, levels = [0] * 256, [0] * 256
    most_on, lit, ramps = 0, set(), {}
    chosen = {(d - 1) * 32 + n for d in devices for n in outputs}
    for kind, device, data in commands:
        table = states if kind == "states" else levels
        table[(device - 1) * 32:device * 32] = data
        most_on = max(most_on, sum(states))
        lit |= {i for i in range(256) if states[i]}
        if kind == "levels":
            ramp = ramps.setdefault(device, [])
            if not ramp or ramp[-1] != max(data):
                ramp.append(max(data))
    check(most_on <= 1, f"{name}: {most_on} outputs on at once")
    stray = sorted(i for i in range(256) if i not in chosen and (i in lit or levels[i]))
    check(not stray and not any(max(ramps.get(d, [0])) for d in set(range(1, 9)) - set(devices)),
          f"{name}: outputs outside the chosen ones lit or levelled: {stray[:8]}")
    check(not any(states) and not any(levels), f"{name}: not dark at the end")
    if whole:
        check(lit == chosen, f"{name}: {len(chosen - lit)} chosen outputs never lit")
        for device in devices:
            ramp = ramps.get(device, [])
            top = ramp.index(255) if 255 in ramp else -1
            check(top >= 8 and ramp[:top + 1] == sorted(ramp[:top + 1]) and ramp[top:] == sorted(ramp[top:])[::-1]
                  and ramp[-1] == 0, f"{name}: device {device}'s levels went {ramp}, not up to 255 and down")


class Emulator:
    """The emulator in the background, linked at a port path, writing JSON."""

    def __init__(self, program, link, options=("--json",)):
        self.output = tempfile.TemporaryFile(mode="w+")
        self.link = link
        self.process = subprocess.Popen([program, *options, "--link", link], stdout=self.output,
                                        stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.islink(link) or "ready" not in self.text():
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise AssertionError(f"the emulator did not start: {self.text()}")
            time.sleep(0.02)

    def text(self):
        # pread: the emulator writes through the same open file, and moving
        # its offset (seek) would make its next line land over earlier ones.
        return os.pread(self.output.fileno(), os.fstat(self.output.fileno()).st_size, 0).decode(errors="replace")

    def stop(self):
        """Ends it as a person would (a signal) and returns its events."""
        time.sleep(0.3)  # let the last bytes through the pty
        self.process.send_signal(signal.SIGINT)
        self.process.wait(timeout=10)
        events = [json.loads(line) for line in self.text().splitlines() if line.startswith("{")]
        return events, self.process.returncode

    def events(self):
        return [json.loads(line) for line in self.text().splitlines() if line.startswith("{")]


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
    """`brindlex test` through the library arrives whole and keeps the
    cabinet safe: in full, and limited to some devices and outputs."""
    link_before = os.readlink(link) if os.path.islink(link) else None
    for limits, devices, outputs in [([], range(1, 9), range(32)),
                                     (["--device", "2,7", "--outputs", "0-3", "30"], [2, 7], [0, 1, 2, 3, 30])]:
        name = " ".join(["test"] + limits)
        emulator = Emulator(emulator_program, link)
        status, output = run(tool + ["test", "--delay", "0"] + limits, env=env, cwd=cwd)
        events, emulator_status = emulator.stop()
        check(status == 0 and "devices announced: 8" in output, f"{name} failed ({status}): {output[-2000:]}")
        commands = [(e["command"], e["device"], e["data"]) for e in events if e["event"] == "command"]
        malformed = [e for e in events if e["event"] == "malformed"]
        check(not malformed, f"{name}: malformed commands: {malformed[:3]}")
        check(f"test done: {len(commands)} commands sent" in output, f"{name}: {len(commands)} received: "
              f"{output[-300:]}")
        check_one_at_a_time(commands, name, devices, outputs)
        totals = [e for e in events if e["event"] == "totals"]
        check([(e["commands"], e["bytes"]) for e in totals] == [(len(commands), len(commands) * 36)],
              f"{name}: totals {totals}")
        check(emulator_status == 0, f"{name}: emulator exit status {emulator_status}")
    link_after = os.readlink(link) if os.path.islink(link) else None
    check(link_after == link_before and (link_before or not os.path.lexists(link)),
          f"the link was {link_before} before the emulator and is {link_after} after it")


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
        check_one_at_a_time([(e["command"], e["device"], e["data"]) for e in commands], stop.name, whole=False)
        last = {}
        for command in commands:
            last[(command["command"], command["device"])] = command["data"]
        lit = [key for key, data in last.items() if any(data)]
        check(status == 130, f"{stop.name}: exit status {status}: {text[-500:]}")
        check("test interrupted: every output and level of every device switched off" in text,
              f"{stop.name}: {text[-500:]}")
        check(4 <= len(commands) < 40, f"{stop.name}: {len(commands)} commands: the walk did not run or stop")
        check(len(last) == 16 and not lit, f"{stop.name}: left on {lit}, or not every device switched off")


def check_restarting_board(emulator_program, link, tool):
    """A board that restarts when its port opens and when it closes, played
    by the emulator: a bare set is lost in the boot, --settle delivers it,
    --hold keeps it on until the tool is interrupted."""
    restarting = ["--restart-on-open", "300"]
    output_5 = [1 if n == 5 else 0 for n in range(32)]
    emulator = Emulator(emulator_program, link, restarting + ["--lines"])
    status, output = run(tool + ["set", "3", "5"])
    emulator.stop()
    lines = emulator.text().splitlines()
    seconds = r"\d+\.\d{6}s"
    expected = [r"emulator ready on .*", rf"restart {seconds}: the far side opened the port; every output off, "
                r"the line ignored for 300 ms", rf"dropped 36 bytes at offset 0 {seconds}: the board was restarting",
                rf"restart {seconds}: the far side closed the port; .*",
                r"commands 0, malformed 0, bytes 36, restarts 2, dropped 36"]
    check(status == 0 and len(lines) == len(expected) and all(map(re.fullmatch, expected, lines)),
          f"set without --settle: {status} {output!r}, the emulator said:\n" + "\n".join(lines))

    for name, options in [("--settle 500", []), ("--settle 500 --hold", ["--hold"])]:
        emulator = Emulator(emulator_program, link, restarting + ["--json"])
        with tempfile.TemporaryFile(mode="w+") as output:
            setter = subprocess.Popen(tool + ["set", "--settle", "500", *options, "3", "5"], stdout=output,
                                      stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            if options:
                deadline = time.monotonic() + 10
                while time.monotonic() < deadline and not [e for e in emulator.events() if e["event"] == "command"]:
                    time.sleep(0.05)
                time.sleep(1.0)
                held = [e["event"] for e in emulator.events()][-2:] == ["restart", "command"]
                check(held, f"{name}: the port did not stay open: {emulator.events()}")
                setter.send_signal(signal.SIGINT)
            status = setter.wait(timeout=20)
            output.seek(0)
            text = output.read()
        events, _ = emulator.stop()
        kinds = [(e["event"], e.get("cause"), e.get("device"), e.get("data")) for e in events]
        check(status == 0 and kinds == [("ready", None, None, None), ("restart", "open", None, None),
                                        ("command", None, 3, output_5), ("restart", "close", None, None),
                                        ("totals", None, None, None)],
              f"{name}: exit {status} {text!r}, the emulator saw {kinds}")
        check(events[-1].get("restarts") == 2 and events[-1].get("dropped") == 0, f"{name}: totals {events[-1]}")


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
    check(len(lines) >= 6 and lines[0] == "devices announced: 8" and lines[1].startswith("outputs fire one at a time")
          and all(line.startswith("device 1 output ") and line.endswith(" on") for line in lines[2:]),
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


def run_emulator(command, timeout=10):
    """Runs the emulator to its end: (status, stdout, stderr); status None if
    it had to be killed because it did not end by itself."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate()
        return None, out.decode(errors="replace"), err.decode(errors="replace")
    return process.returncode, out.decode(errors="replace"), err.decode(errors="replace")


def check_emulator_arguments(emulator):
    """Bad command lines end at once with status 2 and one line naming the
    culprit; --help lists every option; good values are taken."""
    bad = [(["--count", "-1"], "--count"), (["--count", "99999999999999999999"], "--count"),
           (["--count", "0"], "--count"), (["--count", "3x"], "--count"), (["--count"], "--count"),
           (["--timeout", "nan"], "--timeout"), (["--timeout", "inf"], "--timeout"),
           (["--timeout", "-1"], "--timeout"), (["--timeout", "0"], "--timeout"),
           (["--json", "--lines"], "--lines"), (["--frobnicate"], "--frobnicate"), (["extra"], "extra"),
           (["--device", ""], "--device"), (["--restart-on-open", "300", "--device", "/dev/null"],
                                            "--restart-on-open needs the emulator's own pseudo-terminal")]
    for arguments, named in bad:
        status, out, err = run_emulator([emulator] + arguments, timeout=5)
        lines = err.strip().splitlines()
        check(status == 2 and out == "" and len(lines) == 1 and named in lines[0],
              f"emulator {' '.join(arguments)}: status {status}, stdout {out!r}, stderr {err!r}")
    status, out, err = run_emulator([emulator, "--help"])
    check(status == 0 and err == "", f"--help: status {status}, stderr {err!r}")
    for option in ["--device", "--link", "--json", "--lines", "--count", "--timeout", "--totals",
                   "--restart-on-open", "--help", "--version"]:
        check(option in out, f"--help does not list {option}: {out}")
    status, out, err = run_emulator([emulator, "--version"])
    check(status == 0 and out.startswith("brindlex-emulator ") and len(out.splitlines()) == 1,
          f"--version: status {status}, {out!r} {err!r}")
    status, out, err = run_emulator([emulator, "--count=1", "--timeout", "0.3", "--lines"])
    check(status == 0 and "commands 0, malformed 0" in out, f"good arguments: status {status}, {out!r} {err!r}")


running = []  # killed at the end should a failed check leave one behind


class Running:
    """The emulator in the background with --json, its events read as they
    come from a pipe."""

    def __init__(self, command):
        self.process = subprocess.Popen(command + ["--json"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL)
        running.append(self.process)
        self.buffer = b""
        self.ready = self.next_event()

    def next_event(self, timeout=10):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.process.stdout], [], [], left)[0]:
                raise AssertionError(f"no event from the emulator within {timeout} s: {self.buffer!r}")
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                raise AssertionError(f"the emulator ended: {self.buffer!r} {self.process.stderr.read()!r}")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def wait(self, timeout=10):
        """Its exit status and stderr once it has ended."""
        self.process.wait(timeout=timeout)
        self.process.stdout.close()
        return self.process.returncode, self.process.stderr.read().decode(errors="replace")


def write_to(path, data):
    port = os.open(path, os.O_WRONLY | os.O_NOCTTY)
    os.write(port, data)
    os.close(port)


STATES_DEVICE_1 = bytes([0x00, 0x02, 0x00, 0x20] + [1] * 32)


def check_emulator_link(emulator):
    """--link replaces only a symlink, or makes one where nothing is, and puts
    things back however the emulator ends; anything else at the path is
    refused and left as it was."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "port")

        def refused(kind, make):
            make()
            before = os.lstat(path)
            status, out, err = run_emulator([emulator, "--link", path, "--timeout", "1"])
            lines = err.strip().splitlines()
            check(status == 2 and len(lines) == 1 and path in lines[0] and kind in lines[0] and out == "",
                  f"--link to {kind}: status {status}, stdout {out!r}, stderr {err!r}")
            after = os.lstat(path) if os.path.lexists(path) else None
            check(after is not None and not stat.S_ISLNK(after.st_mode) and (after.st_ino, after.st_mode, after.st_size, after.st_mtime_ns)
                  == (before.st_ino, before.st_mode, before.st_size, before.st_mtime_ns),
                  f"--link changed {kind}")

        def regular_file():
            with open(path, "w") as file:
                file.write("data\n")

        def remove():
            if os.path.isdir(path) and not os.path.islink(path):
                os.rmdir(path)
            elif os.path.lexists(path):
                os.unlink(path)

        refused("regular file", regular_file)
        check(os.path.isfile(path) and open(path).read() == "data\n", "--link changed the file's content")
        remove()
        refused("directory", lambda: os.mkdir(path))
        remove()
        refused("named pipe", lambda: os.mkfifo(path))
        remove()
        try:
            os.mknod(path, 0o600 | stat.S_IFCHR, os.makedev(1, 3))
        except PermissionError:
            print("note: no character device case, mknod is not allowed here")
        else:
            remove()
            refused("character device", lambda: os.mknod(path, 0o600 | stat.S_IFCHR, os.makedev(1, 3)))
            remove()

        # A symlink, as udev's: ours while it runs, the same again after,
        # whichever way it ends.
        udev_target = "/dev/ttyUSB7"
        commands_file = os.path.join(folder, "commands")
        with open(commands_file, "wb") as file:
            file.write(STATES_DEVICE_1)

        def end_by_signal(number):
            return lambda emulator_run: emulator_run.process.send_signal(number)

        def end_by_count(emulator_run):
            write_to(path, STATES_DEVICE_1)

        endings = [("SIGINT", [], end_by_signal(signal.SIGINT)), ("SIGTERM", [], end_by_signal(signal.SIGTERM)),
                   ("--timeout", ["--timeout", "0.5"], None), ("--count", ["--count", "1"], end_by_count),
                   ("the end of its input", ["--device", commands_file], None)]
        for before in [udev_target, None]:
            for name, arguments, end in endings:
                if before:
                    os.symlink(before, path)
                emulator_run = Running([emulator, "--link", path] + arguments)
                port = emulator_run.ready["port"]
                if name != "the end of its input":  # that one may be over already
                    check(os.readlink(path) == port, f"{name}: {path} -> {os.readlink(path)}, not {port}")
                if end:
                    end(emulator_run)
                status, err = emulator_run.wait()
                check(status == 0 and err == "", f"ended by {name}: status {status}, {err!r}")
                now = os.readlink(path) if os.path.lexists(path) else None
                check(now == before, f"ended by {name}: the link is {now}, not {before} as before")
                check(sorted(os.listdir(folder)) == sorted(["commands"] + (["port"] if before else [])),
                      f"ended by {name}: left {os.listdir(folder)}")
                remove()

        # Changed by someone else while it ran: theirs stays.
        emulator_run = Running([emulator, "--link", path])
        os.unlink(path)
        os.symlink("/dev/ttyUSB3", path)
        emulator_run.process.send_signal(signal.SIGINT)
        status, err = emulator_run.wait()
        now = os.readlink(path) if os.path.islink(path) else None
        check(now == "/dev/ttyUSB3" and status == 1 and "left as it is" in err,
              f"a link changed meanwhile: {now}, status {status}, {err!r}")


def json_events(text):
    """Every line of --json output as an object; a line that does not parse
    is a failure."""
    events = []
    for line in text.splitlines():
        try:
            events.append(json.loads(line))
        except ValueError as error:
            check(False, f"not JSON ({error}): {line!r}")
    return events


def check_emulator_json(emulator):
    """Every line of --json parses, whatever the paths hold: quotes,
    backslashes, control characters, bytes that are not UTF-8."""
    master, slave = os.openpty()
    with tempfile.TemporaryDirectory() as folder:
        for name in ['we"ird\\path', "tab\there", "new\nline"]:
            device = os.path.join(folder, name)
            link = os.path.join(folder, name + "-link")
            os.symlink(os.ttyname(slave), device)
            emulator_run = Running([emulator, "--device", device, "--link", link])
            check(emulator_run.ready.get("port") == device and emulator_run.ready.get("link") == link,
                  f"ready names {emulator_run.ready}, not {device!r} and {link!r}")
            os.write(master, STATES_DEVICE_1 + b"\x55\x22\x5c" + STATES_DEVICE_1)
            events = [emulator_run.next_event() for _ in range(2)]
            emulator_run.process.send_signal(signal.SIGINT)
            events += json_events(emulator_run.process.stdout.read().decode())
            status, err = emulator_run.wait()
            check([e.get("event") for e in events] == ["malformed", "command", "totals"],
                  f"{name!r}: events {events}")
            check(status == 1 and err == "", f"{name!r}: status {status}, {err!r}")
        # Not UTF-8: still JSON, the odd byte replaced.
        device = os.path.join(os.fsencode(folder), b"caf\xe9")
        os.symlink(os.ttyname(slave), device)
        status, out, err = run_emulator([emulator, "--device", device, "--json", "--timeout", "0.3"])
        events = json_events(out)
        check(status == 0 and [e.get("event") for e in events] == ["ready", "totals"]
              and events[0]["port"] == os.path.join(folder, "caf\ufffd"), f"a path not in UTF-8: {out!r} {err!r}")


def check_refused_as_nobody(tool, path):
    """nobody checks the port at path (group dialout, mode 0660). The build
    may lie in a folder nobody cannot enter (a home folder of mode 0700), so
    nobody runs a copy of the tool from a fresh folder of its own, the port
    linked there."""
    reachable = tempfile.mkdtemp(prefix="brindlex-nobody-")
    try:
        os.chmod(reachable, 0o755)
        copy = os.path.join(reachable, "brindlex")
        shutil.copy(tool[0], copy)
        link = os.path.join(reachable, "port")
        os.symlink(path, link)
        try:
            status, output = run([copy, "check", "--port", link], cwd=reachable,
                                 preexec_fn=lambda: (os.setgroups([]), os.setgid(65534), os.setuid(65534)))
        except PermissionError as error:
            print(f"refused port: Skipped: nobody cannot run the tool from {reachable} ({error})")
            return
        check(status == 1 and f"{path} belongs to group dialout: join it with `sudo usermod -aG dialout $USER`"
              in output, f"refused: {status} {output}")
    finally:
        shutil.rmtree(reachable)


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
        check_refused_as_nobody(tool, path)
    else:
        print("refused port: not checked (needs root to run the tool as another user)")
    os.close(master)
    os.close(slave)


def spaced_hex(data):
    return " ".join(f"{byte:02X}" for byte in data)


# wire-protocol.md's example: device 8, levels 0, 8, 16, ..., 248.
LEVELS_DEVICE_8 = bytes([0x00, 0x03, 0xE0, 0x20] + [n * 8 for n in range(32)])
LEVELS_DEVICE_8_HEX = ("00 03 E0 20 00 08 10 18 20 28 30 38 40 48 50 58 60 68 70 78 "
                       "80 88 90 98 A0 A8 B0 B8 C0 C8 D0 D8 E0 E8 F0 F8")


def check_emulator_report(emulator):
    """Each command and each run of bad bytes carries its offset, when it
    arrived and its bytes in hex, in JSON and in the text lines."""
    started = time.monotonic()
    emulator_run = Running([emulator])
    port = emulator_run.ready["port"]
    write_to(port, b"\x55\x22\x5c" + STATES_DEVICE_1)
    time.sleep(0.3)
    write_to(port, LEVELS_DEVICE_8)
    events = [emulator_run.next_event() for _ in range(3)]
    emulator_run.process.send_signal(signal.SIGINT)
    events.append(emulator_run.next_event())
    elapsed = time.monotonic() - started
    emulator_run.wait()
    check([e["event"] for e in events] == ["malformed", "command", "command", "totals"], f"events {events}")
    if len(events) == 4:
        bad, states, levels, totals = events
        check((bad.get("offset"), bad.get("length"), bad.get("hex")) == (0, 3, "55 22 5C"), f"malformed {bad}")
        check((states.get("offset"), states.get("hex")) == (3, spaced_hex(STATES_DEVICE_1)), f"states {states}")
        check((levels.get("offset"), levels.get("hex")) == (39, LEVELS_DEVICE_8_HEX), f"levels {levels}")
        times = [e.get("time", -1) for e in [emulator_run.ready] + events]
        check(times == sorted(times) and 0 <= times[0] and times[-1] <= elapsed
              and times[3] - times[2] >= 0.25, f"times {times}, {elapsed:.3f} s in all")
        check(totals.get("bytes") == 75, f"totals {totals}")

    with tempfile.NamedTemporaryFile() as stream:
        stream.write(b"\x55" + STATES_DEVICE_1 + LEVELS_DEVICE_8 + LEVELS_DEVICE_8[:5])
        stream.flush()
        status, out, err = run_emulator([emulator, "--device", stream.name, "--lines"])
    lines = out.splitlines()
    seconds = r"\d+\.\d{6}s"
    expected = [
        r"emulator ready on .*",
        rf"malformed at offset 0 {seconds}: lead byte is not 0x00; 1 byte: 55",
        rf"#1 @1 {seconds} device 1 states #{{32}} bytes {spaced_hex(STATES_DEVICE_1)}",
        rf"#2 @37 {seconds} device 8 levels {LEVELS_DEVICE_8_HEX[12:]} bytes {LEVELS_DEVICE_8_HEX}",
        rf"malformed at offset 73 {seconds}: stream ended inside a command \(5 of 36 bytes\); 5 bytes: "
        rf"{LEVELS_DEVICE_8_HEX[:14]}",
        r"commands 2, malformed 2, bytes 78"]
    check(status == 1 and len(lines) == len(expected)
          and all(re.fullmatch(pattern, line) for pattern, line in zip(expected, lines)),
          f"text lines (status {status}):\n{out}{err}")


def check_emulator_output(emulator):
    """Each line goes out whole in a write of its own, also into a pipe or a
    file: lines from programs sharing a pipe cannot mix, and a run killed
    midway leaves every finished line in its log."""
    # A pipe in packet mode: each read returns exactly one write.
    reader, writer = os.pipe2(os.O_DIRECT)
    process = subprocess.Popen([emulator, "--lines"], stdout=writer, stderr=subprocess.PIPE,
                               stdin=subprocess.DEVNULL)
    running.append(process)
    os.close(writer)
    writes = []

    def read_writes(until, timeout=10):
        deadline = time.monotonic() + timeout
        while not until() and time.monotonic() < deadline:
            if select.select([reader], [], [], 0.1)[0]:
                data = os.read(reader, 65536)
                if not data:
                    break
                writes.append(data)

    read_writes(lambda: writes)
    port = writes[0].decode().split()[3] if writes else None
    burst = (STATES_DEVICE_1 + LEVELS_DEVICE_8) * 150
    if port:
        write_to(port, burst)
    read_writes(lambda: sum(data.count(b"\n") for data in writes) >= 301)
    process.send_signal(signal.SIGINT)
    read_writes(lambda: process.poll() is not None and not select.select([reader], [], [], 0)[0])
    process.wait(timeout=10)
    os.close(reader)
    lines = b"".join(writes).decode().splitlines()
    check(len(lines) == 302 and lines[-1] == "commands 300, malformed 0, bytes 10800",
          f"{len(lines)} lines, the last {lines[-1:]}")
    split = [data for data in writes if data.count(b"\n") != 1 or not data.endswith(b"\n")]
    check(not split, f"{len(split)} of {len(writes)} writes are not one whole line: {split[:2]}")

    # Killed without a chance to flush: every line it had finished is there.
    with tempfile.TemporaryFile() as log:
        process = subprocess.Popen([emulator, "--json"], stdout=log, stderr=subprocess.DEVNULL,
                                   stdin=subprocess.DEVNULL)
        running.append(process)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            log.seek(0)
            if log.read().endswith(b"\n"):
                break
            time.sleep(0.02)
        log.seek(0)
        write_to(json.loads(log.readline())["port"], STATES_DEVICE_1 * 5)
        time.sleep(1)  # past the pause that shows the last command
        process.kill()
        process.wait()
        log.seek(0)
        events = json_events(log.read().decode())
        check([e.get("event") for e in events] == ["ready"] + ["command"] * 5, f"log of a killed run: {events}")


EMULATOR_SCENARIOS = {"emulator-arguments": check_emulator_arguments, "emulator-link": check_emulator_link,
                      "emulator-json": check_emulator_json, "emulator-report": check_emulator_report,
                      "emulator-output": check_emulator_output}


def holds(pid, rdev):
    try:
        return any(os.stat(f"/proc/{pid}/fd/{fd}").st_rdev == rdev for fd in os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return False


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--tool", help="brindlex built with --port as its port")
    parser.add_argument("--port")
    parser.add_argument("scenario", choices=["walk", "usage", "check", "interrupt", "library", "restart"]
                        + list(EMULATOR_SCENARIOS))
    args = parser.parse_args()
    if args.scenario in EMULATOR_SCENARIOS:
        try:
            EMULATOR_SCENARIOS[args.scenario](os.path.abspath(args.emulator))
        finally:
            for process in running:
                if process.poll() is None:
                    process.kill()
                    process.wait()
        print(f"{args.scenario}: {'FAILED' if failures else 'ok'}")
        return 1 if failures else 0
    if not args.tool or not args.port:
        parser.error(f"{args.scenario} needs --tool and --port")
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
    elif args.scenario == "restart":
        check_restarting_board(args.emulator, args.port, tool)
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
