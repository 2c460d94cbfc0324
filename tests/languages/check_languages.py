#!/usr/bin/env python3
"""Runs the C# and Python declarations of docs/host-api.md, and its examples,
as written there: each host loads the library, announces the devices with a
callback and sends the example's two commands to the emulator, which must
receive exactly the wire protocol's bytes. C# is compiled with Mono's mcs
and run under Mono."""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
import tool_e2e  # noqa: E402

SKIPPED = 77
# LWZ_SBA(3, 0x01, 0x00, 0x00, 0x80) and LWZ_PBA(8, 0, 8, ..., 248), as in
# docs/wire-protocol.md.
EXPECTED = [bytes([0x00, 0x02, 0x40, 0x20, 1] + [0] * 30 + [1]),
            bytes([0x00, 0x03, 0xE0, 0x20] + [n * 8 for n in range(32)])]

PYTHON_CHECKS = '''
import io, contextlib
_library = load_brindlex
load_brindlex = lambda name: _library(LIBRARY)
printed = io.StringIO()
with contextlib.redirect_stdout(printed):
    exec(EXAMPLE)
print(printed.getvalue(), end="")
print("size", ctypes.sizeof(DeviceList))
calls = []
filled = DeviceList(count=-1)
brindlex.LWZ_SET_NOTIFY(NotifyProc(lambda reason, device: calls.append(device)), None)
brindlex.LWZ_SET_NOTIFY(NotifyProc(), ctypes.byref(filled))
brindlex.LWZ_SET_NOTIFY_EX()
brindlex.LWZ_REGISTER()
print("null list calls", calls, "null callback count", filled.count)
'''

CSHARP_MAIN = '''
public static class Program
{
    public static void Main()
    {
%s
        System.Console.WriteLine("[" + string.Join(", ", list.Ids.Take(list.Count)) + "]");
        Brindlex.LWZ_PBA(8, System.Linq.Enumerable.Range(0, 32).Select(n => (byte)(n * 8)).ToArray());
        Brindlex.LWZ_SET_NOTIFY_EX();
        Brindlex.LWZ_REGISTER();
        System.Console.WriteLine("size " + Marshal.SizeOf(typeof(Brindlex.DeviceList)));
    }
}
'''


def blocks(markdown, section, language):
    """The fenced blocks of one language under a ### heading."""
    text = markdown.split(f"\n### {section}\n", 1)[1].split("\n#", 1)[0]
    return re.findall(rf"```{language}\n(.*?)```", text, re.S)


def run_host(command, emulator, port):
    """Runs a host with the emulator on the port; its output and the
    commands the emulator received."""
    emulator_run = tool_e2e.Running([emulator, "--link", port])
    host = subprocess.run(command, capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
    received = []
    try:
        for _ in EXPECTED:
            event = emulator_run.next_event(timeout=5)
            received.append(bytes.fromhex(event.get("hex", "")) if event.get("event") == "command" else event)
    except AssertionError as error:
        received.append(str(error))
    emulator_run.process.send_signal(signal.SIGINT)
    emulator_run.wait()
    return host, received


def check_python(markdown, library, emulator, port, work):
    declarations, example = blocks(markdown, "Python", "python")[:2]
    # On 64-bit Linux any convention works; only the text shows a stdcall one.
    if "WinDLL" in declarations or "WINFUNCTYPE" in declarations or "CFUNCTYPE" not in declarations:
        print("FAIL: the Python declarations are not all cdecl")
        return 1
    host = os.path.join(work, "host.py")
    with open(host, "w") as out:
        out.write(f"LIBRARY = {library!r}\nEXAMPLE = {example!r}\n{declarations}\n{PYTHON_CHECKS}")
    result, received = run_host([sys.executable, host], emulator, port)
    devices = "".join(f"device {n}\n" for n in range(1, 9))
    expected = devices + "[1, 2, 3, 4, 5, 6, 7, 8]\nsize 68\nnull list calls [] null callback count 8\n"
    return check("python", result, expected, received)


def check_csharp(markdown, library, emulator, port, work):
    compiler, mono = shutil.which("mcs"), shutil.which("mono")
    if not compiler or not mono:
        print("Skipped: the C# declarations are untested here: Mono's mcs is not installed")
        return SKIPPED
    declarations, example = blocks(markdown, "C#", "csharp")[:2]
    imports = declarations.count("[DllImport(Library, CallingConvention = CallingConvention.Cdecl)]")
    if declarations.count("DllImport") != 5 or imports != 5 or not re.search(
            r"\[UnmanagedFunctionPointer\(CallingConvention\.Cdecl\)\]\s*public delegate", declarations):
        print("FAIL: the C# declarations are not all cdecl")
        return 1
    source = os.path.join(work, "host.cs")
    with open(source, "w") as out:
        body = "\n".join("        " + line for line in example.splitlines())
        out.write("using System;\nusing System.Linq;\n" + declarations + CSHARP_MAIN % body)
    program = os.path.join(work, "host.exe")
    built = subprocess.run([compiler, "-warnaserror+", f"-out:{program}", source], capture_output=True, text=True)
    if built.returncode != 0:
        print(f"FAIL: mcs does not build the C# declarations:\n{built.stdout}{built.stderr}")
        return 1
    # Mono looks for "Brindlex" where this says.
    with open(program + ".config", "w") as config:
        config.write(f'<configuration><dllmap dll="Brindlex" target="{library}"/></configuration>\n')
    result, received = run_host([mono, program], emulator, port)
    devices = "".join(f"device {n}\n" for n in range(1, 9))
    return check("c#", result, devices + "[1, 2, 3, 4, 5, 6, 7, 8]\nsize 68\n", received)


def check(language, result, expected, received):
    ok = result.returncode == 0 and result.stdout == expected and received == EXPECTED
    if not ok:
        print(f"FAIL: {language} host: status {result.returncode}\n{result.stdout}{result.stderr}"
              f"expected output:\n{expected}emulator received {received}")
    print(f"{language}: {'ok' if ok else 'FAILED'}")
    return 0 if ok else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--docs", required=True, help="docs/host-api.md")
    parser.add_argument("--library", required=True, help="the library, its port the path --port names")
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--port", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("language", choices=["python", "csharp"])
    args = parser.parse_args()
    markdown = open(args.docs).read()
    os.makedirs(args.work, exist_ok=True)
    checker = check_python if args.language == "python" else check_csharp
    try:
        return checker(markdown, os.path.abspath(args.library), args.emulator, args.port, args.work)
    finally:
        for process in tool_e2e.running:
            if process.poll() is None:
                process.kill()
                process.wait()


if __name__ == "__main__":
    sys.exit(main())
