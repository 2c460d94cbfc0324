#!/usr/bin/python3
"""`brindlex panel` in a real browser: headless Chromium, driven by Selenium,
clicks the page while the emulator records every command that reaches the
port. Also the requests the panel must refuse, sending nothing, and the panel
of brindlex.exe under Wine."""
import argparse
import http.client
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import tool_e2e  # noqa: E402
from tool_e2e import check, failures  # noqa: E402


class Panel:
    """The tool's panel in the background, and the address it printed."""

    def __init__(self, command, env=None, cwd=None):
        self.output = tempfile.TemporaryFile(mode="w+")
        self.process = subprocess.Popen(command + ["panel", "--no-browser", "--pulse", "300"], env=env, cwd=cwd,
                                        stdout=self.output, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while not re.search(r"panel at (\S+)", self.text()):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise AssertionError(f"the panel did not start: {self.text()}")
            time.sleep(0.05)
        self.url = re.search(r"panel at (\S+)", self.text()).group(1)
        self.port = int(re.search(r":(\d+)/", self.url).group(1))
        self.token = self.url.split("token=")[1]

    def text(self):
        return os.pread(self.output.fileno(), 1 << 20, 0).decode(errors="replace").replace("\r\n", "\n")

    def request(self, method, path, body=None, headers=None, token=True):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        target = path + (("&" if "?" in path else "?") + "token=" + self.token if token else "")
        sent = {"Content-Type": "application/json"} if body is not None else {}
        sent.update(headers or {})
        connection.request(method, target, body=body, headers=sent)
        response = connection.getresponse()
        answer = (response.status, response.read().decode(errors="replace"), dict(response.getheaders()))
        connection.close()
        return answer

    def wait(self, timeout=30):
        return self.process.wait(timeout=timeout)


def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    profile = tempfile.mkdtemp(prefix="brindlex-chromium-")
    # This machine's network is closed: Chromium's own background requests
    # would only be refused, many at a time.
    for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--window-size=1500,900", f"--user-data-dir={profile}"]:
        options.add_argument(argument)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def commands_of(emulator):
    return [(e["command"], e["device"], e["data"]) for e in emulator.events() if e["event"] == "command"]


def settled(emulator, quiet=0.8, timeout=20):
    """The emulator's commands once none has come for quiet seconds."""
    deadline = time.monotonic() + timeout
    seen = commands_of(emulator)
    while time.monotonic() < deadline:
        time.sleep(quiet)
        now = commands_of(emulator)
        if now == seen:
            return now
        seen = now
    return seen


def wait_for(condition, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


def only(output):
    return [1 if n == output else 0 for n in range(32)]


def check_clicks(tool, emulator_program, port, screenshot, env=None, cwd=None, whole=True):
    """Clicks on the page reach the port as exactly the commands they mean."""
    emulator = tool_e2e.Emulator(emulator_program, port)
    panel = Panel(tool, env=env, cwd=cwd)
    driver = browser()
    try:
        driver.get(panel.url)
        check(wait_for(lambda: driver.find_element("id", "status").text == "Ready", 30),
              f"the page did not get ready: {driver.find_element('id', 'status').text!r}")
        check(commands_of(emulator) == [], f"loading the page sent {commands_of(emulator)}")
        started = time.monotonic()
        driver.find_element("id", "o3-17").click()
        check(wait_for(lambda: len(commands_of(emulator)) >= 2), "no pulse end")
        pulse = [e for e in emulator.events() if e["event"] == "command"]
        check(commands_of(emulator) == [("states", 3, only(17)), ("states", 3, [0] * 32)],
              f"a click on device 3 output 17 sent {commands_of(emulator)}")
        if len(pulse) == 2:
            check(0.25 <= pulse[1]["time"] - pulse[0]["time"] <= 0.6 and time.monotonic() - started < 5,
                  f"the pulse lasted {pulse[1]['time'] - pulse[0]['time']:.3f} s, not 0.3 s")
        if not whole:
            driver.save_screenshot(screenshot)
            driver.find_element("id", "quit").click()
            check(wait_for(lambda: panel.process.poll() is not None, 20) and panel.process.returncode == 0,
                  f"Quit: {panel.process.poll()} {panel.text()}")
            return

        # However fast clicks and requests come, one pulse at a time.
        driver.execute_script("""
            for (let i = 0; i < 12; i++) document.getElementById('o' + (1 + i % 8) + '-' + (i * 5 % 32)).click();
            const token = new URLSearchParams(location.search).get('token');
            for (let i = 0; i < 24; i++) fetch('/api/pulse?token=' + token, {method: 'POST',
                headers: {'Content-Type': 'application/json'}, body: JSON.stringify({device: 1 + i % 8, output: i})});
        """)
        commands = settled(emulator)
        check(len(commands) >= 2 + 36 + 1, f"{len(commands) - 2} commands for 36 fast pulses")
        # check_one_at_a_time also sees that the last pulse ended.
        tool_e2e.check_one_at_a_time(commands, "fast pulses", whole=False)

        # Toggle mode: on stays on; a second click switches it off.
        driver.find_element("css selector", 'input[value="toggle"]').click()
        before = len(commands_of(emulator))
        driver.find_element("id", "o5-2").click()
        time.sleep(0.8)
        driver.find_element("id", "o5-2").click()
        check(wait_for(lambda: len(commands_of(emulator)) == before + 2), "toggle: not two commands")
        check(commands_of(emulator)[before:] == [("states", 5, only(2)), ("states", 5, [0] * 32)],
              f"toggle sent {commands_of(emulator)[before:]}")

        # A device's level, then one output's with the keyboard.
        before = len(commands_of(emulator))
        driver.execute_script("const s = document.getElementById('level4'); s.value = 200;"
                              "s.dispatchEvent(new Event('change'));")
        from selenium.webdriver.common.keys import Keys
        driver.find_element("id", "o4-3").send_keys("+")
        check(wait_for(lambda: len(commands_of(emulator)) == before + 2), "levels: not two commands")
        check(commands_of(emulator)[before:] == [("levels", 4, [200] * 32),
                                                  ("levels", 4, [216 if n == 3 else 200 for n in range(32)])],
              f"levels sent {commands_of(emulator)[before:]}")
        # The arrows move the focus and Space fires (still in toggle mode).
        driver.find_element("id", "o4-3").send_keys(Keys.ARROW_RIGHT, Keys.ARROW_DOWN, Keys.SPACE)
        check(wait_for(lambda: commands_of(emulator)[-1:] == [("states", 5, only(4))]),
              f"arrows and Space: {commands_of(emulator)[-1:]}")
        check(wait_for(lambda: driver.find_element("id", "o5-4").get_attribute("data-on") == "1")
              and "on, level 0" in driver.find_element("id", "o5-4").get_attribute("aria-label"),
              "the page does not show what was sent")
        driver.save_screenshot(screenshot)

        # All off, by its key: every state and level of every device.
        before = len(commands_of(emulator))
        driver.find_element("tag name", "body").send_keys(Keys.ESCAPE)
        check(wait_for(lambda: len(commands_of(emulator)) == before + 16), "all off: not 16 commands")
        check(sorted(commands_of(emulator)[before:]) == sorted([(kind, d, [0] * 32) for d in range(1, 9)
                                                                for kind in ("states", "levels")]),
              f"all off sent {commands_of(emulator)[before:]}")

        # Quit: dark, and the tool ends with 0.
        driver.find_element("id", "o7-7").click()
        driver.find_element("id", "quit").click()
        check(wait_for(lambda: panel.process.poll() is not None, 20) and panel.process.returncode == 0,
              f"Quit: status {panel.process.poll()}: {panel.text()}")
        check("panel quit: every output and level switched off" in panel.text(), panel.text())
        tool_e2e.check_one_at_a_time(commands_of(emulator), "the whole run", whole=False)
    finally:
        driver.quit()
        if panel.process.poll() is None:
            panel.process.kill()
        emulator.stop()


def check_refused(tool, emulator_program, port):
    """What the panel refuses: a 4xx and one line of reason, nothing sent."""
    emulator = tool_e2e.Emulator(emulator_program, port)
    panel = Panel(tool)
    good = f"127.0.0.1:{panel.port}"
    pulse = json.dumps({"device": 3, "output": 17})
    cases = [
        ("no token", "GET", "/", None, {}, False, 403),
        ("a wrong token", "GET", "/?token=" + "0" * 32, None, {}, False, 403),
        ("a foreign Host", "GET", "/", None, {"Host": f"evil.example:{panel.port}"}, True, 403),
        ("another port in Host", "GET", "/", None, {"Host": "127.0.0.1:1"}, True, 403),
        ("a foreign Origin", "POST", "/api/pulse", pulse, {"Origin": "http://evil.example"}, True, 403),
        ("GET for a change", "GET", "/api/pulse", None, {}, True, 405),
        ("a form, not JSON", "POST", "/api/pulse", "device=3&output=17",
         {"Content-Type": "application/x-www-form-urlencoded"}, True, 415),
        ("device 9", "POST", "/api/pulse", '{"device": 9, "output": 1}', {}, True, 400),
        ("device 0", "POST", "/api/switch", '{"device": 0, "output": 1, "on": true}', {}, True, 400),
        ("output 32", "POST", "/api/pulse", '{"device": 1, "output": 32}', {}, True, 400),
        ("level 256", "POST", "/api/level", '{"device": 1, "level": 256}', {}, True, 400),
        ("level -1", "POST", "/api/level", '{"device": 1, "output": 2, "level": -1}', {}, True, 400),
        ("a level of 1.5", "POST", "/api/level", '{"device": 1, "level": 1.5}', {}, True, 400),
        ("malformed JSON", "POST", "/api/pulse", '{"device": 3,', {}, True, 400),
        ("an unknown field", "POST", "/api/pulse", '{"device": 3, "output": 1, "force": 1}', {}, True, 400),
        ("a switch without on", "POST", "/api/switch", '{"device": 3, "output": 1}', {}, True, 400),
        ("a body too large", "POST", "/api/pulse", '{"device": 3, "output": 1' + " " * 4000 + "}", {}, True, 413),
    ]
    for name, method, path, body, headers, token, status in cases:
        got, text, reply = panel.request(method, path, body, dict({"Host": good}, **headers), token)
        check(got == status and text.count("\n") == 1 and text.endswith("\n") and
              not any(key.lower().startswith("access-control") for key in reply),
              f"{name}: {got} {text!r} {reply}")
        print(f"refused, {name}: {got} {text.strip()}")
    # Past the limit of connections at once, the next is turned away.
    idle = [socket.create_connection(("127.0.0.1", panel.port)) for _ in range(17)]
    time.sleep(0.3)
    got, text, _ = panel.request("GET", "/api/state", None, {"Host": good})
    check(got == 429 and text.count("\n") == 1, f"too many connections: {got} {text!r}")
    print(f"refused, too many connections: {got} {text.strip()}")
    for connection in idle:
        connection.close()
    time.sleep(0.3)
    check(commands_of(emulator) == [], f"refused requests sent {commands_of(emulator)}")
    check("no device announced" not in panel.text(), f"the panel: {panel.text()}")
    # Interrupted, it ends dark with 130.
    got, _, _ = panel.request("POST", "/api/switch", '{"device": 2, "output": 9, "on": true}', {"Host": good})
    check(got == 200, f"a good switch: {got}")
    panel.process.send_signal(signal.SIGINT)
    status = panel.wait()
    events, _ = emulator.stop()
    commands = [(e["command"], e["device"], e["data"]) for e in events if e["event"] == "command"]
    check(status == 130 and commands[:1] == [("states", 2, only(9))] and len(commands) == 17,
          f"interrupted: status {status}, {commands[:2]}... {len(commands)} commands")
    tool_e2e.check_one_at_a_time(commands, "interrupted panel", whole=False)



def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--tool", required=True, help="brindlex, or brindlex.exe with --wine")
    parser.add_argument("--port", required=True, help="the port the tool's library opens (COM61's link under Wine)")
    parser.add_argument("--screenshot", required=True)
    parser.add_argument("--wine", help="the Wine loader; with --prefix")
    parser.add_argument("--prefix")
    parser.add_argument("scenario", choices=["clicks", "refused", "wine"])
    args = parser.parse_args()
    tool = [os.path.abspath(args.tool)]
    if args.scenario == "clicks":
        check_clicks(tool, args.emulator, args.port, args.screenshot)
    elif args.scenario == "refused":
        check_refused(tool, args.emulator, args.port)
    else:
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
        import wine_e2e
        wine_e2e.skip_unless_loader_runs(args.wine)
        env = dict(os.environ, WINEPREFIX=os.path.abspath(args.prefix), WINEDEBUG="-all")
        check_clicks([args.wine] + tool, args.emulator, args.port, args.screenshot, env=env,
                     cwd=os.path.dirname(tool[0]), whole=False)
    print(f"{args.scenario}: {'FAILED' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
