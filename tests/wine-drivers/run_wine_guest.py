#!/usr/bin/env python3
"""Windows hosts under Wine on real kernel serial drivers: boots Debian's
kernel in QEMU with a 16550 and three FTDI USB adapters, with this machine's
own /usr and /etc (and so its Wine) shared read-only, runs the Windows builds'
tool and test host under Wine against each port (wine_init.sh), with the
Windows DLL and with the Winelib one, and checks from the outside what
reached each far end and what QEMU's hardware was programmed with.

  run_wine_guest.py boot ...          makes the prefix, boots the guest once
  run_wine_guest.py check ...         checks the cases of that boot
  run_wine_guest.py result NAME ...   a 32-bit Wine scenario run in the guest

The guest's kernel runs 32-bit programs whatever this machine's does, so the
32-bit Wine scenarios that cannot run here run there instead.
Never touches a serial device of this machine: every port is QEMU's."""
import argparse
import json
import os
import re
import shutil
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "drivers"))
import run_guest as guest  # noqa: E402

wine_e2e = guest.wine_e2e
ARCH = guest.ARCHES["x86_64"]
MODULES = ["virtio_pci", "9pnet_virtio", "9p", *guest.ADAPTER_MODULES]
# The far ends of the adapters, by the USB serial number each carries. The
# first is the driver tier's own adapter, left with QEMU's serial number.
ADAPTERS = {"W64": "ftdi.out", "W32": "ftdi32.out", "WL": "ftdiwl.out"}
SCENARIOS = sorted(wine_e2e.TESTS)
WINE32 = "/usr/lib/wine/wine"
# A new prefix made on a machine that runs no 32-bit programs gets its
# 32-bit half in the guest, which takes some 500 s there; then about 100 s.
TIME_LIMIT = 1200
SKIPPED = 77
# What set 1 0 10 13 and level 2 10 send.
SET_OUTPUTS = (1 << 0) | (1 << 10) | (1 << 13)
LEVEL = 10
# The builds the guest runs, relative to the folder of the build presets.
NEEDED = ["win64/brindlex.exe", "win64/brindlex_wine_host.exe", "win32/brindlex.exe",
          "win32/brindlex_wine_host.exe", "winelib64/winelib/brindlex.dll.so", "winelib64/winelib/Brindlex.dll",
          "winelib32/winelib/brindlex.dll.so", "winelib32/winelib/Brindlex.dll", "native/brindlex-emulator"]

log = guest.log


def set_bytes():
    return wine_e2e.Model().sba(1, *[(SET_OUTPUTS >> (8 * b)) & 0xFF for b in range(4)])


def level_bytes():
    return wine_e2e.Model().pba(2, [LEVEL] * 32)


def drive_steps():
    """The test host's calls (levels of every byte value, 0x0A and 0x0D among
    them, and state banks that use every bit), and what must arrive."""
    model, steps, expected = wine_e2e.Model(), ["notify"], b""
    for device in range(1, 9):
        steps += ["pba", device, (device - 1) * 32, 1]
        expected += model.pba(device, [((device - 1) * 32 + n) % 256 for n in range(32)])
        banks = [(device * 37 + b * 91) & 0xFF for b in range(4)]
        steps += ["sba", device, *banks]
        expected += model.sba(device, *banks)
    for device in (3, 8):
        steps += ["pba", device, 10, 3, "sba", device, 255, 10, 13, 0]
        expected += model.pba(device, [(10 + n * 3) % 256 for n in range(32)]) + model.sba(device, 255, 10, 13, 0)
    return " ".join(map(str, steps)), expected


# ---------------------------------------------------------------- the boot

class Snapshots:
    """The size of each far end and of the trace when each case ended, so
    that what a case sent and programmed can be told apart."""

    def __init__(self, files):
        self.files = files
        self.ends = {}

    def __call__(self, console):
        for name in re.findall(r"@@end (\S+) \d+", console):
            if name not in self.ends:
                self.ends[name] = {key: os.path.getsize(path) if os.path.exists(path) else 0
                                   for key, path in self.files.items()}


def make_prefix(prefix):
    """The prefix the guest uses, made natively once: wineboot there is slow."""
    wine = wine_e2e.Wine(prefix, wine_e2e.WINE64, prefix)
    wine.setup()
    wine.stop()
    for name in os.listdir(os.path.join(prefix, "dosdevices")):
        if name.startswith("com"):  # ports Wine mapped to this machine's own
            os.unlink(os.path.join(prefix, "dosdevices", name))


def boot(args):
    started = time.monotonic()
    build = os.path.abspath(args.build)
    missing = [path for path in NEEDED if not os.path.exists(os.path.join(build, path))]
    if missing:
        log(f"missing {', '.join(missing)}: build the presets first "
            "(scripts/build native win64 win32 winelib64 winelib32)")
        return 1
    source = os.path.abspath(args.source)
    out = os.path.abspath(args.out)
    prefix = os.path.join(out, "prefix")
    os.makedirs(out, exist_ok=True)
    make_prefix(prefix)
    made = time.monotonic() - started

    tree = guest.fetch_package(ARCH, guest.kernel_package(ARCH), args.cache)
    kernel = guest.boot_kernel(ARCH, tree, args.cache)
    modules = guest.module_files(tree, MODULES)
    e2e = not wine_e2e.loader_runs(WINE32)
    steps, _ = drive_steps()
    conf = (f'MODULES="{" ".join(os.path.basename(m)[:-3] for m in modules)}"\n'
            f"SOURCE={source}\nBUILD={build}\nPREFIX={prefix}\nUART={ARCH.uart_node}\n"
            f'E2E={"yes" if e2e else "no"}\nSCENARIOS="{" ".join(SCENARIOS)}"\n')
    archive = guest.Cpio()
    for folder in ("proc", "sys", "dev", "tmp", "root", "run", "usr", "etc"):
        archive.folder(folder)
    # Debian's /usr is merged: the rest of the root is links into it.
    for link in ("bin", "sbin", "lib", "lib64"):
        archive.symlink(link, "usr/" + link)
    archive.file("init", open(os.path.join(HERE, "wine_init.sh"), "rb").read(), 0o755)
    archive.file("busybox", open(guest.busybox(ARCH, args.cache), "rb").read(), 0o755)
    archive.file("cases.conf", conf.encode())
    archive.file("drive.steps", steps.encode())
    for path in modules:
        archive.file("modules/" + os.path.basename(path), open(path, "rb").read())
    with open(os.path.join(out, "e2e"), "w") as file:
        file.write("yes" if e2e else "no")
    ramdisk = os.path.join(out, "initramfs.cpio")
    with open(ramdisk, "wb") as file:
        file.write(archive.close())

    # TCG checks the stack reads of a user-mode iretq, with which Wine
    # returns from its system calls, as supervisor accesses: with SMAP on,
    # every Wine process faults.
    devices = ["-cpu", "max,smap=off"]
    for tag, path, access in (("usr", "/usr", "readonly=on"), ("etc", "/etc", "readonly=on"),
                              ("source", source, "readonly=on"), ("build", build, "")):
        devices += ["-virtfs", ",".join(filter(None, [f"local,path={path},mount_tag={tag},security_model=none",
                                                      access]))]
    for serial, name in ADAPTERS.items():
        if name != "ftdi.out":
            far_end = os.path.join(out, name)
            if os.path.exists(far_end):
                os.remove(far_end)
            devices += ["-chardev", f"file,id={serial},path={far_end}",
                        "-device", f"usb-serial,bus=xhci.0,chardev={serial},serial={serial}"]
    files = {name: os.path.join(out, name) for name in (*ADAPTERS.values(), "uart.out", "trace.log")}
    snapshots = Snapshots(files)
    log(f"prefix ready in {made:.1f} s; 32-bit Wine scenarios {'in the guest' if e2e else 'run natively'}")
    paths, booted, elapsed = guest.boot(ARCH, kernel, ramdisk, out, args.time_limit, memory="1024",
                                        devices=devices, trace_events=["usb_serial_set_flow_control"],
                                        watch=snapshots)
    snapshots(open(paths["console.log"], "rb").read().decode(errors="replace"))
    with open(os.path.join(out, "snapshots.json"), "w") as file:
        json.dump(snapshots.ends, file)
    console = open(paths["console.log"], "rb").read().decode(errors="replace")
    wine_up = re.search(r"@@wine (\S+)", console)
    log(f"guest booted to its init in {booted if booted is None else round(booted, 1)} s, Wine was up at "
        f"{wine_up.group(1) if wine_up else '?'} s of guest uptime, every case ran and it powered off in "
        f"{elapsed:.1f} s; {time.monotonic() - started:.1f} s in all")
    if "@@done" not in console:
        log("the guest did not run to its end; the last of its console:\n" + console[-3000:])
        return 1
    return 0


# ---------------------------------------------------------------- the checks

class Case:
    """One case's status, output, and what it sent and programmed."""

    def __init__(self, name, status, output, sent, trace):
        self.name, self.status, self.output, self.sent, self.trace = name, status, output, sent, trace

    def ftdi(self, address=None):
        """(baud, (parity, data, stop), flow control codes) an adapter was
        last programmed with in this case, or Nones. QEMU's events name every
        adapter dev 0:0, but each case uses one."""
        mine = self.trace.splitlines()
        bauds = [int(b) for line in mine for b in re.findall(r"usb_serial_set_baud .*?baud (?:rate )?(\d+)", line)]
        data = [d for line in mine for d in
                re.findall(r"usb_serial_set_data .*?parity (\w+), data bits (\d+), stop bits (\d+)", line)]
        flow = [int(f) for line in mine for f in re.findall(r"usb_serial_set_flow_control .*?(\d+)\s*$", line)]
        return (bauds[-1] if bauds else None, data[-1] if data else None, flow)

    def uart(self):
        """The 16550's (baud, frame) settings in this case, apart from the
        console's 8N1."""
        found = re.findall(r"serial_update_parameters baudrate=(\d+) parity='?(\w)'? data=(\d+) stop=(\d+)",
                           self.trace)
        return [(int(b), p + d + s) for b, p, d, s in found if (p, d, s) != ("N", "8", "1")]


def load_cases(out):
    console = open(os.path.join(out, "console.log"), "rb").read().decode(errors="replace")
    ends = json.load(open(os.path.join(out, "snapshots.json")))
    contents = {name: open(os.path.join(out, name), "rb").read() for name in (*ADAPTERS.values(), "uart.out")}
    trace = open(os.path.join(out, "trace.log"), "rb").read() if os.path.exists(os.path.join(out, "trace.log")) \
        else b""
    adapters = {}
    for name, serial, address in re.findall(r"@@adapter (\S+) (\S+) (\S+)", console):
        adapters[serial if serial in ADAPTERS else "W64"] = (name, address)
    found, before = {}, {key: 0 for key in (*contents, "trace.log")}
    for name, (status, output) in guest.cases(console).items():
        after = ends.get(name, before)
        sent = {key: contents[key][before[key]:after[key]] for key in contents}
        found[name] = Case(name, status, output, sent, trace[before["trace.log"]:after["trace.log"]].decode(
            errors="replace"))
        before = after
    return console, found, adapters


def stated_rate(output):
    """The rate check says Wine runs the port at."""
    found = re.search(r"(?:runs it|runs /dev/\S+) at (\d+) baud", output)
    return int(found.group(1)) if found else None


def table_row(case, far_end, address):
    """What the closing note's table shows of one case."""
    if case is None:
        return "(did not run)"
    announced = re.search(r"devices announced: ([\d ]+)", case.output)
    devices = announced.group(1).split() if announced else []
    if far_end is None:
        settings = ", ".join(f"{b} {f}" for b, f in case.uart()) or "not programmed"
        sent = len(case.sent["uart.out"])
    else:
        baud, data, flow = case.ftdi(address)
        settings = (f"{baud} baud" if baud else "rate not programmed") + \
            (f", {''.join(data)}" if data else "") + (f", flow control {flow[-1]}" if flow else "")
        sent = len(case.sent[far_end])
    failed = [line.split("FAILED")[0].strip() for line in case.output.splitlines() if line.endswith("FAILED")]
    steps = f"failed at {failed[0]}" if failed else "every step ok"
    return f"exit {case.status}; {steps}; {len(devices)} devices; {sent} bytes; {settings}"


def check(args):
    console, cases, adapters = load_cases(args.out)
    checks = guest.Checks()
    checks.expect("@@done" in console, "the guest ran every case")
    checks.expect(set(adapters) == set(ADAPTERS), "the guest found the three adapters", adapters)
    _, expected_drive = drive_steps()
    empty = Case("", None, "(the case did not run)", {key: b"" for key in (*ADAPTERS.values(), "uart.out")}, "")

    def case(name):
        return cases.get(name, empty)

    log("\nthe table: case | exit status, steps, devices announced, bytes at the far end, what was programmed")
    for name, found in cases.items():
        if name.startswith("e2e."):
            continue
        adapter = {"pe64": "W64", "winelib64": "W64", "pe32": "W32", "winelib32": "W32"}.get(name.split(".")[0])
        if name.startswith("winelib64.fresh."):
            adapter = "WL"
        on_uart = ".uart." in name or "fresh-uart" in name
        far_end = None if on_uart else ADAPTERS[adapter]
        log(f"  {name:34} {table_row(found, far_end, adapters.get(adapter, ('', '?'))[1])}")
    log("")

    for bits in ("64", "32"):
        serial = "W" + bits
        address = adapters.get(serial, ("", "?"))[1]
        far_end = ADAPTERS[serial]
        # The Windows DLL keeps its steps: what Wine makes of them is what a
        # Windows host under Wine gets, and check says so.
        device = adapters.get(serial, ("?", ""))[0]
        first = case(f"pe{bits}.ftdi.first")
        baud, data, flow = first.ftdi(address)
        checks.expect(first.status == 0 and "the port is ready" in first.output
                      and f"under Wine 8.0: a link to /dev/{device}, driver ftdi_sio" in first.output,
                      f"Windows DLL x{bits}, FTDI, first use: check passes, naming /dev/{device} and ftdi_sio",
                      first.output)
        checks.expect(baud == 258064 and data == ("N", "8", "2"),
                      f"Windows DLL x{bits}, FTDI, first use: Wine programs 258064 baud, 8N2 (24 MHz / 93)",
                      (baud, data))
        checks.expect(stated_rate(first.output) == baud,
                      f"Windows DLL x{bits}, FTDI: the rate check says Wine runs is the one in the trace",
                      (stated_rate(first.output), baud))
        for name in (f"pe{bits}.ftdi.set", f"pe{bits}.ftdi.level"):
            later = case(name)
            checks.expect(later.status != 0 and "GetCommState: error 87" in later.output
                          and later.sent[far_end] == b"",
                          f"Windows DLL x{bits}, FTDI, a later start ({name.split('.')[-1]}): the library "
                          "cannot read the line back, announces nothing and sends nothing",
                          (later.status, later.output, len(later.sent[far_end])))
        later = case(f"pe{bits}.ftdi.later")
        checks.expect(later.status == 1 and "not a serial device" not in later.output
                      and f"stty -F /dev/{device} 9600" in later.output,
                      f"Windows DLL x{bits}, FTDI, later: check names the rate left on the line and the remedy",
                      later.output)
        reset = case(f"pe{bits}.ftdi.reset-set")
        baud, data, _ = reset.ftdi(address)
        checks.expect(reset.status == 0 and reset.sent[far_end] == set_bytes() and baud == 258064,
                      f"Windows DLL x{bits}, FTDI, after stty -F ... 9600: the start works again, at 258064 baud",
                      (reset.status, reset.output, reset.sent[far_end].hex(), baud))

        uart_check = case(f"pe{bits}.uart.check")
        checks.expect(uart_check.status == 1 and "the port is ready" not in uart_check.output
                      and "/dev/ttyS1 at 115200 baud, not 256000" in uart_check.output,
                      f"Windows DLL x{bits}, 16550: check is not ready and says Wine runs it at 115200",
                      uart_check.output)
        checks.expect([b for b, _ in uart_check.uart()][-1:] == [stated_rate(uart_check.output)],
                      f"Windows DLL x{bits}, 16550: the rate check says Wine runs is the one in the trace",
                      (uart_check.uart(), stated_rate(uart_check.output)))
        programmed = case(f"pe{bits}.uart.set").uart()
        checks.expect(programmed and all(b == 115200 for b, _ in programmed),
                      f"Windows DLL x{bits}, 16550: the UART is programmed for 115200, not 256000 (what check says)",
                      programmed)

        # The Winelib DLL: the Linux library's port code on every start.
        for name in (f"winelib{bits}.ftdi.after-windows-dll", f"winelib{bits}.ftdi.drive",
                     f"winelib{bits}.ftdi.later"):
            run = case(name)
            baud, data, flow = run.ftdi(address)
            checks.expect(run.status == 0 and baud == 255319 and data == ("N", "8", "2"),
                          f"Winelib DLL x{bits}, FTDI, {name.split('.')[-1]}: the chip is programmed for 255319 "
                          "baud, 8N2", (run.status, run.output, baud, data))
        devices = case(f"winelib{bits}.ftdi.after-windows-dll")
        checks.expect("devices announced: 1 2 3 4 5 6 7 8" in devices.output,
                      f"Winelib DLL x{bits}, FTDI, on a line the Windows DLL left: 8 devices", devices.output)
        drive = case(f"winelib{bits}.ftdi.drive")
        checks.expect("ordinals ok" in drive.output and "notify count=8 " in drive.output
                      and "stack balanced" in drive.output and "unloaded" in drive.output,
                      f"Winelib DLL x{bits}: ordinals, the announcement across the boundary, a balanced stack",
                      drive.output)
        checks.expect(drive.sent[far_end] == expected_drive,
                      f"Winelib DLL x{bits}: the host's {len(expected_drive)} bytes arrive byte for byte",
                      guest.first_difference(drive.sent[far_end], expected_drive))
        later = case(f"winelib{bits}.ftdi.later")
        checks.expect(later.sent[far_end] == set_bytes(), f"Winelib DLL x{bits}: a later start sends its command",
                      later.sent[far_end].hex())
        uart = case(f"winelib{bits}.uart.devices")
        checks.expect(uart.status != 0 and "no device announced" in uart.output and uart.sent["uart.out"] == b"",
                      f"Winelib DLL x{bits}, 16550: no device announced and nothing sent",
                      (uart.status, uart.output, len(uart.sent["uart.out"])))

    fresh = case("winelib64.fresh.set")
    baud, data, _ = fresh.ftdi(adapters.get("WL", ("", "?"))[1])
    checks.expect(fresh.status == 0 and fresh.sent["ftdiwl.out"] == set_bytes() and baud == 255319,
                  "Winelib DLL x64, an adapter's first use: 255319 baud and the command arrives",
                  (fresh.status, fresh.output, baud))
    fresh_uart = case("winelib64.fresh-uart.devices")
    checks.expect(fresh_uart.status != 0 and fresh_uart.sent["uart.out"] == b"" and
                  not any(b > 115200 for b, _ in fresh_uart.uart()),
                  "Winelib DLL x64, 16550's first use: no device, nothing sent", fresh_uart.output)

    if checks.failed:
        log(f"{len(checks.failed)} check(s) failed; the guest's console, far ends and QEMU trace are in {args.out}")
        return 1
    log("all checks passed")
    return 0


def result(args):
    """A 32-bit Wine scenario's result from the guest."""
    console = open(os.path.join(args.out, "console.log"), "rb").read().decode(errors="replace")
    if open(os.path.join(args.out, "e2e")).read() == "no":
        log(f"SKIPPED: this machine runs {WINE32} itself: wine.{args.name} of the win32 preset runs it")
        return SKIPPED
    status, output = guest.cases(console).get("e2e." + args.name, (None, "(it did not run in the guest)"))
    log(output)
    log(f"wine.{args.name} with the 32-bit DLL in the guest: exit status {status}")
    return 0 if status == 0 else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    boot_command = commands.add_parser("boot", help="make the prefix, build the guest and boot it once")
    boot_command.add_argument("--source", required=True, help="the source tree")
    boot_command.add_argument("--build", required=True, help="the folder of the presets' build folders")
    boot_command.add_argument("--cache", required=True, help="where downloaded packages are kept between runs")
    boot_command.add_argument("--out", required=True)
    boot_command.add_argument("--time-limit", type=float, default=TIME_LIMIT, help="seconds QEMU may run")
    check_command = commands.add_parser("check", help="check the cases of the last boot")
    check_command.add_argument("--out", required=True)
    result_command = commands.add_parser("result", help="a 32-bit Wine scenario's result in the last boot")
    result_command.add_argument("--out", required=True)
    result_command.add_argument("name", choices=SCENARIOS)
    args = parser.parse_args()
    return {"boot": boot, "check": check, "result": result}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
