#!/usr/bin/env python3
"""The Debian packages as a user gets them: lintian on every package, then
the amd64 ones installed into this machine with apt, used (the tool, its man
page and completion, C hosts built from the installed files against the
emulator), purged, and nothing left behind. Packages of other architectures:
lintian, contents and the ELF machine of every binary."""
import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "wine"))
import wine_e2e  # noqa: E402

PACKAGES = ["libbrindlex1", "libbrindlex-dev", "brindlex-tools"]
MACHINES = {"amd64": "Advanced Micro Devices X86-64", "arm64": "AArch64", "armhf": "ARM"}
TRIPLETS = {"amd64": "x86_64-linux-gnu", "arm64": "aarch64-linux-gnu", "armhf": "arm-linux-gnueabihf"}
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message)
    return condition


def run(command, **kwargs):
    result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, timeout=kwargs.pop("timeout", 300), **kwargs)
    return result.returncode, result.stdout


def debs(dist, version, arch):
    # apt takes a file only by a path with a slash in front of its name.
    return {name: os.path.abspath(os.path.join(dist, f"{name}_{version}-1_{arch}.deb")) for name in PACKAGES}


def contents(deb):
    _, listing = run(["dpkg-deb", "--contents", deb])
    return [line.split()[5].lstrip(".") for line in listing.splitlines() if len(line.split()) >= 6]


def check_lintian_and_contents(files, arch, version):
    for deb in files.values():
        status, output = run(["lintian", "--fail-on", "error,warning", deb], timeout=600)
        check(status == 0, f"lintian on {os.path.basename(deb)}: {output}")
    triplet = TRIPLETS[arch]
    expected = {
        "libbrindlex1": [f"/usr/lib/{triplet}/libBrindlex.so.{version}", f"/usr/lib/{triplet}/libBrindlex.so.1",
                         "/usr/share/doc/libbrindlex1/copyright"],
        "libbrindlex-dev": ["/usr/include/brindlex.h", f"/usr/lib/{triplet}/libBrindlex.so",
                            f"/usr/lib/{triplet}/pkgconfig/brindlex.pc",
                            f"/usr/lib/{triplet}/cmake/Brindlex/BrindlexConfig.cmake",
                            "/usr/share/man/man3/brindlex.3.gz"],
        "brindlex-tools": ["/usr/bin/brindlex", "/usr/bin/brindlex-emulator", "/usr/share/man/man1/brindlex.1.gz",
                           "/usr/share/man/man1/brindlex-emulator.1.gz",
                           "/usr/share/bash-completion/completions/brindlex",
                           "/usr/share/doc/brindlex-tools/examples/99-brindlex.rules"],
    }
    for name, deb in files.items():
        listed = contents(deb)
        for path in expected[name]:
            check(path in listed, f"{os.path.basename(deb)} lacks {path}")
    # Every binary: the package's machine, stripped, with a link to its debug file.
    unpacked = tempfile.mkdtemp(prefix="brindlex-deb-")
    for deb in files.values():
        run(["dpkg-deb", "-x", deb, unpacked])
    for path in [f"usr/lib/{triplet}/libBrindlex.so.{version}", "usr/bin/brindlex", "usr/bin/brindlex-emulator"]:
        _, header = run(["readelf", "-h", "-S", os.path.join(unpacked, path)])
        check(f"Machine:                           {MACHINES[arch]}" in header, f"{path} is not {arch}: {header[:600]}")
        check(".symtab" not in header and ".debug_info" not in header, f"{path} is not stripped")
        check(".gnu_debuglink" in header, f"{path} has no link to its debug file")
    _, symbols = run(["readelf", "--dyn-syms", "-W", os.path.join(unpacked, f"usr/lib/{triplet}/libBrindlex.so.{version}")])
    exported = sorted({line.split()[7] for line in symbols.splitlines()
                       if len(line.split()) >= 8 and " GLOBAL " in line and " UND " not in line})
    check(exported == ["LWZ_PBA", "LWZ_REGISTER", "LWZ_SBA", "LWZ_SET_NOTIFY", "LWZ_SET_NOTIFY_EX"],
          f"the {arch} library exports {exported}")
    shutil.rmtree(unpacked)


def installed_files():
    found = []
    for name in PACKAGES:
        status, output = run(["dpkg", "-L", name])
        if status == 0:
            found += [path for path in output.splitlines() if os.path.isfile(path) or os.path.islink(path)]
    return found


def run_host_against_emulator(program, what):
    """A host built from the installed files, driving the emulator linked at
    the library's port; skipped (said so) if the machine has that port."""
    port = "/dev/brindlex"
    if os.path.lexists(port):
        print(f"{what}: {port} exists here (a real controller?); built, not run")
        return
    emulator = subprocess.Popen(["brindlex-emulator", "--json", "--link", port, "--timeout", "30"],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        deadline = time.monotonic() + 10
        while not os.path.islink(port) and time.monotonic() < deadline:
            time.sleep(0.02)
        status, output = run([program, "send"], timeout=60)
        check(status == 0 and "announced 8, callbacks 8" in output, f"{what}: {status} {output}")
        time.sleep(0.3)
    finally:
        emulator.send_signal(2)
        events = emulator.communicate(timeout=20)[0]
    commands = events.count('"event":"command"')
    check(commands > 0 and '"malformed":0' in events, f"{what}: the emulator saw {commands} commands: {events[-500:]}")
    check(not os.path.lexists(port), f"{what}: the emulator left {port} behind")


def check_install(files, version):
    for name in PACKAGES:
        check(run(["dpkg", "-s", name])[0] != 0, f"{name} is installed before the test: not touching it")
    if failures:
        return
    status, output = run(["apt-get", "install", "-y", "--no-install-recommends", *files.values()],
                         env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"), timeout=900)
    if not check(status == 0, f"apt-get install: {output[-2000:]}"):
        return
    try:
        files_before_purge = installed_files()
        status, output = run(["brindlex", "--version"])
        check(status == 0 and f"brindlex {version}" in output
              and f"/usr/lib/{TRIPLETS['amd64']}/libBrindlex.so.1 (version {version}" in output,
              f"brindlex --version: {status} {output}")
        for page in ["brindlex", "brindlex-emulator", "3 brindlex"]:
            status, output = run(["man", "-w", *page.split()])
            check(status == 0 and output.strip().endswith(".gz"), f"man -w {page}: {status} {output}")
        # Completion as an interactive bash loads it.
        script = ("source /usr/share/bash-completion/bash_completion; _completion_loader brindlex; "
                  "COMP_WORDS=(brindlex se); COMP_CWORD=1; COMP_LINE='brindlex se'; COMP_POINT=11; "
                  "$(complete -p brindlex | sed 's/.*-F \\([^ ]*\\) .*/\\1/') brindlex se brindlex; "
                  "echo \"${COMPREPLY[*]}\"")
        status, output = run(["bash", "-c", script])
        check(output.strip().splitlines()[-1:] == ["set"], f"completion of 'brindlex se': {output!r}")

        work = tempfile.mkdtemp(prefix="brindlex-installed-")
        _, flags = run(["pkg-config", "--cflags", "--libs", "brindlex"])
        program = os.path.join(work, "pkgconfig-host")
        status, output = run(["gcc", "-std=c99", "-Wall", "-Wextra", "-Werror", "-pedantic",
                              os.path.join(HERE, "host.c"), "-o", program, *flags.split()])
        if check(status == 0 and flags.split() == ["-lBrindlex"], f"pkg-config host ({flags!r}): {output}"):
            run_host_against_emulator(program, "installed pkg-config host")
        build = os.path.join(work, "consumer")
        status, output = run(["cmake", "-S", os.path.join(HERE, "consumer"), "-B", build])
        if check(status == 0, f"find_package(Brindlex) from /usr: {output}"):
            status, output = run(["cmake", "--build", build])
            if check(status == 0, f"find_package host: {output}"):
                run_host_against_emulator(os.path.join(build, "consumer"), "installed find_package host")
        shutil.rmtree(work)
    finally:
        status, output = run(["apt-get", "purge", "-y", *PACKAGES],
                             env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"), timeout=600)
    check(status == 0, f"apt-get purge: {output[-2000:]}")
    left = [path for path in files_before_purge if os.path.lexists(path)]
    check(not left, f"left behind after purge: {left}")
    for name in PACKAGES:
        check(run(["dpkg", "-s", name])[0] != 0, f"{name} still known to dpkg after purge")


def check_wine_packages(dist, version, prefix, host):
    """brindlex-wine for amd64 and i386: lintian, the two files, each .so of
    its machine, stripped with its debug link; and the 64-bit one as a host
    under Wine takes it: WINEDLLPATH naming the package's folder, the
    placeholder beside the host."""
    unpacked = tempfile.mkdtemp(prefix="brindlex-wine-deb-")
    for arch, folder, machine, pe in [("amd64", "wine-x64", "Advanced Micro Devices X86-64", "x86-64"),
                                      ("i386", "wine-x86", "Intel 80386", "Intel 80386")]:
        deb = os.path.join(dist, f"brindlex-wine_{version}-1_{arch}.deb")
        if not check(os.path.exists(deb), f"{deb} missing: run scripts/package first"):
            continue
        status, output = run(["lintian", "--fail-on", "error,warning", deb], timeout=600)
        check(status == 0, f"lintian on {os.path.basename(deb)}: {output}")
        run(["dpkg-deb", "-x", deb, unpacked])
        where = os.path.join(unpacked, "usr/lib", "x86_64-linux-gnu" if arch == "amd64" else "i386-linux-gnu",
                             "brindlex", folder)
        _, header = run(["readelf", "-h", "-S", os.path.join(where, "brindlex.dll.so")])
        check(f"Machine:                           {machine}" in header and ".symtab" not in header
              and ".gnu_debuglink" in header, f"{arch} brindlex.dll.so: {header[:600]}")
        _, kind = run(["file", os.path.join(where, "Brindlex.dll")])
        check("(DLL)" in kind and pe in kind, f"{arch} placeholder: {kind}")
    wine = wine_e2e.Wine(prefix, "/usr/lib/wine/wine64", os.path.join(unpacked, "host", os.path.basename(host)))
    os.makedirs(os.path.dirname(wine.host))
    shutil.copy(host, wine.host)
    shutil.copy(os.path.join(unpacked, "usr/lib/x86_64-linux-gnu/brindlex/wine-x64/Brindlex.dll"),
                os.path.dirname(wine.host))
    wine.env["WINEDLLPATH"] = os.path.join(unpacked, "usr/lib/x86_64-linux-gnu/brindlex/wine-x64")
    wine.setup()
    try:
        # The port of the Wine build is /dev/brindlex, which is left alone
        # here: the library loads, announces nothing and unloads.
        run_ = wine_e2e.Run(wine, None, ["load", "notify", "unload"])
        check(run_.status == 0 and run_.lines[-1:] == ["done"] and
              any(line.startswith("notify count=0 ") for line in run_.lines), f"the host under Wine: {run_.lines}")
    finally:
        wine.stop()
    shutil.rmtree(unpacked)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--dist", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--arch", action="append", default=[], help="an architecture whose packages to check")
    parser.add_argument("--wine", nargs=2, metavar=("PREFIX", "HOST"),
                        help="check brindlex-wine instead, with a Windows host in this Wine prefix")
    args = parser.parse_args()
    if args.wine:
        check_wine_packages(args.dist, args.version, *args.wine)
        print(f"debian wine packages: {'FAILED' if failures else 'ok'}")
        return 1 if failures else 0
    for arch in args.arch or ["amd64"]:
        files = debs(args.dist, args.version, arch)
        missing = [deb for deb in files.values() if not os.path.exists(deb)]
        if missing:
            print(f"{missing} missing: run scripts/package first")
            return 1
        check_lintian_and_contents(files, arch, args.version)
        if arch == "amd64":
            check_install(files, args.version)
    print(f"debian packages: {'FAILED' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
