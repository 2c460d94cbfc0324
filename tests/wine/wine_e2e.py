#!/usr/bin/env python3
"""End-to-end tests of Brindlex.dll under Wine: a Windows host loads the DLL,
COM61 is a pseudo-terminal in the test's own Wine prefix, and this script
reads the master side and compares every byte with a model of the wire
protocol."""
import argparse
import errno
import os
import re
import select
import shutil
import stat
import subprocess
import sys
import tempfile
import termios
import time

STATES, LEVELS = 0x02, 0x03

# Makes the prefixes: always 64-bit, and the wrappers in /usr/bin would try
# the 32-bit loader first.
WINE64 = "/usr/lib/wine/wine64"
# What CTest counts as skipped (SKIP_RETURN_CODE).
SKIPPED = 77


def loader_runs(loader):
    """False when this machine cannot execute the loader at all: a kernel
    without IA32 emulation runs no 32-bit x86 program, Wine's included."""
    try:
        subprocess.run([loader, "--version"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)
        return True
    except OSError as error:
        if error.errno == errno.ENOEXEC:
            return False
        raise


def skip_unless_loader_runs(loader):
    """Exits as skipped, saying why, when the loader cannot run here."""
    if not loader_runs(loader):
        print(f"SKIPPED: {loader} cannot be executed here (Exec format error): this machine's kernel "
              "runs no 32-bit x86 programs (no IA32 emulation), so Wine's 32-bit side cannot run; the "
              "native preset's test wine-drivers.win32." + sys.argv[-1] + " runs it in a QEMU guest instead")
        sys.exit(SKIPPED)


def command(kind, start, data):
    return bytes([0x00, kind, start, 0x20]) + bytes(data)


class Model:
    """What the controller should have been sent: the two tables and the rule
    for a call's bank start, written from the protocol, not from the code."""

    def __init__(self):
        self.states = [0] * 256
        self.levels = [0] * 256

    @staticmethod
    def start(device):
        return ((device - 1) * 32) % 256

    def sba(self, device, *banks):
        start = self.start(device)
        if 1 <= device <= 8:
            for output in range(32):
                self.states[start + output] = (banks[output // 8] >> (output % 8)) & 1
        return command(STATES, start, self.states[start:start + 32])

    def pba(self, device, values):
        start = self.start(device)
        if 1 <= device <= 8 and values is not None:
            self.levels[start:start + 32] = values
        return command(LEVELS, start, self.levels[start:start + 32])


class Wine:
    def __init__(self, prefix, loader, host):
        self.prefix = os.path.abspath(prefix)
        self.loader = loader
        self.host = os.path.abspath(host)
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all", WINEARCH="win64")
        self.com61 = os.path.join(self.prefix, "dosdevices", "com61")

    def setup(self):
        if not os.path.exists(os.path.join(self.prefix, "system.reg")):
            shutil.rmtree(self.prefix, ignore_errors=True)
            subprocess.run([WINE64, "wineboot", "-i"], env=self.env, check=True, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        # A persistent server of our own, whose output goes nowhere that a
        # test might wait on. Without it each host starts a server that writes
        # into the host's output: Wine dumps its objects there when the far end
        # of a port hangs up. The server wineboot started may linger a few
        # seconds, and "wineserver -p" refuses (status 2) while it does.
        quiet = dict(env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, start_new_session=True)
        for _ in range(3):
            status = subprocess.run(["wineserver", "-p"], timeout=60, **quiet).returncode
            if status == 0:
                return
            try:
                subprocess.run(["wineserver", "-w"], timeout=30, **quiet)
            except subprocess.TimeoutExpired:  # a persistent one from an earlier run
                subprocess.run(["wineserver", "-k"], timeout=60, **quiet)
        raise RuntimeError(f"could not start a persistent wineserver for {self.prefix} (status {status})")

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    def map_com61(self, target):
        if os.path.lexists(self.com61):
            os.unlink(self.com61)
        if target is not None:
            os.symlink(target, self.com61)

    def start_host(self, steps, output):
        return subprocess.Popen([self.loader, self.host] + [str(step) for step in steps], env=self.env,
                                cwd=os.path.dirname(self.host), stdin=subprocess.PIPE,
                                stdout=output, stderr=subprocess.STDOUT)


class Pty:
    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)
        self.received = bytearray()

    def drain(self, seconds=0.2):
        if self.master is None:  # the far end has gone away
            time.sleep(seconds)
            return
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                return
            self.received += os.read(self.master, 65536)

    def hang_up(self):
        os.close(self.master)
        self.master = None

    def close(self):
        if self.master is not None:
            os.close(self.master)
        os.close(self.slave)


def holders(path):
    """The other processes that have path open (this one keeps the slave open)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        if int(pid) == os.getpid():
            continue
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
            if any(os.readlink(f"/proc/{pid}/fd/{fd}") == path for fd in fds):
                found.append(int(pid))
        except OSError:
            pass
    return found


def device_holders(rdev):
    """The other processes with a descriptor open on terminal device rdev,
    which also finds a port whose far end has gone and whose path with it."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        if int(pid) == os.getpid():
            continue
        try:
            for fd in os.listdir(f"/proc/{pid}/fd"):
                status = os.stat(f"/proc/{pid}/fd/{fd}")
                if stat.S_ISCHR(status.st_mode) and status.st_rdev == rdev:
                    found.append(int(pid))
                    break
        except OSError:
            pass
    return found


def written(output):
    """What the host has written to output so far. Read with pread: the host
    writes through the same open file, and moving its offset (seek) would make
    the host's next write land over earlier lines."""
    return os.pread(output.fileno(), os.fstat(output.fileno()).st_size, 0).decode(errors="replace").replace("\r\n", "\n")


class Run:
    """One run of the host, with the pty drained while it runs."""

    def __init__(self, wine, pty, steps, on_pause=None, timeout=60):
        with tempfile.TemporaryFile(mode="w+") as output:
            host = wine.start_host(steps, output)
            pauses_seen = 0
            deadline = time.monotonic() + timeout
            while host.poll() is None and time.monotonic() < deadline:
                if pty:
                    pty.drain(0.05)
                else:
                    time.sleep(0.05)
                text = written(output)
                if text.count("paused\n") > pauses_seen:
                    pauses_seen += 1
                    if on_pause:
                        on_pause(pauses_seen)
                    host.stdin.write(b"go\n")
                    host.stdin.flush()
            if host.poll() is None:
                host.kill()
                last = written(output).splitlines()[-3:]
                raise AssertionError(f"the host did not finish within {timeout} s; it last printed {last}")
            if pty:
                pty.drain()
            self.lines = written(output).splitlines()
            self.status = host.returncode


failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message)


def finished(run):
    check(run.status == 0 and run.lines[-1:] == ["done"], f"host failed: status {run.status}, {run.lines}")


def test_bytes(wine):
    """Every output call sends exactly its bank command, raw, nothing else."""
    pty = Pty()
    wine.map_com61(pty.path)
    model = Model()
    calls = [("sba", 3, 0x01, 0, 0, 0x80), ("sba6", 1, 0x1FF, 0x0F, 0, 0xFFFFFF01),
             ("sba8", 8, 0, 0, 0, 0x80), ("pba", 2, 0x0A, 9), ("pba", 8, 0xF0, 1),
             ("sba", 9, 0xFF, 0xFF, 0xFF, 0xFF), ("sba", 0, 1, 2, 3, 4),
             ("sba", -2147483648, 0xFF, 0, 0, 0), ("sba", 2147483647, 0xFF, 0, 0, 0),
             ("pbanull", 2), ("pba", 0, 1, 1), ("sba", 2, 0xAA, 0x55, 0xAA, 0x55)]
    steps, expected = ["load"], b""
    for call in calls:
        steps += list(call)
        name, device = call[0], call[1]
        if name.startswith("sba"):
            expected += model.sba(device, *[bank & 0xFF for bank in call[2:]])
        elif name == "pba":
            expected += model.pba(device, [(call[2] + n * call[3]) % 256 for n in range(32)])
        else:
            expected += model.pba(device, None)
    run = Run(wine, pty, steps + ["unload"])
    finished(run)
    check(all("unbalanced" not in line for line in run.lines), f"stack moved: {run.lines}")
    check(bytes(pty.received) == expected,
          f"wire bytes differ:\n got      {pty.received.hex()}\n expected {expected.hex()}")
    pty.close()


def test_lifecycle(wine):
    """Nothing is sent at load or unload, and the port is let go at unload."""
    pty = Pty()
    wine.map_com61(pty.path)
    seen = {}

    line = {}

    def look(pause):
        pty.drain()
        seen[pause] = (len(pty.received), holders(pty.path))
        if pause == 1:
            line["cflag"], line["speed"] = termios.tcgetattr(pty.master)[2], termios.tcgetattr(pty.master)[5]

    run = Run(wine, pty, ["load", "pause", "unload", "pause"], on_pause=look)
    finished(run)
    check(len(seen) == 2, f"the host paused {len(seen)} times")
    if len(seen) == 2:
        check(seen[1][0] == 0 and seen[2][0] == 0, f"bytes were sent at load or unload: {seen}")
        check(seen[1][1] != [], "no process held the port while the DLL was loaded")
        check(seen[2][1] == [], f"processes {seen[2][1]} still hold the port after FreeLibrary")
        # Wine turns stop-bit code 1 into two stop bits and, lacking 256000,
        # falls back to 38400 baud on a pseudo-terminal.
        check(line["cflag"] & termios.CSTOPB, "stop-bit code 1 did not reach the line")
        check(line["cflag"] & termios.CSIZE == termios.CS8, "the line is not 8 data bits")
        check(not line["cflag"] & termios.PARENB, "the line has parity")
        check(line["speed"] == termios.B38400, f"line speed code {line['speed']}")
    pty.close()


def test_announcement(wine):
    """The host learns devices 1 to 8; the ignored exports take any arguments."""
    pty = Pty()
    wine.map_com61(pty.path)
    run = Run(wine, pty, ["load", "ordinals", "notify", "ignored", 5000, "notify", "unload"])
    finished(run)
    announced = ("notify count=8 ids=1,2,3,4,5,6,7,8,-5,-5,-5,-5,-5,-5,-5,-5 calls= (1,1) (1,2) (1,3) "
                 "(1,4) (1,5) (1,6) (1,7) (1,8) complete=yes")
    check(run.lines.count(announced) == 2, f"announcement: {run.lines}")
    check("ordinals ok" in run.lines, f"ordinals: {run.lines}")
    check("ignored exports called 40000 times, stack balanced" in run.lines, f"ignored exports: {run.lines}")
    check(len(pty.received) == 0, f"announcing sent {len(pty.received)} bytes")
    pty.close()


def test_unavailable(wine):
    """A missing COM61, and one that is not a serial device: no devices."""
    for target in (None, "/dev/null"):
        wine.map_com61(target)
        run = Run(wine, None, ["load", "notify", "sba", 1, 255, 255, 255, 255, "pba", 1, 1, 1, "unload"])
        finished(run)
        check(any(line.startswith("notify count=0 ") and line.endswith("calls= complete=yes")
                  for line in run.lines), f"COM61 -> {target}: {run.lines}")
    wine.map_com61(None)


def test_tool(wine):
    """brindlex.exe through the DLL to the emulator, and its port check."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
    import tool_e2e
    tool = [wine.loader, os.path.join(os.path.dirname(wine.host), "brindlex.exe")]
    where = dict(env=wine.env, cwd=os.path.dirname(wine.host))
    tool_e2e.check_test_walk(wine.emulator, wine.com61, tool, **where)
    tool_e2e.check_bad_arguments_send_nothing(wine.emulator, wine.com61, tool, **where)

    def make_pty():
        master, slave = os.openpty()
        wine.map_com61(os.ttyname(slave))
        return master, slave

    tool_e2e.check_port_check(tool, wine.com61, lambda: wine.map_com61(None), lambda: wine.map_com61("/dev/null"),
                              make_pty, not_terminal_says="GetCommState", **where)
    check_library_problems(wine, tool, where, tool_e2e)
    failures.extend(tool_e2e.failures)


def check_library_problems(wine, tool, where, tool_e2e):
    """A DLL that cannot be loaded: exit status 3 and which folder to take."""
    sixty_four = wine.loader.endswith("64")
    folder = where["cwd"]
    other = os.path.join(folder, "other-bitness.dll")
    with open(other, "wb") as out:  # MZ, then a PE header of the other bitness marked as a DLL
        header = bytearray(256)
        header[0:2], header[0x3C] = b"MZ", 0x80
        header[0x80:0x84] = b"PE\0\0"
        header[0x84:0x86] = (0x14C if sixty_four else 0x8664).to_bytes(2, "little")
        header[0x80 + 22:0x80 + 24] = (0x2000).to_bytes(2, "little")
        out.write(header)
    take = "x64" if sixty_four else "x86"
    for library, says in [("other-bitness.dll", f"take Brindlex.dll from the package's {take} folder"),
                          ("missing.dll", "there is no such file")]:
        status, output = tool_e2e.run(tool + ["--library", library, "devices"], **where)
        check(status == 3 and says in output, f"--library {library}: {status} {output!r}")
    os.unlink(other)
    status, output = tool_e2e.run(tool + ["--version"], **where)
    check(status == 0 and re.search(r"Brindlex\.dll \(version \d+\.\d+\.\d+", output), f"--version: {status} {output!r}")


def virtual_display():
    """Xvfb on a display of its own choosing: (process, ":N")."""
    reader, writer = os.pipe()
    log = tempfile.TemporaryFile()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(writer), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            pass_fds=[writer], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log)
    os.close(writer)
    number = b""
    while not number.endswith(b"\n") and select.select([reader], [], [], 30)[0]:
        chunk = os.read(reader, 64)
        if not chunk:
            break
        number += chunk
    os.close(reader)
    if not number.strip().isdigit():
        xvfb.kill()
        xvfb.wait()
        log.seek(0)
        raise AssertionError(f"Xvfb did not start: {log.read().decode(errors='replace')[-500:]}")
    return xvfb, ":" + number.decode().strip()


def test_explorer(wine):
    """A double-click in Explorer: brindlex.exe without arguments, in a console
    of its own (start makes one, in a window on a virtual X display), opens
    the panel with the DLL loaded; Ctrl-C in its window switches every output
    and level off before the process ends."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
    import tool_e2e
    # A fresh server, so that Wine's desktop process, which the console
    # window belongs to, starts on this run's display and not an old one.
    wine.stop()
    wine.setup()
    xvfb, display = virtual_display()
    # The emulator sees the far side open and close the port as a board would.
    emulator = tool_e2e.Emulator(wine.emulator, wine.com61, ["--restart-on-open", "0", "--json"])
    env = dict(wine.env, DISPLAY=display)
    started = subprocess.Popen([wine.loader, "start", "/wait", "brindlex.exe"], env=env, cwd=os.path.dirname(wine.host),
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        opened = lambda: [e for e in emulator.events() if e.get("cause") == "open"]  # noqa: E731
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not opened():
            time.sleep(0.2)
        time.sleep(2)
        check(opened() and started.poll() is None and not [e for e in emulator.events() if e.get("cause") == "close"],
              f"the panel did not keep the port open (status {started.poll()}): {emulator.events()}")
        # The console's window may come a while after the program has started.
        windows = []
        while time.monotonic() < deadline + 30 and not windows:
            windows = subprocess.run(["xdotool", "search", "--name", "brindlex.exe"], env=env, capture_output=True,
                                     text=True, timeout=30).stdout.split()
            time.sleep(0.5)
        check(len(windows) == 1, f"windows named brindlex.exe on {display}: {windows}")
        for window in windows[:1]:
            # Ctrl-C typed into the window: no window manager here to close it.
            subprocess.run(["xdotool", "windowfocus", "--sync", window, "key", "ctrl+c"], env=env, timeout=30)
        try:
            check(started.wait(timeout=30) == 130, f"Ctrl-C: exit status {started.returncode}, not 130")
        except subprocess.TimeoutExpired:
            check(False, "Ctrl-C in the window did not end the panel")
    finally:
        if started.poll() is None:
            started.kill()
        events, _ = emulator.stop()
        wine.stop()
        xvfb.terminate()
        xvfb.wait(timeout=10)
        wine.setup()
    commands = [(e["command"], e["device"], e["data"]) for e in events if e.get("event") == "command"]
    check(sorted(commands) == sorted((kind, d, [0] * 32) for d in range(1, 9) for kind in ("states", "levels")),
          f"Ctrl-C did not switch everything off: {commands}")
    check([e.get("cause") for e in events if e.get("event") == "restart"][-1:] == ["close"],
          f"the port was not closed at the end: {events}")


def test_farend(wine):
    """The far end goes away while the DLL is loaded: every later call returns,
    the host keeps running and unloads cleanly, letting go of the port."""
    pty = Pty()
    wine.map_com61(pty.path)
    line = os.fstat(pty.slave).st_rdev
    model = Model()
    expected = model.sba(2, 0x0F, 0, 0, 0) + model.pba(3, [(7 + n * 3) % 256 for n in range(32)])
    seen = {}

    def look(pause):
        if pause == 1:
            pty.drain()
            seen["before"] = bytes(pty.received)
            seen["held"] = device_holders(line)
            pty.hang_up()
        else:
            seen["after unload"] = device_holders(line)

    later = []
    for i in range(500):
        later += ["sba", i % 11 - 1, i, 255 - i, 0x100 + i, -i, "pba", i % 10, i, 1]
    run = Run(wine, pty, ["load", "sba", 2, 0x0F, 0, 0, 0, "pba", 3, 7, 3, "pause"] + later +
              ["notify", "ignored", 10, "unload", "pause"], on_pause=look, timeout=120)
    finished(run)
    check(seen.get("before") == expected, f"bytes before the hang-up: {seen.get('before', b'').hex()}")
    check(seen.get("held", []) != [], "no process held the port while the DLL was loaded")
    check(sum(line.startswith("pba ") for line in run.lines) == 501, f"not every call returned: {run.lines[-5:]}")
    check(any(line.startswith("notify count=8 ") for line in run.lines), f"announcement: {run.lines[-5:]}")
    check("unloaded" in run.lines, f"unload: {run.lines[-5:]}")
    check(seen.get("after unload") == [], f"processes {seen.get('after unload')} still hold the port after FreeLibrary")
    pty.close()


TESTS = {"bytes": test_bytes, "lifecycle": test_lifecycle, "announcement": test_announcement,
         "unavailable": test_unavailable, "tool": test_tool, "farend": test_farend, "explorer": test_explorer}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--loader", required=True, help="the wine loader for the host's bitness")
    parser.add_argument("--host", required=True)
    parser.add_argument("--emulator", help="the native brindlex-emulator, for the tool test")
    parser.add_argument("action", choices=["setup", "stop"] + sorted(TESTS))
    args = parser.parse_args()
    wine = Wine(args.prefix, args.loader, args.host)
    wine.emulator = args.emulator
    if args.action == "setup":
        wine.setup()
        return 0
    if args.action == "stop":
        wine.stop()
        return 0
    skip_unless_loader_runs(args.loader)
    try:
        TESTS[args.action](wine)
    finally:
        wine.map_com61(None)
    print(f"{args.action}: {'FAILED' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
