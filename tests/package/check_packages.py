#!/usr/bin/env python3
"""Unpacks the release packages and uses them as their users would: checks
the DLLs' machine types and version resources, builds a C host against each
package's header and library (MinGW for both Windows bitnesses, pkg-config and
find_package on Linux) and runs it against a pseudo-terminal as the port."""
import argparse
import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "wine"))
import wine_e2e  # noqa: E402

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message)
    return condition


def run(command, **kwargs):
    with tempfile.TemporaryFile(mode="w+") as output:
        status = subprocess.run(command, stdout=output, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                **kwargs).returncode
        output.seek(0)
        return status, output.read()


def expected_bytes():
    model = wine_e2e.Model()
    return model.sba(2, 0x81, 0, 0, 0x80) + model.pba(2, [255 - n for n in range(32)])


def version_resource(path):
    """The file version from VS_FIXEDFILEINFO and the ProductVersion string."""
    data = open(path, "rb").read()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None, None
    ms, ls = struct.unpack("<II", data[at + 8:at + 16])
    fixed = f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}"
    key = "ProductVersion".encode("utf-16-le")
    product = None
    k = data.find(key)
    if k >= 0:
        tail = data[k + len(key):k + len(key) + 64]
        # The value follows after padding to a 32-bit boundary.
        text = tail.decode("utf-16-le", errors="ignore").strip("\0")
        product = text.split("\0")[0]
    return fixed, product


def check_windows(package, version, prefix):
    root = tempfile.mkdtemp(prefix="brindlex-windows-")
    with zipfile.ZipFile(package) as archive:
        archive.extractall(root)
    top = os.path.join(root, f"Brindlex-{version}-windows")
    debug_zip = package.replace(".zip", "-debug.zip")
    for name in ["include/brindlex.h", "README.md", "LICENSE", "CHANGELOG.md", "docs/host-api.md"]:
        check(os.path.isfile(os.path.join(top, name)), f"windows package lacks {name}")
    wine = wine_e2e.Wine(prefix, "/usr/lib/wine/wine64", "")
    wine.setup()
    for folder, triple, machine, loader in [("x64", "x86_64-w64-mingw32", "pei-x86-64", "/usr/lib/wine/wine64"),
                                            ("x86", "i686-w64-mingw32", "pei-i386", "/usr/lib/wine/wine")]:
        where = os.path.join(top, folder)
        present = sorted(os.listdir(where))
        check(present == sorted(["Brindlex.dll", "brindlex.exe", "libBrindlex.dll.a", "Brindlex.def"]),
              f"{folder}/ holds {present}")
        for binary in ["Brindlex.dll", "brindlex.exe"]:
            _, header = run([f"{triple}-objdump", "-f", "-h", os.path.join(where, binary)])
            check(f"file format {machine}" in header, f"{folder}/{binary} is not {machine}: {header.strip()}")
            check(".debug_info" not in header and ".gnu_debuglink" in header,
                  f"{folder}/{binary} is not stripped with a link to its debug file")
            check(zipfile.is_zipfile(debug_zip) and
                  f"Brindlex-{version}-windows-debug/{folder}/{binary}.debug" in zipfile.ZipFile(debug_zip).namelist(),
                  f"the debug archive lacks {folder}/{binary}.debug")
            fixed, product = version_resource(os.path.join(where, binary))
            check(fixed == version and product == version,
                  f"{folder}/{binary} version resource {fixed!r} / {product!r}, expected {version}")
        # What hosts see of the stripped DLL: the five exports by ordinal, and
        # nothing imported beyond Windows itself.
        status, output = run([sys.executable, os.path.join(HERE, "..", "check_exports.py"),
                              "--objdump", f"{triple}-objdump", "--dll", os.path.join(where, "Brindlex.dll")])
        check(status == 0, f"{folder}/Brindlex.dll exports or imports: {output}")
        status, output = run([f"{triple}-gcc", "-std=c99", "-Wall", "-Wextra", "-Werror", "-pedantic",
                              "-I", os.path.join(top, "include"), os.path.join(HERE, "host.c"),
                              "-L", where, "-lBrindlex", "-static-libgcc", "-o", os.path.join(where, "host.exe")])
        if not check(status == 0, f"MinGW {folder} host does not build: {output}"):
            continue
        if folder == "x64":
            # The 64-bit tool given the 32-bit DLL: Windows' error 193, in words.
            status, output = run(["/usr/lib/wine/wine64", os.path.join(where, "brindlex.exe"), "--library",
                                  os.path.join("..", "x86", "Brindlex.dll"), "devices"], env=wine.env, cwd=where)
            check(status == 3 and "it is a DLL for x86 (32-bit) and this brindlex.exe is x64 (64-bit)" in output
                  and "package's x64 folder" in output, f"x64 tool with the x86 DLL: {status} {output!r}")
        if not wine_e2e.loader_runs(loader):
            print(f"{folder} host built but not run: this machine cannot execute {loader} (no IA32 emulation)")
            continue
        wine.loader, wine.host = loader, os.path.join(where, "host.exe")
        pty = wine_e2e.Pty()
        wine.map_com61(pty.path)
        status, output = run([loader, wine.host, "send"], env=wine.env, cwd=where, timeout=120)
        pty.drain(0.5)
        wine.map_com61(None)
        check(status == 0 and "announced 8, callbacks 8" in output and "sent" in output,
              f"{folder} host under Wine: {status} {output}")
        check(bytes(pty.received) == expected_bytes(), f"{folder} host sent {pty.received.hex()}")
        pty.close()
    wine.stop()
    shutil.rmtree(root)


def run_native_host(program, what):
    """Runs a host linked against the packaged library, whose port is
    /dev/brindlex: on a pseudo-terminal linked there if the machine has no
    such port, else (a real controller may be there) announce-only."""
    port = "/dev/brindlex"
    if os.path.lexists(port) or not os.access("/dev", os.W_OK):
        status, output = run([program])
        check(status == 0 and "announced" in output, f"{what}: {status} {output}")
        print(f"{what}: {port} is in use here; ran without sending")
        return
    pty = wine_e2e.Pty()
    os.symlink(pty.path, port)
    try:
        status, output = run([program, "send"], timeout=60)
        pty.drain(0.3)
    finally:
        os.unlink(port)
    check(status == 0 and "announced 8, callbacks 8" in output and "sent" in output, f"{what}: {status} {output}")
    check(bytes(pty.received) == expected_bytes(), f"{what} sent {pty.received.hex()}")
    pty.close()


def check_linux(package, version):
    root = tempfile.mkdtemp(prefix="brindlex-linux-")
    with tarfile.open(package) as archive:
        archive.extractall(root)
    top = os.path.join(root, f"Brindlex-{version}-linux-x86_64")
    for name in ["include/brindlex.h", "lib/libBrindlex.so", f"lib/libBrindlex.so.{version.split('.')[0]}",
                 f"lib/libBrindlex.so.{version}", "lib/pkgconfig/brindlex.pc", "lib/cmake/Brindlex/BrindlexConfig.cmake",
                 "bin/brindlex", "bin/brindlex-emulator", "LICENSE", "docs/wire-protocol.md",
                 "lib/brindlex/wine-x64/Brindlex.dll", "lib/brindlex/wine-x86/Brindlex.dll"]:
        check(os.path.exists(os.path.join(top, name)), f"linux package lacks {name}")
    debug = tarfile.open(package.replace(".tar.gz", "-debug.tar.gz")).getnames()
    for binary in ["bin/brindlex", "bin/brindlex-emulator", f"lib/libBrindlex.so.{version}",
                   "lib/brindlex/wine-x64/brindlex.dll.so", "lib/brindlex/wine-x86/brindlex.dll.so"]:
        _, sections = run(["readelf", "-S", os.path.join(top, binary)])
        check(".symtab" not in sections and ".debug_info" not in sections and ".gnu_debuglink" in sections,
              f"{binary} is not stripped with a link to its debug file")
        check(f"Brindlex-{version}-linux-x86_64-debug/{binary}.debug" in debug, f"the debug archive lacks {binary}")
    status, output = run([sys.executable, os.path.join(HERE, "..", "check_exports.py"), "--posix",
                          os.path.join(top, "lib", f"libBrindlex.so.{version}")])
    check(status == 0, f"stripped library exports: {output}")
    _, dynamic = run(["readelf", "-d", os.path.join(top, "lib", "libBrindlex.so")])
    check(f"Library soname: [libBrindlex.so.{version.split('.')[0]}]" in dynamic, "soname is not the major version")
    status, output = run([os.path.join(top, "bin", "brindlex"), "--version"])
    lines = output.splitlines()
    check(status == 0 and lines[:1] == [f"brindlex {version} (x86_64)"] and len(lines) == 2
          and f"/lib/libBrindlex.so (version {version}, soname libBrindlex.so.1, x86_64)" in lines[1],
          f"brindlex --version says {output!r}")

    env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(top, "lib", "pkgconfig"))
    _, flags = run(["pkg-config", "--cflags", "--libs", "brindlex"], env=env)
    _, pc_version = run(["pkg-config", "--modversion", "brindlex"], env=env)
    check(pc_version.strip() == version, f"pkg-config version {pc_version!r}")
    program = os.path.join(root, "pkgconfig-host")
    status, output = run(["gcc", "-std=c99", "-Wall", "-Wextra", "-Werror", "-pedantic",
                          os.path.join(HERE, "host.c"), "-o", program, *flags.split(),
                          "-Wl,-rpath," + os.path.join(top, "lib")])
    if check(status == 0, f"pkg-config host does not build: {output}"):
        run_native_host(program, "pkg-config host")

    build = os.path.join(root, "consumer-build")
    status, output = run(["cmake", "-S", os.path.join(HERE, "consumer"), "-B", build, f"-DCMAKE_PREFIX_PATH={top}"])
    if check(status == 0, f"find_package(Brindlex) fails: {output}"):
        status, output = run(["cmake", "--build", build])
        if check(status == 0, f"find_package host does not build: {output}"):
            run_native_host(os.path.join(build, "consumer"), "find_package host")
    shutil.rmtree(root)


def check_linux_arm(package, version, arch):
    """A Raspberry Pi archive: laid out as the x86_64 one, every binary built
    for the Pi's architecture, stripped with a link to its debug file, and
    the library showing only the five exports. Run on a Pi or in an ARM
    guest, not here."""
    machine = {"arm64": "AArch64", "armhf": "ARM"}[arch]
    root = tempfile.mkdtemp(prefix=f"brindlex-{arch}-")
    with tarfile.open(package) as archive:
        archive.extractall(root)
    top = os.path.join(root, f"Brindlex-{version}-linux-{arch}")
    for name in ["include/brindlex.h", "lib/libBrindlex.so", f"lib/libBrindlex.so.{version.split('.')[0]}",
                 "lib/pkgconfig/brindlex.pc", "lib/cmake/Brindlex/BrindlexConfig.cmake", "share/man/man1/brindlex.1",
                 "LICENSE", "docs/installing.md"]:
        check(os.path.exists(os.path.join(top, name)), f"{arch} package lacks {name}")
    debug = tarfile.open(package.replace(".tar.gz", "-debug.tar.gz")).getnames()
    for binary in ["bin/brindlex", "bin/brindlex-emulator", f"lib/libBrindlex.so.{version}"]:
        _, header = run(["readelf", "-h", "-S", os.path.join(top, binary)])
        check(f"Machine:                           {machine}" in header, f"{arch} {binary}: {header[:400]}")
        check(".symtab" not in header and ".debug_info" not in header and ".gnu_debuglink" in header,
              f"{arch} {binary} is not stripped with a link to its debug file")
        check(f"Brindlex-{version}-linux-{arch}-debug/{binary}.debug" in debug, f"{arch} debug archive lacks {binary}")
    _, symbols = run(["readelf", "--dyn-syms", "-W", os.path.join(top, "lib", f"libBrindlex.so.{version}")])
    exported = sorted({line.split()[7] for line in symbols.splitlines()
                       if len(line.split()) >= 8 and " GLOBAL " in line and " UND " not in line})
    check(exported == ["LWZ_PBA", "LWZ_REGISTER", "LWZ_SBA", "LWZ_SET_NOTIFY", "LWZ_SET_NOTIFY_EX"],
          f"the {arch} library exports {exported}")
    _, dynamic = run(["readelf", "-d", os.path.join(top, "lib", f"libBrindlex.so.{version}")])
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic)
    check(not any("stdc++" in lib or "gcc_s" in lib for lib in needed), f"the {arch} library needs {needed}")
    shutil.rmtree(root)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--dist", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--prefix", required=True, help="a Wine prefix for this test")
    parser.add_argument("which", choices=["windows", "linux", "linux-arm64", "linux-armhf"])
    args = parser.parse_args()
    name = {"windows": f"Brindlex-{args.version}-windows.zip",
            "linux": f"Brindlex-{args.version}-linux-x86_64.tar.gz",
            "linux-arm64": f"Brindlex-{args.version}-linux-arm64.tar.gz",
            "linux-armhf": f"Brindlex-{args.version}-linux-armhf.tar.gz"}[args.which]
    package = os.path.join(args.dist, name)
    if not os.path.exists(package):
        print(f"{package} is missing: run scripts/package first")
        return 1
    if args.which == "windows":
        check_windows(package, args.version, args.prefix)
    elif args.which.startswith("linux-"):
        check_linux_arm(package, args.version, args.which[len("linux-"):])
    else:
        check_linux(package, args.version)
    print(f"{args.which} package: {'FAILED' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
