#!/usr/bin/env python3
"""The library and tool on real kernel serial drivers: boots Debian's kernel in
QEMU with a board UART and an FTDI USB adapter, runs the cases of guest_init.sh
inside, and checks from the outside what reached each port's far end and what
QEMU's emulated hardware was programmed with. A cross build's test binaries
run in the same boot.

  run_guest.py boot ...          builds the guest, boots it once, keeps its output
  run_guest.py drivers ...       checks the serial cases from that output
  run_guest.py result NAME ...   one test binary's result in the guest

Never touches a serial device of this machine: every port is QEMU's, and each
far end is a plain file."""
import argparse
import json
import lzma
import os
import re
import shlex
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

    def __init__(self, name, debian, kernel_package, kernel_format, qemu, machine, console,
                 uart_device, uart_node, no_uart_node, uart_rejects_256000, ports_listed, trace_events,
                 library_dirs, time_limit):
        self.name = name
        self.kernel_format = kernel_format
        self.ports_listed = ports_listed
        self.time_limit = time_limit
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


# console: (QEMU devices, kernel arguments, modules that bring it up, its node
# once they have; the node is empty where the console is there from the start).
def virt_board(name, debian, kernel_package, qemu, machine, kernel_args, empty_8250_ports, library_dirs):
    """QEMU's ARM virt board as a Raspberry Pi stand-in: its UART is a PL011,
    which the kernel drives with amba-pl011 as on the Pi. The console is on
    virtio, leaving the PL011 free. Debian's ARM kernels also list 8250 ports
    with no UART behind them."""
    empty = [f"/dev/ttyS{n}" for n in range(empty_8250_ports)]
    return Arch(
        name=name, debian=debian, kernel_package=kernel_package, kernel_format="image", qemu=qemu,
        machine=[*machine, "-accel", "tcg"],
        console=(["-device", "virtio-serial-device", "-device", "virtconsole,chardev=console"],
                 f"console=hvc0 {kernel_args}".strip(), ["virtio_mmio", "virtio_console"], "/dev/hvc0"),
        uart_device=["-serial", "chardev:uart"],
        uart_node="/dev/ttyAMA0", no_uart_node=empty[0],
        uart_rejects_256000=False,
        ports_listed=["/dev/ttyAMA0", *empty, "/dev/ttyUSB0"],
        trace_events=["pl011_write", "usb_serial_set_baud", "usb_serial_set_data"],
        library_dirs=library_dirs, time_limit=600)


ARCHES = {
    "x86_64": Arch(
        name="x86_64", debian="amd64", kernel_package="linux-image-amd64", kernel_format="elf",
        qemu="qemu-system-x86_64",
        machine=["-M", "pc", "-accel", "tcg", "-cpu", "max"],
        # The console is the first 16550; the one under test is the second.
        console=(["-device", "isa-serial,chardev=console,index=0"], "console=ttyS0,115200", [], ""),
        uart_device=["-device", "isa-serial,chardev=uart,index=1"],
        uart_node="/dev/ttyS1", no_uart_node="/dev/ttyS2",
        # Its 1.8432 MHz clock stops at 115200 baud.
        uart_rejects_256000=True,
        ports_listed=["/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2", "/dev/ttyS3", "/dev/ttyUSB0"],
        trace_events=["serial_update_parameters", "usb_serial_set_baud", "usb_serial_set_data"],
        library_dirs=["/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu"],
        time_limit=300),
    # A Pi 4's core. kpti=0: with KASLR the kernel would isolate its page
    # tables on every system call, three times the time under emulation.
    "aarch64": virt_board(
        name="aarch64", debian="arm64", kernel_package="linux-image-arm64", qemu="qemu-system-aarch64",
        machine=["-M", "virt", "-cpu", "cortex-a72"], kernel_args="kpti=0", empty_8250_ports=4,
        library_dirs=["/usr/aarch64-linux-gnu/lib"]),
    "armv7l": virt_board(
        name="armv7l", debian="armhf", kernel_package="linux-image-armmp-lpae", qemu="qemu-system-arm",
        machine=["-M", "virt,highmem=off", "-cpu", "cortex-a15"], kernel_args="", empty_8250_ports=5,
        library_dirs=["/usr/arm-linux-gnueabihf/lib"]),
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


def host_architecture():
    return run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()


def fetch_package(arch, package, cache):
    """A Debian package of the guest's architecture, unpacked into the cache,
    never installed."""
    tree = os.path.join(cache, f"{package}_{arch.debian}")
    if os.path.isdir(tree):
        return tree
    os.makedirs(cache, exist_ok=True)
    name = package if arch.debian == host_architecture() else f"{package}:{arch.debian}"
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
    debs = [f for f in os.listdir(cache)
            if f.startswith(package + "_") and f.endswith(f"_{arch.debian}.deb")]
    staging = tree + ".partial"
    shutil.rmtree(staging, ignore_errors=True)
    run(["dpkg", "-x", os.path.join(cache, sorted(debs)[-1]), staging])
    os.rename(staging, tree)
    return tree


def boot_kernel(arch, tree, cache):
    """What QEMU's -kernel takes: the ELF inside an x86 bzImage, or the ARM
    image as it is (arm64's is already uncompressed, armhf's unpacks itself)."""
    if arch.kernel_format == "elf":
        return elf_kernel(tree, cache)
    return next(os.path.join(tree, "boot", f) for f in os.listdir(os.path.join(tree, "boot"))
                if f.startswith("vmlinuz-"))


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
    machine's runtime for the guest's architecture: {path in the guest: file}."""
    found, pending = {}, list(binaries)

    def locate(name):
        path = next((os.path.join(d, name) for d in arch.library_dirs
                     if os.path.exists(os.path.join(d, name))), None)
        if path is None:
            raise RuntimeError(f"{name} is not in {arch.library_dirs}")
        return os.path.realpath(path)

    while pending:
        needed, interpreters = elf_needs(pending.pop())
        for interpreter in interpreters:
            found[interpreter] = locate(os.path.basename(interpreter))
        for name in needed:
            if "/lib/" + name in found or name.startswith("libBrindlex"):
                continue
            found["/lib/" + name] = locate(name)
            pending.append(found["/lib/" + name])
    return found


class Manifest:
    """What a cross build's tests need in the guest (see GuestTests.cmake):
    "test NAME COMMAND..." and "file PATH" lines."""

    def __init__(self, path):
        self.tests, self.files = [], []
        for line in open(path).read().splitlines() if path else []:
            kind, _, rest = line.partition(" ")
            if kind == "test":
                name, _, command = rest.partition(" ")
                self.tests.append((name, command.split()))
            elif kind == "file":
                self.files.append(rest)

    def binaries(self):
        return [command[0] for _, command in self.tests] + self.files

    def script(self):
        """The guest's part: each test framed as a case of its own."""
        lines = ["cd /tmp"]
        for name, command in self.tests:
            lines.append(f"run test.{name} " + " ".join(shlex.quote(word) for word in command))
        return "\n".join(lines) + "\n"


def stripped(path, strip):
    """The file without its debugging sections: the guest unpacks every byte."""
    if not strip:
        return open(os.path.realpath(path), "rb").read()
    with tempfile.TemporaryDirectory() as folder:
        copy = os.path.join(folder, "stripped")
        run([strip, "--strip-debug", "-o", copy, os.path.realpath(path)])
        return open(copy, "rb").read()


# Who the tests may switch to: root, and nobody for the refused-port checks.
PASSWD = "root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/nonexistent:/bin/false\n"
GROUP = "root:x:0:\ndialout:x:20:\nnogroup:x:65534:\n"


def initramfs(arch, busybox_path, modules, args, manifest, calls, cases_conf):
    archive = Cpio()
    for folder in ("bin", "dev", "proc", "sys", "tmp", "lib", "modules", "opt/brindlex", "etc"):
        archive.folder(folder)
    archive.file("init", open(os.path.join(HERE, "guest_init.sh"), "rb").read(), 0o755)
    archive.file("bin/busybox", open(busybox_path, "rb").read(), 0o755)
    archive.file("cases.conf", cases_conf.encode())
    archive.file("tests.sh", manifest.script().encode())
    archive.file("etc/passwd", PASSWD.encode())
    archive.file("etc/group", GROUP.encode())
    # The tool loads the library that lies beside it.
    binaries = [args.tool, args.host, args.library]
    for path, name in zip(binaries, ("brindlex", "guest_host", "libBrindlex.so")):
        archive.file("opt/brindlex/" + name, stripped(path, args.strip), 0o755)
    archive.file("opt/brindlex/calls", calls.encode())
    # The tests open these by the paths compiled into them.
    for path in dict.fromkeys(manifest.binaries()):
        archive.file(path, stripped(path, args.strip), 0o755)
    for guest_path, path in runtime_files(arch, binaries + manifest.binaries()).items():
        archive.file(guest_path, open(path, "rb").read(), 0o755)
    for path in modules:
        archive.file("modules/" + os.path.basename(path), open(path, "rb").read())
    return archive.close()


def busybox(arch, cache):
    """A static busybox for the guest: this machine's own, or the guest
    architecture's package."""
    if arch.debian != host_architecture():
        return os.path.join(fetch_package(arch, "busybox-static", cache), "bin", "busybox")
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


def boot(arch, kernel, ramdisk, out, time_limit, memory="512", devices=(), trace_events=(), watch=None):
    """Boots the guest until it powers off. devices and trace_events are QEMU
    arguments and events beyond the ports; watch, if given, sees the console's
    text as it grows."""
    paths = {name: os.path.join(out, name) for name in
             ("console.log", "uart.out", "ftdi.out", "trace.log", "qemu.log")}
    # A socket's path has a short length limit; a build folder's may not.
    sockets = tempfile.mkdtemp(prefix="brindlex-qmp-")
    paths["qmp.sock"] = os.path.join(sockets, "qmp.sock")
    for path in paths.values():
        if os.path.exists(path):
            os.remove(path)
    open(paths["console.log"], "wb").close()
    console_devices, console_arg, _, _ = arch.console
    command = [arch.qemu, *arch.machine, "-nodefaults", "-no-user-config", "-display", "none",
               "-m", memory, "-no-reboot", "-kernel", kernel, "-initrd", ramdisk,
               "-append", f"{console_arg} rdinit=/init panic=-1 loglevel=3",
               "-chardev", f"file,id=console,path={paths['console.log']}", *console_devices,
               "-chardev", f"file,id=uart,path={paths['uart.out']}", *arch.uart_device,
               "-device", "qemu-xhci,id=xhci",
               "-chardev", f"file,id=ftdi,path={paths['ftdi.out']}",
               "-device", "usb-serial,bus=xhci.0,chardev=ftdi,id=adapter",
               "-qmp", f"unix:{paths['qmp.sock']},server=on,wait=off",
               "-D", paths["trace.log"], *devices]
    for event in [*arch.trace_events, *trace_events]:
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
            if watch:
                watch(text)
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
    listed = len(arch.ports_listed)
    checks.expect(status == 0 and lines[:1] == ["serial ports:"] and
                  [line.split()[0] for line in lines[1:1 + listed]] == arch.ports_listed,
                  f"brindlex ports lists {', '.join(arch.ports_listed)}, in order", output)
    adapter = next((line for line in lines if line.startswith("  /dev/ttyUSB0 ")), "")
    checks.expect("driver ftdi_sio, USB adapter 0403:6001, QEMU USB SERIAL, serial " in adapter
                  and adapter.endswith("<- the library's port"),
                  "brindlex ports: the adapter with its driver, ids and names, marked as the library's port", output)
    uart = next((line for line in lines if line.startswith(f"  {arch.uart_node} ")), "")
    empty = next((line for line in lines if line.startswith(f"  {arch.no_uart_node} ")), "")
    if arch.uart_rejects_256000:
        checks.expect("a UART, at most 115200 baud (the controller needs 256000)" in uart,
                      "brindlex ports: the 16550 and the rate its clock stops at", output)
    else:
        checks.expect(uart.endswith("driver uart-pl011, a UART, at most 1500000 baud"),
                      "brindlex ports: the PL011 and the rate its 24 MHz clock stops at", output)
    if arch.no_uart_node:
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
    checks.expect(status == 2 and f"{arch.uart_node} is not a USB adapter" in output,
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
    else:
        checks.expect(status == 0 and "256000 baud, 8N2" in output and "the port is ready" in output,
                      "PL011: brindlex check passes and prints the line as 256000 baud, 8N2", output)
        status, output = case("uart.drive")
        checks.expect(status == 0 and value(output, "announced") == "8" and
                      value(output, "sent") == str(call_count),
                      f"PL011: a host sees 8 devices and makes {call_count} calls", output)
        checks.expect(uart_bytes == expected,
                      f"PL011: exactly the {len(expected)} bytes of the calls arrive, 0x0A and 0x0D among them",
                      first_difference(uart_bytes, expected))
        programmed = pl011_settings(trace)
        checks.expect((5, 55, 0x78) in programmed,
                      "PL011: programmed with IBRD 5, FBRD 55 (256000 baud from its 24 MHz clock) and "
                      "LCR_H 0x78 (8 data bits, no parity, 2 stop bits, FIFO on)",
                      [(i, f, hex(lcr), round(pl011_baud(i, f))) for i, f, lcr in programmed])
    if arch.no_uart_node:
        status, output = case("nouart.check")
        checks.expect(status == 1 and "no hardware" in output,
                      "a port with no UART behind it: brindlex check says no hardware answers", output)
        checks.expect(f"\n  a link to {arch.no_uart_node}: " in output and "no UART behind it\n" in output,
                      "a port with no UART behind it: brindlex check says so before opening it", output)
    return checks


# The PL011's divisor and line control registers, and the clock QEMU's virt
# board gives it.
PL011_IBRD, PL011_FBRD, PL011_LCR_H = 0x24, 0x28, 0x2C
PL011_CLOCK = 24_000_000


def pl011_settings(trace):
    """Each (IBRD, FBRD, LCR_H) the driver programmed: it writes the divisors,
    then the line control register that latches them."""
    divisors, settings = {PL011_IBRD: None, PL011_FBRD: None}, []
    for addr, value in re.findall(r"pl011_write addr 0x([0-9a-f]+) value 0x([0-9a-f]+)", trace):
        addr, value = int(addr, 16), int(value, 16)
        if addr in divisors:
            divisors[addr] = value
        elif addr == PL011_LCR_H and None not in divisors.values():
            settings.append((divisors[PL011_IBRD], divisors[PL011_FBRD], value))
    return list(dict.fromkeys(settings))


def pl011_baud(ibrd, fbrd):
    return PL011_CLOCK / (16 * (ibrd + fbrd / 64)) if ibrd or fbrd else 0


def first_difference(seen, expected):
    for at, (a, b) in enumerate(zip(seen, expected)):
        if a != b:
            return f"byte {at}: 0x{a:02X}, expected 0x{b:02X} ({len(seen)} bytes arrived)"
    return f"{len(seen)} bytes arrived, {len(expected)} expected"


def prepare_and_boot(args, arch):
    started = time.monotonic()
    tree = fetch_package(arch, kernel_package(arch), args.cache)
    kernel = boot_kernel(arch, tree, args.cache)
    calls, _, _ = drive_calls()
    _, _, console_modules, console_node = arch.console
    console_paths = module_files(tree, console_modules)
    adapter_paths = [m for m in module_files(tree, ADAPTER_MODULES) if m not in console_paths]

    def names(paths):
        return " ".join(os.path.basename(m)[:-3] for m in paths)

    conf = (f"UART={arch.uart_node}\nNO_UART={arch.no_uart_node}\nUART_NAME={os.path.basename(arch.uart_node)}\n"
            f"CONSOLE={console_node}\nCONSOLE_MODULES=\"{names(console_paths)}\"\n"
            f"MODULES=\"{names(adapter_paths)}\"\n")
    manifest = Manifest(args.manifest)
    ramdisk = initramfs(arch, busybox(arch, args.cache), console_paths + adapter_paths, args, manifest,
                        calls, conf)
    ramdisk_path = os.path.join(args.out, "initramfs.cpio")
    with open(ramdisk_path, "wb") as out:
        out.write(ramdisk)
    prepared = time.monotonic() - started
    log(f"kernel {os.path.basename(tree)}, initramfs {len(ramdisk)} bytes with {len(manifest.tests)} test "
        f"command(s), prepared in {prepared:.1f} s")

    paths, booted, elapsed = boot(arch, kernel, ramdisk_path, args.out, args.time_limit or arch.time_limit)
    log(f"guest booted to its init in {booted if booted is None else round(booted, 1)} s, "
        f"ran every case and powered off in {elapsed:.1f} s")
    console = open(paths["console.log"], "rb").read().decode(errors="replace")
    if "@@done" not in console:
        log("the guest did not run to its end; the last of its console:\n" + console[-3000:])
        return 1
    for name, (status, output) in cases(console).items():
        if name.startswith("test."):
            log(f"  {name[5:]}: exit status {status}, {test_counts(output)}")
    return 0


def test_counts(output):
    """GoogleTest's own count of a binary's tests, when it printed one."""
    ran = re.search(r"^\[==========\] (\d+) tests? from .* ran\.", output, re.M)
    failed = re.search(r"^\[  FAILED  \] (\d+) tests?, listed below", output, re.M)
    if ran is None:
        return "not a GoogleTest run"
    return f"{ran.group(1)} tests, {failed.group(1) if failed else 0} failed"


def saved_paths(out):
    return {name: os.path.join(out, name) for name in ("console.log", "uart.out", "ftdi.out", "trace.log")}


def report_result(args):
    console = open(saved_paths(args.out)["console.log"], "rb").read().decode(errors="replace")
    status, output = cases(console).get("test." + args.name, (None, ""))
    if status is None:
        log(f"{args.name} did not run in the guest")
        return 1
    log(output)
    log(f"{args.name} in the guest: exit status {status}, {test_counts(output)}")
    return 0 if status == 0 else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    boot_command = commands.add_parser("boot", help="build the guest, boot it once and keep its output")
    boot_command.add_argument("--arch", choices=sorted(ARCHES), required=True)
    boot_command.add_argument("--library", required=True, help="libBrindlex.so built for the guest")
    boot_command.add_argument("--tool", required=True, help="the brindlex tool built for the guest")
    boot_command.add_argument("--host", required=True, help="guest_host built for the guest")
    boot_command.add_argument("--manifest", help="the test commands to run in the guest and what they need")
    boot_command.add_argument("--strip", help="the strip tool for the guest's binaries")
    boot_command.add_argument("--cache", required=True, help="where downloaded packages are kept between runs")
    boot_command.add_argument("--out", required=True, help="where the guest's output is kept")
    boot_command.add_argument("--time-limit", type=float, help="seconds QEMU may run")
    drivers_command = commands.add_parser("drivers", help="check the serial cases of the last boot")
    drivers_command.add_argument("--arch", choices=sorted(ARCHES), required=True)
    drivers_command.add_argument("--out", required=True)
    result_command = commands.add_parser("result", help="a test command's result in the last boot")
    result_command.add_argument("--out", required=True)
    result_command.add_argument("name")
    args = parser.parse_args()

    if args.command == "result":
        return report_result(args)
    arch = ARCHES[args.arch]
    if args.command == "boot":
        os.makedirs(args.out, exist_ok=True)
        return prepare_and_boot(args, arch)
    _, expected, call_count = drive_calls()
    checks = check_guest(arch, saved_paths(args.out), expected, call_count)
    if checks.failed:
        log(f"{len(checks.failed)} check(s) failed; the guest's console, far ends and QEMU trace are in {args.out}")
        return 1
    log(f"all checks passed ({args.arch})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
