#!/usr/bin/env python3
"""The library and tool on real kernel serial drivers: boots Debian's kernel in
QEMU with a board UART and an FTDI USB adapter, runs the cases of guest_init.sh
inside, and checks from the outside what reached each port's far end and what
QEMU's emulated hardware was programmed with.

Never touches a serial device of this machine: every port is QEMU's, and each
far end is a plain file."""
import argparse
import json
import lzma
import os
import re
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "wine"))
import wine_e2e  # noqa: E402

ADAPTER_MODULES = ["xhci-pci", "ftdi_sio"]


class Arch:
    """What differs between guest architectures."""

    def __init__(self, name, debian, kernel_package, qemu, machine, console, uart_device,
                 uart_node, no_uart_node, uart_rejects_256000, trace_events, library_dirs):
        self.name = name
        self.debian = debian
        self.kernel_package = kernel_package
        self.qemu = qemu
        self.machine = machine
        self.console = console
        self.uart_device = uart_device
        self.uart_node = uart_node
        self.no_uart_node = no_uart_node
        self.uart_rejects_256000 = uart_rejects_256000
        self.trace_events = trace_events
        self.library_dirs = library_dirs


ARCHES = {
    "x86_64": Arch(
        name="x86_64", debian="amd64", kernel_package="linux-image-amd64",
        qemu="qemu-system-x86_64",
        machine=["-M", "pc", "-accel", "tcg", "-cpu", "max"],
        # The console is the first 16550; the one under test is the second.
        console=(["-device", "isa-serial,chardev=console,index=0"], "console=ttyS0,115200"),
        uart_device=["-device", "isa-serial,chardev=uart,index=1"],
        uart_node="/dev/ttyS1", no_uart_node="/dev/ttyS2",
        # Its 1.8432 MHz clock stops at 115200 baud.
        uart_rejects_256000=True,
        trace_events=["serial_update_parameters", "usb_serial_set_baud", "usb_serial_set_data"],
        library_dirs=["/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu"]),
}


def log(message):
    print(message, flush=True)


# ---------------------------------------------------------------- the kernel

def run(command, **kwargs):
    return subprocess.run(command, check=True, stdin=subprocess.DEVNULL, **kwargs)


def kernel_package(arch):
    """The versioned package the meta package depends on now."""
    query = ["apt-cache", "depends"]
    if arch.debian != subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                                     text=True).stdout.strip():
        query.append(f"{arch.kernel_package}:{arch.debian}")
    else:
        query.append(arch.kernel_package)
    out = run(query, capture_output=True, text=True).stdout
    for line in out.splitlines():
        match = re.match(r"\s*Depends:\s*(linux-image-\S+)", line)
        if match:
            return match.group(1).split(":")[0]
    raise RuntimeError(f"{arch.kernel_package} depends on no kernel image:\n{out}")


def fetch_kernel(arch, cache):
    """Debian's kernel package, unpacked into the cache, never installed."""
    package = kernel_package(arch)
    tree = os.path.join(cache, package)
    if os.path.isdir(os.path.join(tree, "boot")):
        return tree
    os.makedirs(cache, exist_ok=True)
    name = package if arch.debian == "amd64" else f"{package}:{arch.debian}"
    # apt hands downloads to its own user, which must be able to write here.
    os.chmod(cache, 0o777)
    for attempt in range(2):
        result = subprocess.run(["apt-get", "download", "-q", name], cwd=cache, stdin=subprocess.DEVNULL,
                                capture_output=True, text=True)
        if result.returncode == 0:
            break
        if attempt == 0:  # stale package lists: the archive moved on
            subprocess.run(["apt-get", "update", "-q"], stdin=subprocess.DEVNULL, capture_output=True)
    else:
        raise RuntimeError(f"apt-get download {name} failed:\n{result.stderr}")
    debs = [f for f in os.listdir(cache) if f.startswith(package + "_") and f.endswith(".deb")]
    staging = tree + ".partial"
    shutil.rmtree(staging, ignore_errors=True)
    run(["dpkg", "-x", os.path.join(cache, sorted(debs)[-1]), staging])
    os.rename(staging, tree)
    return tree


def elf_kernel(tree, cache):
    """The ELF kernel inside the bzImage: QEMU boots it through its PVH entry,
    twice as fast as through the firmware."""
    image = next(os.path.join(tree, "boot", f) for f in os.listdir(os.path.join(tree, "boot"))
                 if f.startswith("vmlinuz-"))
    target = os.path.join(cache, os.path.basename(image).replace("vmlinuz", "vmlinux"))
    if os.path.exists(target):
        return target
    data = open(image, "rb").read()
    for magic, unpack in ((b"\xfd7zXZ\x00", lambda b: lzma.LZMADecompressor().decompress(b)),
                          (b"\x1f\x8b\x08\x00", lambda b: zlib.decompressobj(31).decompress(b))):
        at = data.find(magic)
        while at >= 0:
            try:
                kernel = unpack(data[at:])
                if kernel.startswith(b"\x7fELF"):
                    with open(target + ".partial", "wb") as out:
                        out.write(kernel)
                    os.rename(target + ".partial", target)
                    return target
            except (lzma.LZMAError, zlib.error):
                pass
            at = data.find(magic, at + 1)
    raise RuntimeError(f"no ELF kernel found inside {image}")


def module_files(tree, wanted):
    """The .ko files of the wanted modules and what they depend on, in an order
    insmod can load them in: the package ships no modules.dep."""
    index = {}
    for folder, _, files in os.walk(os.path.join(tree, "lib", "modules")):
        for name in files:
            if name.endswith(".ko"):
                index[name[:-3].replace("-", "_")] = os.path.join(folder, name)
    ordered = []

    def add(name):
        path = index.get(name.replace("-", "_"))
        if path is None:
            raise RuntimeError(f"module {name} is not in the kernel package")
        if path in ordered:
            return
        depends = run(["modinfo", "-F", "depends", path], capture_output=True, text=True).stdout.strip()
        for dependency in filter(None, depends.split(",")):
            add(dependency)
        ordered.append(path)

    for name in wanted:
        add(name)
    return ordered


# ---------------------------------------------------------------- the initramfs

class Cpio:
    """A newc archive, the format the kernel unpacks an initramfs from."""

    def __init__(self):
        self.data = bytearray()
        self.inode = 1
        self.folders = set()

    def _entry(self, name, mode, body=b""):
        header = "070701" + "".join(f"{v:08X}" for v in (
            self.inode, mode, 0, 0, 1, 0, len(body), 0, 0, 0, 0, len(name) + 1, 0))
        self.inode += 1
        self.data += header.encode() + name.encode() + b"\0"
        self.data += b"\0" * (-len(self.data) % 4)
        self.data += body
        self.data += b"\0" * (-len(self.data) % 4)

    def folder(self, path):
        path = path.strip("/")
        if not path or path in self.folders:
            return
        self.folder(os.path.dirname(path))
        self.folders.add(path)
        self._entry(path, stat.S_IFDIR | 0o755)

    def file(self, path, body, mode=0o644):
        self.folder(os.path.dirname(path.strip("/")))
        self._entry(path.strip("/"), stat.S_IFREG | mode, body)

    def symlink(self, path, target):
        self.folder(os.path.dirname(path.strip("/")))
        self._entry(path.strip("/"), stat.S_IFLNK | 0o777, target.encode())

    def close(self):
        self._entry("TRAILER!!!", 0)
        return bytes(self.data)


def elf_needs(path):
    out = run(["readelf", "-d", "-l", "-W", path], capture_output=True, text=True).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out), \
        re.findall(r"Requesting program interpreter: ([^\]]+)\]", out)


def runtime_files(arch, binaries):
    """The loader and every shared library the binaries need, from this
    machine's own runtime."""
    found, interpreters, pending = {}, set(), list(binaries)
    while pending:
        needed, interpreter = elf_needs(pending.pop())
        interpreters.update(interpreter)
        for name in needed:
            if name in found or name.startswith("libBrindlex"):
                continue
            path = next((os.path.join(d, name) for d in arch.library_dirs
                         if os.path.exists(os.path.join(d, name))), None)
            if path is None:
                raise RuntimeError(f"{name} is not in {arch.library_dirs}")
            found[name] = os.path.realpath(path)
            pending.append(found[name])
    return found, interpreters


def initramfs(arch, modules, build, calls, cases_conf):
    archive = Cpio()
    for folder in ("bin", "dev", "proc", "sys", "tmp", "lib", "modules", "opt/brindlex"):
        archive.folder(folder)
    archive.file("init", open(os.path.join(HERE, "guest_init.sh"), "rb").read(), 0o755)
    archive.file("bin/busybox", open(busybox(), "rb").read(), 0o755)
    archive.file("cases.conf", cases_conf.encode())
    # The tool loads the library that lies beside it.
    binaries = [build.tool, build.host, build.library]
    for path, name in zip(binaries, ("brindlex", "guest_host", "libBrindlex.so")):
        archive.file("opt/brindlex/" + name, open(os.path.realpath(path), "rb").read(), 0o755)
    archive.file("opt/brindlex/calls", calls.encode())
    libraries, interpreters = runtime_files(arch, binaries)
    for name, path in libraries.items():
        archive.file("lib/" + name, open(path, "rb").read(), 0o755)
    for interpreter in interpreters:
        archive.file(interpreter, open(os.path.realpath(interpreter), "rb").read(), 0o755)
    for path in modules:
        archive.file("modules/" + os.path.basename(path), open(path, "rb").read())
    return archive.close()


def busybox():
    for path in ("/bin/busybox", "/usr/bin/busybox"):
        if os.path.exists(path) and "statically linked" in \
                run(["file", "-L", path], capture_output=True, text=True).stdout:
            return path
    raise RuntimeError("a static busybox is needed (Debian package busybox-static)")


# ---------------------------------------------------------------- the calls

def drive_calls():
    """Every byte value as a level, 0x0A and 0x0D among them, and state banks
    that use every bit; with what the controller must receive for them."""
    model, lines, expected = wine_e2e.Model(), [], b""
    for device in range(1, 9):
        levels = [(device - 1) * 32 + n for n in range(32)]
        lines.append("pba %d %s" % (device, " ".join(map(str, levels))))
        expected += model.pba(device, levels)
        banks = [(device * 37 + b * 91) & 0xFF for b in range(4)]
        lines.append("sba %d %s" % (device, " ".join(map(str, banks))))
        expected += model.sba(device, *banks)
    for device in (3, 8, 1):
        levels = [0x0A, 0x0D] * 16
        lines.append("pba %d %s" % (device, " ".join(map(str, levels))))
        expected += model.pba(device, levels)
        lines.append("sba %d 255 10 13 0" % device)
        expected += model.sba(device, 255, 10, 13, 0)
    return "\n".join(lines) + "\n", expected, len(lines)


# ---------------------------------------------------------------- the guest

class Qmp:
    def __init__(self, path):
        self.path = path
        self.sock = None

    def command(self, name, **arguments):
        if self.sock is None:
            self.sock = socket.socket(socket.AF_UNIX)
            self.sock.settimeout(10)
            self.sock.connect(self.path)
            self.stream = self.sock.makefile("rw")
            self.stream.readline()  # greeting
            self._send("qmp_capabilities")
        return self._send(name, **arguments)

    def _send(self, name, **arguments):
        self.stream.write(json.dumps({"execute": name, "arguments": arguments}) + "\n")
        self.stream.flush()
        while True:
            reply = json.loads(self.stream.readline())
            if "return" in reply or "error" in reply:
                return reply


def boot(arch, kernel, ramdisk, out, time_limit):
    paths = {name: os.path.join(out, name) for name in
             ("console.log", "uart.out", "ftdi.out", "trace.log", "qemu.log")}
    # A socket's path has a short length limit; a build folder's may not.
    sockets = tempfile.mkdtemp(prefix="brindlex-qmp-")
    paths["qmp.sock"] = os.path.join(sockets, "qmp.sock")
    for path in paths.values():
        if os.path.exists(path):
            os.remove(path)
    open(paths["console.log"], "wb").close()
    console_devices, console_arg = arch.console
    command = [arch.qemu, *arch.machine, "-nodefaults", "-no-user-config", "-display", "none",
               "-m", "512", "-no-reboot", "-kernel", kernel, "-initrd", ramdisk,
               "-append", f"{console_arg} rdinit=/init panic=-1 loglevel=3",
               "-chardev", f"file,id=console,path={paths['console.log']}", *console_devices,
               "-chardev", f"file,id=uart,path={paths['uart.out']}", *arch.uart_device,
               "-device", "qemu-xhci,id=xhci",
               "-chardev", f"file,id=ftdi,path={paths['ftdi.out']}",
               "-device", "usb-serial,bus=xhci.0,chardev=ftdi,id=adapter",
               "-qmp", f"unix:{paths['qmp.sock']},server=on,wait=off",
               "-D", paths["trace.log"]]
    for event in arch.trace_events:
        command += ["-trace", f"enable={event}"]
    log("$ " + " ".join(command))
    started = time.monotonic()
    qemu_log = open(paths["qemu.log"], "wb")
    qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=qemu_log, stderr=qemu_log)
    qmp = Qmp(paths["qmp.sock"])
    unplugged = None
    booted = None
    try:
        while qemu.poll() is None:
            if time.monotonic() - started > time_limit:
                raise RuntimeError(f"the guest did not finish within {time_limit} s")
            text = open(paths["console.log"], "rb").read().decode(errors="replace")
            if booted is None and "@@booted" in text:
                booted = time.monotonic() - started
            if unplugged is None and "unplug-now" in text:
                reply = qmp.command("device_del", id="adapter")
                if "error" in reply:
                    raise RuntimeError(f"device_del failed: {reply}")
                unplugged = time.monotonic() - started
            time.sleep(0.05)
    finally:
        if qemu.poll() is None:
            qemu.kill()
        qemu.wait()
        qemu_log.close()
        shutil.rmtree(sockets, ignore_errors=True)
    elapsed = time.monotonic() - started
    return paths, booted, elapsed


def cases(console):
    """The console's "@@begin NAME" .. "@@end NAME STATUS" blocks."""
    found, current, lines = {}, None, []
    for line in console.replace("\r", "").splitlines():
        begin = re.match(r"@@begin (\S+)$", line)
        end = re.match(r"@@end (\S+) (\d+)$", line)
        if begin:
            current, lines = begin.group(1), []
        elif end and current == end.group(1):
            found[current] = (int(end.group(2)), "\n".join(lines))
            current = None
        elif current:
            lines.append(line)
    return found


def value(output, key):
    match = re.search(rf"^{key} (\S+)", output, re.M)
    return match.group(1) if match else None


# ---------------------------------------------------------------- the checks

class Checks:
    def __init__(self):
        self.failed = []

    def expect(self, condition, what, seen=""):
        log(("ok   " if condition else "FAIL ") + what + ("" if condition else f"\n     seen: {seen}"))
        if not condition:
            self.failed.append(what)


def check_guest(arch, paths, expected, call_count):
    checks = Checks()
    console = open(paths["console.log"], "rb").read().decode(errors="replace")
    results = cases(console)
    trace = open(paths["trace.log"]).read() if os.path.exists(paths["trace.log"]) else ""
    uart_bytes = open(paths["uart.out"], "rb").read()
    ftdi_bytes = open(paths["ftdi.out"], "rb").read()

    def case(name):
        return results.get(name, (None, "(the case did not run)"))

    checks.expect("@@done" in console, "the guest ran every case")

    # The adapter: 256000 baud takes effect and every byte arrives.
    status, output = case("ftdi.check")
    checks.expect(status == 0 and "256000 baud, 8N2" in output and "the port is ready" in output,
                  "FTDI: brindlex check passes and prints the line as 256000 baud, 8N2", output)
    status, output = case("ftdi.drive")
    checks.expect(status == 0 and value(output, "announced") == "8" and value(output, "sent") == str(call_count),
                  f"FTDI: a host sees 8 devices and makes {call_count} calls", output)
    checks.expect(ftdi_bytes[:len(expected)] == expected,
                  f"FTDI: the {len(expected)} bytes of the calls arrive byte for byte, 0x0A and 0x0D among them",
                  first_difference(ftdi_bytes, expected))
    bauds = [int(b) for b in re.findall(r"usb_serial_set_baud .*?baud (?:rate )?(\d+)", trace)]
    data = re.findall(r"usb_serial_set_data .*?parity (\w+), data bits (\d+), stop bits (\d+)", trace)
    checks.expect(bauds and bauds[-1] == 255319, "FTDI: the chip is programmed for 255319 baud", bauds)
    checks.expect(data and data[-1] == ("N", "8", "2"),
                  "FTDI: the chip is programmed for 8 data bits, no parity, 2 stop bits", data)

    checks.expect("\n  a link to /dev/ttyUSB0: driver ftdi_sio, USB adapter 0403:6001, QEMU USB SERIAL, serial "
                  in case("ftdi.check")[1],
                  "FTDI: brindlex check says the port leads to the adapter, with its driver and ids",
                  case("ftdi.check")[1])

    status, output = case("ftdi.busy")
    checks.expect(status == 1 and "another program holds the port" in output,
                  "FTDI busy: brindlex devices exits 1 saying another program holds the port", output)
    checks.expect(re.search(r"\n    locked by process \d+ \(guest_host\)\n", output) is not None,
                  "FTDI busy: brindlex names the host holding the port", output)

    status, output = case("ports")
    lines = output.splitlines()
    checks.expect(status == 0 and lines[:1] == ["serial ports:"] and
                  [line.split()[0] for line in lines[1:6]] ==
                  ["/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2", "/dev/ttyS3", "/dev/ttyUSB0"],
                  "brindlex ports lists the four 8250 ports and the adapter, in order", output)
    adapter = next((line for line in lines if line.startswith("  /dev/ttyUSB0 ")), "")
    checks.expect("driver ftdi_sio, USB adapter 0403:6001, QEMU USB SERIAL, serial " in adapter
                  and adapter.endswith("<- the library's port"),
                  "brindlex ports: the adapter with its driver, ids and names, marked as the library's port", output)
    uart = next((line for line in lines if line.startswith("  /dev/ttyS1 ")), "")
    empty = next((line for line in lines if line.startswith("  /dev/ttyS2 ")), "")
    if arch.uart_rejects_256000:
        checks.expect("a UART, at most 115200 baud (the controller needs 256000)" in uart,
                      "brindlex ports: the 16550 and the rate its clock stops at", output)
    if arch.no_uart_node == "/dev/ttyS2":
        checks.expect(empty.endswith("no UART behind it"), "brindlex ports: the 8250 slot with no UART", output)
    checks.expect(lines[-1:] == ["the library opens /dev/brindlex, a link to /dev/ttyUSB0"],
                  "brindlex ports: where the library's port leads", output)

    status, output = case("ports.rule")
    serial = re.search(r", serial (\S+)", adapter)
    rule = [line for line in output.splitlines() if not line.startswith("#")]
    checks.expect(status == 0 and serial is not None and rule == [
        f'SUBSYSTEM=="tty", ATTRS{{idVendor}}=="0403", ATTRS{{idProduct}}=="6001", '
        f'ATTRS{{serial}}=="{serial.group(1) if serial else ""}", SYMLINK+="brindlex", MODE="0660", GROUP="dialout"'],
        "brindlex ports --udev-rule: the adapter's rule with its serial number", output)
    status, output = case("ports.uartrule")
    checks.expect(status == 2 and "/dev/ttyS1 is not a USB adapter" in output,
                  "brindlex ports --udev-rule refuses a board's UART", output)
    status, output = case("ftdi.holder")
    checks.expect(value(output, "announced") == "8", "FTDI busy: the first host keeps its 8 devices", output)

    status, output = case("ftdi.unplug")
    checks.expect(status == 0 and value(output, "gone") == "yes"
                  and "unloaded" in output.splitlines(),
                  "FTDI unplugged mid-run: the host keeps running and unloads the library", output)
    checks.expect(value(output, "announced-after") == "8" and
                  value(output, "descriptors-before") == value(output, "descriptors-after") == "1",
                  "FTDI unplugged: the library keeps its one descriptor and reopens nothing", output)
    longest = value(output, "longest-call-after")
    checks.expect(longest is not None and float(longest) < 1.0,
                  "FTDI unplugged: every call afterwards returns at once", output)

    # The board's UART.
    status, output = case("uart.check")
    if arch.uart_rejects_256000:
        checks.expect(status == 1 and "the driver kept 9600 baud (asked for 256000)" in output
                      and "cannot run at 256000 baud" in output,
                      "16550: brindlex check exits 1 naming the 9600 baud the driver kept", output)
        status, output = case("uart.drive")
        checks.expect(status == 0 and value(output, "announced") == "0",
                      "16550: a host sees no device", output)
        checks.expect(uart_bytes == b"", "16550: nothing reaches the far end", uart_bytes[:64])
        updates = re.findall(r"serial_update_parameters baudrate=(\d+) parity='?(\w)'? data=(\d+) stop=(\d+)", trace)
        # The events name no port; the console runs 8N1 and the driver's
        # probing uses other frames, so 8N2 is the library's request.
        eight_n_two = [u for u in updates if u[1:] == ("N", "8", "2")]
        checks.expect(eight_n_two and all(u[0] == "9600" for u in eight_n_two) and
                      not any(int(u[0]) > 115200 for u in updates),
                      "16550: the UART is never programmed above 115200 baud; the library's 8N2 runs at 9600",
                      updates)
    if arch.no_uart_node:
        status, output = case("nouart.check")
        checks.expect(status == 1 and "no hardware" in output,
                      "a port with no UART behind it: brindlex check says no hardware answers", output)
        checks.expect(f"\n  a link to {arch.no_uart_node}: " in output and "no UART behind it\n" in output,
                      "a port with no UART behind it: brindlex check says so before opening it", output)
    return checks


def first_difference(seen, expected):
    for at, (a, b) in enumerate(zip(seen, expected)):
        if a != b:
            return f"byte {at}: 0x{a:02X}, expected 0x{b:02X} ({len(seen)} bytes arrived)"
    return f"{len(seen)} bytes arrived, {len(expected)} expected"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--arch", choices=sorted(ARCHES), default="x86_64")
    parser.add_argument("--library", required=True, help="libBrindlex.so built for the guest")
    parser.add_argument("--tool", required=True, help="the brindlex tool built for the guest")
    parser.add_argument("--host", required=True, help="guest_host built for the guest")
    parser.add_argument("--cache", required=True, help="where the kernel package is kept between runs")
    parser.add_argument("--out", required=True, help="where the guest's output is kept")
    parser.add_argument("--time-limit", type=float, default=300)
    args = parser.parse_args()
    arch = ARCHES[args.arch]
    os.makedirs(args.out, exist_ok=True)

    started = time.monotonic()
    tree = fetch_kernel(arch, args.cache)
    kernel = elf_kernel(tree, args.cache)
    calls, expected, call_count = drive_calls()
    ramdisk_path = os.path.join(args.out, "initramfs.cpio")
    modules = module_files(tree, ADAPTER_MODULES)
    conf = (f"UART={arch.uart_node}\nNO_UART={arch.no_uart_node}\n"
            f"MODULES=\"{' '.join(os.path.basename(m)[:-3] for m in modules)}\"\n")
    ramdisk = initramfs(arch, modules, args, calls, conf)
    with open(ramdisk_path, "wb") as out:
        out.write(ramdisk)
    prepared = time.monotonic() - started
    log(f"kernel {os.path.basename(tree)}, initramfs {len(ramdisk)} bytes, prepared in {prepared:.1f} s")

    paths, booted, elapsed = boot(arch, kernel, ramdisk_path, args.out, args.time_limit)
    log(f"guest booted to its init in {booted if booted is None else round(booted, 1)} s, "
        f"ran every case and powered off in {elapsed:.1f} s")
    checks = check_guest(arch, paths, expected, call_count)
    if checks.failed:
        log(f"{len(checks.failed)} check(s) failed; the guest's console, far ends and QEMU trace are in {args.out}")
        return 1
    log(f"all checks passed ({args.arch})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
