#!/usr/bin/env python3
"""Browser test of the shipped pages, and the README's screenshots.

Starts `orvelle --demo` over a copy of web/ on 127.0.0.1, drives Debian's headless Chromium
through chromedriver's WebDriver protocol (standard library only), opens the RS232 terminal,
opens the simulated device, sends commands and waits for the device's replies on the page.
Then it opens the live console, starts the device's stream and waits for the text view and the
plot to fill. With --screenshots DIR it also saves DIR/terminal.png, DIR/help.png and
DIR/console.png.

  tools/browser_check.py --orvelle build/release/src/cli/orvelle [--screenshots docs]

Every wait is bounded; the whole run is stopped after RUN_LIMIT seconds.
"""
import argparse
import base64
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
ELEMENT = "element-6066-11e4-a52e-4f735466cecf"  # the W3C key of an element reference
RUN_LIMIT = 240   # seconds for everything
WAIT_LIMIT = 20   # seconds for any one thing to show up
REQUEST_LIMIT = 30


class Failure(Exception):
    pass


def wait_for(what, probe, limit=WAIT_LIMIT):
    """Calls probe until it returns something true; its value, or Failure after `limit`."""
    deadline = time.monotonic() + limit
    last = None
    while time.monotonic() < deadline:
        last = probe()
        if last:
            return last
        time.sleep(0.1)
    raise Failure(f"timed out waiting for {what} (last seen: {last!r})")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class WebDriver:
    def __init__(self, port):
        self.base = f"http://127.0.0.1:{port}"
        self.session = None

    def call(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=REQUEST_LIMIT) as response:
                return json.loads(response.read() or b"{}").get("value")
        except urllib.error.HTTPError as error:
            raise Failure(f"{method} {path}: {error.code} {error.read()[:500]!r}") from None

    def ready(self):
        try:
            return (self.call("GET", "/status") or {}).get("ready")
        except (OSError, Failure):
            return False

    def start(self, width, height):
        options = {"binary": CHROMIUM,
                   "args": ["--headless=new", "--no-sandbox", "--disable-gpu",
                            "--disable-dev-shm-usage", "--hide-scrollbars",
                            f"--window-size={width},{height}"]}
        value = self.call("POST", "/session", {"capabilities": {"alwaysMatch": {
            "browserName": "chrome", "goog:chromeOptions": options}}})
        self.session = value["sessionId"]

    def s(self, path):
        return f"/session/{self.session}{path}"

    def open(self, url):
        self.call("POST", self.s("/url"), {"url": url})

    def find(self, css):
        value = self.call("POST", self.s("/element"), {"using": "css selector", "value": css})
        if not isinstance(value, dict) or ELEMENT not in value:
            raise Failure(f"no element {css}: {value!r}")
        return value[ELEMENT]

    def click(self, css):
        self.call("POST", self.s(f"/element/{self.find(css)}/click"), {})

    def type(self, css, text):
        element = self.find(css)
        self.call("POST", self.s(f"/element/{element}/clear"), {})
        self.call("POST", self.s(f"/element/{element}/value"), {"text": text})

    def enabled(self, css):
        return self.call("GET", self.s(f"/element/{self.find(css)}/enabled"))

    def text(self, css):
        return self.call("GET", self.s(f"/element/{self.find(css)}/text"))

    def value(self, css):
        return self.call("GET", self.s(f"/element/{self.find(css)}/property/value"))

    def run(self, script):
        return self.call("POST", self.s("/execute/sync"), {"script": script, "args": []})

    def screenshot(self, path):
        with open(path, "wb") as out:
            out.write(base64.b64decode(self.call("GET", self.s("/screenshot"))))

    def quit(self):
        if self.session:
            try:
                self.call("DELETE", self.s(""))
            except (OSError, Failure):
                pass


def start_server(orvelle, home):
    shutil.copytree(os.path.join(ROOT, "web"), os.path.join(home, "web"))
    log = open(os.path.join(home, "server.log"), "w+")
    process = subprocess.Popen([orvelle, "--home", home, "--port", "0", "--bind",
                                "127.0.0.1", "--demo"], stdout=log, stderr=subprocess.STDOUT)

    def read_log():
        with open(log.name) as f:
            text = f.read()
        if process.poll() is not None:
            raise Failure("orvelle ended early:\n" + text)
        marker = "Listening for HTTP connections on 127.0.0.1:"
        if marker in text and "Demo device" in text:
            port = int(text.split(marker, 1)[1].split(".", 1)[0])
            device = text.split("Demo device (a simulated instrument) on ", 1)[1].split(";")[0]
            return port, device
        return None

    port, device = wait_for("the demo server", read_log)
    return process, log, port, device


def pick(driver, css, value):
    """Sets a form field as a user's choice would, change event included."""
    driver.run(f"const f = document.querySelector({json.dumps(css)}); f.value = {json.dumps(value)};"
               " f.dispatchEvent(new Event('change'));")


def check_terminal(driver, base, device, screenshots):
    """One newcomer's path: the closed indicator and greyed buttons, an open with chosen
    settings, the sent echo, a bad hex token named, a failed open of a typed port that keeps
    the open one, and the choices and the open port still there after a reload."""
    driver.open(base + "/terminal.ovs")
    driver.run("localStorage.clear()")
    driver.open(base + "/terminal.ovs")
    selected = driver.value("#port")
    if selected != device:
        raise Failure(f"the terminal selected {selected!r}, not the demo device {device!r}")
    if not driver.text("#indicator").startswith("Closed") or driver.enabled("#send"):
        raise Failure(f"closed port, but the indicator says {driver.text('#indicator')!r} "
                      "or Send is not greyed")
    pick(driver, "#baud", "115200")
    pick(driver, "#eol", "crlf")
    driver.click("#open")
    wait_for("the port to open", lambda: driver.text("#indicator").startswith(
        f"Connected: {device} \u2014 115200 8N1"))
    if not driver.enabled("#send"):
        raise Failure("Send stayed greyed with the port open")

    driver.type("#text", "*IDN?")
    driver.click("#send")
    wait_for("the device's identity on the page",
             lambda: "ORVELLE,SIMULATOR" in driver.text("#rx-text"))
    wait_for("the identity in hex", lambda: "4F 52 56 45 4C 4C 45" in driver.text("#rx-hex"))
    sent = driver.run("return [...document.querySelectorAll('#rx-text .tx')]"
                      ".map(e => [e.textContent, getComputedStyle(e).color])")
    pane_colour = driver.run("return getComputedStyle(document.getElementById('rx-text')).color")
    if not sent or sent[0][0].strip() != "> *IDN?" or sent[0][1] == pane_colour:
        raise Failure(f"the sent line is not echoed apart: {sent!r} (pane colour {pane_colour})")

    driver.click("#hex")
    driver.type("#text", "zz 4")
    driver.click("#send")
    wait_for("the first bad hex token named", lambda: '"zz" (piece 1 of 2)' in driver.text("#message"))
    driver.type("#text", "50 49 4E 47")  # PING, typed as hex bytes
    driver.click("#send")
    wait_for("PONG", lambda: "PONG" in driver.text("#rx-text"))
    wait_for("the message line to clear", lambda: driver.text("#message") == "")
    driver.click("#hex")

    other = "/dev/ttyORVELLE7"
    driver.type("#custom", other)
    if driver.value("#port") != "":
        raise Failure("typing another port did not choose it")
    driver.click("#open")
    wait_for("the failed open to be reported", lambda: f"Not opened: {other}" in driver.text("#message"))
    message = driver.text("#message")
    if f"Still connected to {device}" not in message or \
            not driver.text("#indicator").startswith(f"Connected: {device}"):
        raise Failure(f"a failed open lost the open port: {message!r}")
    driver.type("#text", "hello from the browser")
    driver.click("#send")
    wait_for("the echo", lambda: "hello from the browser" in driver.text("#rx-text").split("> ")[-1])
    if screenshots:
        driver.run("window.scrollTo(0, 0)")
        driver.screenshot(os.path.join(screenshots, "terminal.png"))

    driver.open(base + "/terminal.ovs")
    remembered = [driver.value(css) for css in ("#baud", "#eol", "#port")]
    if remembered != ["115200", "crlf", device]:
        raise Failure(f"after a reload: baud, line end, port = {remembered!r}")
    wait_for("the open port after a reload",
             lambda: driver.text("#indicator").startswith(f"Connected: {device}"))
    driver.call("POST", driver.s(f"/element/{driver.find('#text')}/value"), {"text": "\ue013"})
    if driver.value("#text") != "hello from the browser":
        raise Failure(f"Up did not bring back the last line: {driver.value('#text')!r}")
    answers = lambda: driver.text("#rx-text").count("ORVELLE,SIMULATOR")
    before = answers()  # the stream may replay earlier answers after a reload
    driver.type("#text", "*IDN?")
    driver.click("#send")
    wait_for("the identity again", lambda: answers() > before)
    print("browser check: the terminal opened", device, "and kept it, its choices and history")
    driver.click("#close")
    wait_for("the port to close", lambda: driver.text("#indicator").startswith("Closed"))
    if driver.enabled("#send"):
        raise Failure("Send is not greyed after Close")


def term_page(base, page, **params):
    """Calls one of the terminal's script pages directly, as the terminal page would."""
    url = f"{base}/term/{page}?" + urllib.parse.urlencode(params)
    with urllib.request.urlopen(url, timeout=REQUEST_LIMIT) as response:
        return response.read().decode("utf-8", "replace")


def check_console(driver, base, device, screenshots):
    driver.open(base + "/console.html")
    wait_for("the console's stream", lambda: driver.text("#conn") == "live")
    opened = term_page(base, "open.ovs", port=device, baud="115200", data="8", parity="none",
                       stop="1", flow="none")
    if not opened.startswith("OK"):
        raise Failure(f"the demo device did not open: {opened[:200]!r}")
    term_page(base, "send.ovs", text="STREAM ON", eol="crlf", hex="0")
    wait_for("the device's stream in the text view", lambda: "T=" in driver.text("#traffic"))
    points = lambda: int(driver.text("#plot-points") or "0")
    first = wait_for("points on the plot", points)
    wait_for("the plot to grow", lambda: points() > first)
    print("browser check: the console shows the stream and plots", points(), "points")
    if screenshots:
        time.sleep(8)  # some seconds of the stream on the plot
        driver.run("window.scrollTo(0, 0)")
        driver.screenshot(os.path.join(screenshots, "console.png"))
    term_page(base, "send.ovs", text="STREAM OFF", eol="crlf", hex="0")
    term_page(base, "close.ovs")


def check_help(driver, base, screenshots):
    driver.open(base + "/help/quirks.ovs")
    outputs = driver.run("return [...document.querySelectorAll('pre.out')].map(e => e.textContent)")
    if len(outputs) < 5 or "9" not in outputs[1]:
        raise Failure(f"the quirks page's examples did not show their output: {outputs[:3]!r}")
    if screenshots:
        driver.screenshot(os.path.join(screenshots, "help.png"))
    print("browser check: the help page shows", len(outputs), "live examples")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--orvelle", default=os.path.join(ROOT, "build/release/src/cli/orvelle"))
    parser.add_argument("--screenshots", help="folder for terminal.png and help.png")
    args = parser.parse_args()
    signal.signal(signal.SIGALRM, lambda *_: (_ for _ in ()).throw(Failure("run limit reached")))
    signal.alarm(RUN_LIMIT)
    if args.screenshots:
        os.makedirs(args.screenshots, exist_ok=True)
    home = tempfile.mkdtemp(prefix="orvelle-browser-")
    server = driver_process = None
    driver = None
    try:
        server, log, port, device = start_server(os.path.abspath(args.orvelle), home)
        driver_port = free_port()
        driver_process = subprocess.Popen([CHROMEDRIVER, f"--port={driver_port}"],
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        driver = WebDriver(driver_port)
        wait_for("chromedriver", driver.ready)
        driver.start(1100, 900)
        base = f"http://127.0.0.1:{port}"
        check_terminal(driver, base, device, args.screenshots)
        check_help(driver, base, args.screenshots)
        check_console(driver, base, device, args.screenshots)
        server.terminate()
        code = server.wait(timeout=30)
        if code != 0:
            with open(log.name) as f:
                raise Failure(f"orvelle exited with {code} on SIGTERM:\n" + f.read()[-2000:])
        return 0
    except (Failure, subprocess.TimeoutExpired) as failure:
        print("browser check FAILED:", failure, file=sys.stderr)
        return 1
    finally:
        signal.alarm(0)
        if driver:
            driver.quit()
        for process in (driver_process, server):
            if process and process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(timeout=30)
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
