# SPDX-License-Identifier: MIT
"""Shared by zodm-screen's end-to-end tests: zodm-screen and zodm-send run
as programs (through ZODM_EMULATOR in a cross build), datagrams sent from
one socket, the live page's event stream read as a browser would, Debian's
chromium driven headless through its DevTools protocol on a pipe
(--remote-debugging-pipe), and the framebuffer and the panel's PNG, so
nothing but the standard library and chromium itself is needed. Each test
is a main() and one function per scenario (@scenario), whose name each of
its failures carries."""

import atexit
import base64
import functools
import http.client
import json
import os
import re
import shlex
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

PORT = 50555
emulator = shlex.split(os.environ.get("ZODM_EMULATOR", ""))
failures = []
# The scenario that is running, which each failure names.
current_scenario = None


def fail(message):
    if current_scenario:
        message = f"{current_scenario}: {message}"
    print(f"FAIL: {message}", file=sys.stderr, flush=True)
    failures.append(message)


def scenario(function):
    """A test's scenario: each failure while it runs carries its name."""
    @functools.wraps(function)
    def run_scenario(*args, **kwargs):
        global current_scenario
        outer, current_scenario = current_scenario, function.__name__
        try:
            return function(*args, **kwargs)
        finally:
            current_scenario = outer
    return run_scenario


def check(condition, message):
    if not condition:
        fail(message)
    return condition


def finish(name):
    if failures:
        print(f"{len(failures)} check(s) failed", file=sys.stderr)
        sys.exit(1)
    print(f"{name}: all checks passed")


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on just now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Screen:
    """zodm-screen ARGS in the background; standard error is collected, and
    standard output goes to a file, so that no reader of ours can ever hold
    up its receive loop."""

    def __init__(self, program, *args):
        self.lines = []
        # Read through a file description of its own: one shared with the
        # program would share its offset too.
        self.directory = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.directory.name, "out")
        with open(self.path, "ab") as out:
            self.process = subprocess.Popen(
                emulator + [program, *args], stdout=out,
                stderr=subprocess.PIPE, text=True, errors="replace")
        self.bound = threading.Event()
        threading.Thread(target=self._read_errors, daemon=True).start()
        # Whatever ends the test, the program does not outlive it.
        atexit.register(self.stop, signal.SIGKILL, 5)

    def _read_errors(self):
        for line in self.process.stderr:
            self.lines.append(line.rstrip("\n"))
            if "Bound successfully" in line:
                self.bound.set()
        self.bound.set()

    @property
    def output(self):
        """The whole lines it printed so far."""
        with open(self.path, "rb") as out:
            text = out.read().decode(errors="replace")
        return text[:text.rfind("\n") + 1].splitlines()

    def wait_bound(self, timeout=60):
        """True once the library reported the bound port."""
        self.bound.wait(timeout)
        return any("Bound successfully" in line for line in self.lines)

    def pid(self):
        return self.process.pid

    @property
    def url(self):
        """The live page's address as it printed it, token included."""
        for line in self.lines:
            found = re.search(r"live page at (http://\S+)", line)
            if found:
                return found.group(1)
        return None

    @property
    def token(self):
        url = self.url or ""
        return url[url.find("?token=") + len("?token="):] if url else None

    def cookie(self, port):
        """The header a browser sends after visiting the printed address."""
        return {"Cookie": f"zodm-screen-{port}={self.token}"}

    def stop(self, sig=signal.SIGTERM, timeout=30):
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return self.process.wait()


def run(program, *args, timeout=60):
    """Runs program to its end: (status, standard error lines); status None
    when it had to be killed after timeout seconds."""
    try:
        done = subprocess.run(emulator + [program, *args], capture_output=True,
                              text=True, errors="replace", timeout=timeout)
    except subprocess.TimeoutExpired as expired:
        stderr = expired.stderr or b""
        return None, stderr.decode(errors="replace").splitlines()
    return done.returncode, done.stderr.splitlines()


def send(zodm_send, *args):
    subprocess.run(emulator + [zodm_send, *args], check=True, timeout=60)


def send_raw(data):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.sendto(data, ("127.0.0.1", PORT))


def send_burst(texts, before_each=None):
    """Sends each of texts (bytes) to port 50555 from one socket, back to
    back: they arrive within microseconds of each other, however busy the
    machine, as no process starts between them. before_each(i), when
    given, runs before the i-th is sent."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        for i, text in enumerate(texts):
            if before_each:
                before_each(i)
            s.sendto(text, ("127.0.0.1", PORT))


def wait_until(condition, timeout=60, interval=0.05):
    """Polls condition() until it is true or timeout seconds passed; its
    last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(interval)


def udp_queue():
    """(bytes waiting, datagrams dropped) of the socket on port 50555."""
    with open("/proc/net/udp") as table:
        for line in table.readlines()[1:]:
            fields = line.split()
            if fields[1].endswith(f":{PORT:04X}"):
                return int(fields[4].split(":")[1], 16), int(fields[12])
    return 0, 0


def request(port, method, path, headers=None, body=None):
    """(status, headers, body) of one HTTP request to 127.0.0.1:port."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        return response.status, response.headers, response.read()
    finally:
        connection.close()


class Stream:
    """A viewer of /events, read message by message as JSON; headers carry
    the page's key."""

    def __init__(self, port, headers=None, path="/events"):
        self.connection = http.client.HTTPConnection("127.0.0.1", port,
                                                     timeout=20)
        self.connection.request("GET", path, headers=headers or {})
        self.response = self.connection.getresponse()
        self.status = self.response.status

    def next(self):
        """The next message, or None when the stream ended."""
        data = None
        while True:
            line = self.response.readline()
            if not line:
                return None
            line = line.decode().rstrip("\n")
            if line.startswith("data: "):
                data = line[len("data: "):]
            elif line == "" and data is not None:
                return json.loads(data), data

    def until(self, received, timeout=30):
        """Messages up to the one that counts received datagrams."""
        messages = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            message = self.next()
            if message is None:
                break
            messages.append(message)
            if message[0]["received"] >= received:
                break
        return messages

    def close(self):
        # The response holds the socket open as long as it is not closed.
        self.response.close()
        self.connection.close()


def cells(rows, grid=None, width=769, height=1025):
    """The counts of the rows of a message ([first, last, runs...] each),
    applied in order over grid (a list of rows), or over an empty one."""
    grid = grid or [None] * height
    for entry in rows:
        first, last, runs = entry[0], entry[1], entry[2:]
        row = []
        for count, length in zip(runs[::2], runs[1::2]):
            row += [count] * length
        assert len(row) == width, entry
        for y in range(first, last + 1):
            grid[y] = row
    return grid


class Chromium:
    """Debian's chromium, headless, driven over --remote-debugging-pipe: the
    DevTools protocol as NUL-separated JSON on descriptors 3 (commands) and
    4 (answers and events)."""

    FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--no-default-browser-check",
             "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--disable-extensions",
             "--disable-default-apps", "--mute-audio",
             "--hide-scrollbars", "--remote-debugging-pipe"]

    def __init__(self, program, profile):
        commands_read, self.commands = os.pipe()
        self.answers, answers_write = os.pipe()

        def descriptors():
            # Moved above 4 first, so neither end is overwritten by the other.
            read_end = os.dup(commands_read)
            write_end = os.dup(answers_write)
            os.dup2(read_end, 3)
            os.dup2(write_end, 4)

        self.process = subprocess.Popen(
            [program, *self.FLAGS, f"--user-data-dir={profile}",
             "about:blank"], start_new_session=True,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=open(os.path.join(profile, "chromium.log"), "wb"),
            preexec_fn=descriptors, pass_fds=(3, 4))
        os.close(commands_read)
        os.close(answers_write)
        # Its own process group, so that its helpers go with it, whatever
        # ends the test.
        atexit.register(self._kill)
        self.next_id = 0
        self.results = {}
        self.events = []
        self.arrived = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
        self.session = None

    def _read(self):
        pending = b""
        while True:
            chunk = os.read(self.answers, 65536)
            if not chunk:
                break
            pending += chunk
            while b"\0" in pending:
                raw, pending = pending.split(b"\0", 1)
                message = json.loads(raw)
                with self.arrived:
                    if "id" in message:
                        self.results[message["id"]] = message
                    else:
                        self.events.append(message)
                    self.arrived.notify_all()
        with self.arrived:
            self.results[None] = None
            self.arrived.notify_all()

    def call(self, method, session=True, timeout=30, **params):
        self.next_id += 1
        ident = self.next_id
        message = {"id": ident, "method": method, "params": params}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        with self.arrived:
            while ident not in self.results:
                left = deadline - time.monotonic()
                if left <= 0 or None in self.results:
                    raise RuntimeError(f"chromium did not answer {method}")
                self.arrived.wait(left)
            answer = self.results.pop(ident)
        if "error" in answer:
            raise RuntimeError(f"{method}: {answer['error']}")
        return answer.get("result", {})

    def open(self, url, width, height):
        """Opens url in a new page of width x height CSS pixels."""
        target = self.call("Target.createTarget", session=False,
                           url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", session=False,
                                 targetId=target, flatten=True)["sessionId"]
        for domain in ("Page", "Runtime", "Log"):
            self.call(f"{domain}.enable")
        self.call("Emulation.setDeviceMetricsOverride", width=width,
                  height=height, deviceScaleFactor=1, mobile=False)
        self.call("Page.navigate", url=url)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression,
                           returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_for(self, expression, timeout=30):
        """Waits until expression is true in the page; its last value."""
        deadline = time.monotonic() + timeout
        value = None
        while time.monotonic() < deadline:
            try:
                value = self.evaluate(expression)
            except RuntimeError:  # the page is still loading
                value = None
            if value:
                return value
            time.sleep(0.1)
        return value

    def keep_largest(self, name):
        """From now on keeps, in document.documentElement.dataset[name +
        'Most'], the largest number that dataset[name] has held, however
        briefly: what a check would miss between two looks."""
        self.evaluate(f"""(() => {{
          const d = document.documentElement.dataset;
          const keep = () => {{
            const v = Number(d.{name});
            if (!(Number(d.{name}Most) >= v)) d.{name}Most = String(v);
          }};
          keep();
          new MutationObserver(keep).observe(document.documentElement,
              {{attributes: true, attributeFilter: ['data-{name}']}});
        }})()""")

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", format="png")["data"]
        with open(path, "wb") as picture:
            picture.write(base64.b64decode(data))

    def events_named(self, *methods):
        with self.arrived:
            return [e for e in self.events if e.get("method") in methods]

    def expect_no_page_errors(self):
        """Fails for anything that went wrong in the page so far: a dialog
        (a hostile text ran a script), an exception, or an error logged,
        such as a refused resource."""
        for event in self.events_named("Page.javascriptDialogOpening",
                                       "Runtime.exceptionThrown"):
            fail(f"the page: {event}")
        for event in self.events_named("Log.entryAdded"):
            if event["params"]["entry"]["level"] == "error":
                fail(f"the page logged: {event['params']['entry']}")

    def _kill(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()

    def close(self):
        try:
            self.call("Browser.close", session=False, timeout=10)
        except RuntimeError:
            pass
        try:
            self.process.wait(20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self.commands)


# --- The framebuffer and the panel's picture.
WIDTH, HEIGHT = 769, 1025


def fill(path, x0, y0, x1, y1, gray):
    """Draws as an application would: sets the rectangle (x0,y0)-(x1,y1),
    both ends included, of the framebuffer file at path to gray."""
    with open(path, "r+b") as framebuffer:
        for y in range(y0, y1 + 1):
            framebuffer.seek(y * WIDTH + x0)
            framebuffer.write(bytes([gray]) * (x1 - x0 + 1))


def bar(i):
    """The rows of the moving bar of the fast updates at its i-th place."""
    return 400 + 40 * i, 460 + 40 * i


# Its places, down the page and back up.
BAR_PLACES = list(range(12)) + list(range(10, -1, -1))


def bar_requests():
    """The moving bar's A2 partial updates, each covering where it was and
    where it is, as the texts zodm-send sends: panel_browser_test sends
    them live, panel_test replays them in recorded time."""
    texts, previous = [], 0
    for i in BAR_PLACES:
        texts.append(b"!1,0,0,80,%d,688,%d" % (bar(min(i, previous))[0],
                                               bar(max(i, previous))[1]))
        previous = i
    return texts


def expected_pixels(*rectangles):
    """A white picture with (x0, y0, x1, y1, gray) rectangles on it, as the
    bytes of a framebuffer."""
    pixels = bytearray(b"\xff" * (WIDTH * HEIGHT))
    for x0, y0, x1, y1, gray in rectangles:
        for y in range(y0, y1 + 1):
            pixels[y * WIDTH + x0:y * WIDTH + x1 + 1] = bytes([gray]) * (
                x1 - x0 + 1)
    return bytes(pixels)


def read_gray_png(path):
    """(width, height, pixels) of an 8-bit gray PNG, not interlaced, read
    with zlib: enough to check what zodm-screen --panel writes."""
    import itertools
    import struct
    import zlib
    with open(path, "rb") as picture:
        data = picture.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    at, idat, header = 8, b"", None
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    width, height, depth, colour, _, _, interlace = header
    assert (depth, colour, interlace) == (8, 0, 0), f"not 8-bit gray: {header}"
    raw = zlib.decompress(idat)
    pixels = bytearray()
    previous = bytearray(width)
    for y in range(height):
        kind = raw[y * (width + 1)]
        row = bytearray(raw[y * (width + 1) + 1:(y + 1) * (width + 1)])
        if kind == 1:
            row = bytearray(itertools.accumulate(
                row, lambda a, b: (a + b) & 0xFF))
        elif kind == 2:
            row = bytearray((a + b) & 0xFF for a, b in zip(row, previous))
        elif kind in (3, 4):
            for x in range(width):
                left = row[x - 1] if x else 0
                up = previous[x]
                corner = previous[x - 1] if x else 0
                if kind == 3:
                    row[x] = (row[x] + (left + up) // 2) & 0xFF
                    continue
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                guess = left if pa <= pb and pa <= pc else (
                    up if pb <= pc else corner)
                row[x] = (row[x] + guess) & 0xFF
        pixels += row
        previous = row
    return width, height, bytes(pixels)
