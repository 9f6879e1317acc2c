# SPDX-License-Identifier: MIT
"""zodm-screen --serve end to end, over HTTP, without a browser:

    [ZODM_EMULATOR="qemu-arm -L ..."] live_test.py ZODM_SCREEN ZODM_SEND

- bad --serve arguments (status 2); a taken port and an unusable address:
  one line, status 1, before the display port is bound;
- what each method and path gets, with the page's security headers, and a
  page that names nothing but its own origin;
- the event stream: a viewer's first message holds the whole state, later
  ones what arrived, hostile texts as escaped JSON; a late viewer catches up;
- at most 8 viewers, the 9th refused with 503 and a text;
- a viewer that stops reading during a burst of datagrams, sent as fast as
  the socket's queue takes them: every datagram is still received, in
  order, none dropped, and memory stays bounded;
- stopped while a burst arrives: received plus dropped is what was sent, in
  the page's totals and in the closing line;
- SIGTERM ends the streams and the emulator with status 0;
- a replay watched live (--replay --serve --speed 50) prints what the plain
  replay prints, closing lines included."""

import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

from screen_testing import (PORT, Screen, Stream, cells, check, emulator, fail,
                            finish, free_port, request, run, scenario, send,
                            send_burst, send_raw, udp_queue, wait_until)

HOSTILE = "<img src=x onerror=alert(1)>"
POLICY = ("default-src 'none'; script-src 'self'; style-src 'self'; "
          "connect-src 'self'; img-src 'self'; base-uri 'none'; "
          "form-action 'none'; frame-ancestors 'none'")
# method, path, extra headers, status, content type
ANSWERS = [
    ("GET", "/", {}, 200, "text/html; charset=utf-8"),
    ("HEAD", "/", {}, 200, "text/html; charset=utf-8"),
    ("GET", "/page.js", {}, 200, "text/javascript; charset=utf-8"),
    ("GET", "/page.css?v=1", {}, 200, "text/css; charset=utf-8"),
    ("HEAD", "/events", {}, 200, "text/event-stream"),
    ("GET", "/viewers", {}, 200, "application/json"),
    ("GET", "/favicon.ico", {}, 204, None),
    ("GET", "/page.html", {}, 404, "text/plain; charset=utf-8"),
    ("POST", "/", {}, 405, "text/plain; charset=utf-8"),
    ("POST", "/events", {"Content-Type": "text/plain"}, 405, None),
    ("PUT", "/events", {}, 405, None),
    ("DELETE", "/", {}, 405, None),
    ("OPTIONS", "/", {}, 405, None),
    ("GET", "/", {"Host": "localhost:{port}"}, 200, None),
    ("GET", "/events", {"Host": "rebound.example:{port}"}, 403, None),
]
# The stalled viewer's burst.
BURST = 30000 if not emulator else 10000


@scenario
def check_bad_arguments(screen_program):
    """One line naming the problem, the usage, status 2 (endpoint_test has
    the cases)."""
    for word in ("", "65536", "1.2.3:8050"):
        status, lines = run(screen_program, "--serve", word)
        check(status == 2 and lines and
              lines[0].startswith("zodm-screen: --serve"),
              f"--serve '{word}': status {status}, {lines[:1]}")


@scenario
def check_unusable_addresses(screen_program, port):
    """A taken port, an address that cannot be used: one line, status 1,
    and the display port never bound."""
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", port))
        taken.listen()
        for word, reason in (
                (f"127.0.0.1:{port}", "Address already in use"),
                (f"localhost:{port}", "Address already in use"),
                (f"0.0.0.1:{port}", "Cannot assign requested address")):
            status, lines = run(screen_program, "--serve", word)
            address = word.replace("localhost", "127.0.0.1")
            check(status == 1 and lines == [
                f"zodm-screen: cannot serve the live page on {address}: "
                f"{reason}"], f"--serve {word}: status {status}, {lines}")


@scenario
def check_answers(screen, port, key):
    """What each method and path gets; the page names no other site."""
    check(any(re.fullmatch(f"zodm-screen: live page at http://127.0.0.1:"
                           f"{port}/" r"\?token=[0-9a-f]{32}", line)
              for line in screen.lines),
          f"no address on standard error: {screen.lines}")
    page = {}
    for method, path, headers, status, kind in ANSWERS:
        headers = {name: value.format(port=port)
                   for name, value in headers.items()}
        body = b"!0,1,2" if method in ("POST", "PUT") else None
        got, response_headers, content = request(port, method, path,
                                                 {**key, **headers}, body)
        what = f"{method} {path} {headers}"
        check(got == status, f"{what}: status {got}, expected {status}")
        if kind:
            check(response_headers["Content-Type"] == kind,
                  f"{what}: {response_headers['Content-Type']}")
        check(response_headers["Content-Security-Policy"] == POLICY,
              f"{what}: policy {response_headers['Content-Security-Policy']}")
        check(response_headers["X-Content-Type-Options"] == "nosniff",
              f"{what}: no nosniff")
        if status == 405:
            check(response_headers["Allow"] == "GET, HEAD", f"{what}: Allow")
        if method == "GET" and status == 200:
            page[path] = content.decode()
    check(screen.output == [], f"a page request reached the emulator: "
          f"{screen.output}")
    # No URL with a scheme or a host, no import.
    for path in ("/", "/page.js", "/page.css?v=1"):
        found = re.findall(r"https?:|//[a-z0-9.-]+\.[a-z]{2,}|@import|url\(",
                           page.get(path, ""), re.IGNORECASE)
        check(not found, f"{path} refers outside: {found}")
    check("innerHTML" not in page.get("/page.js", "x") and
          "insertAdjacentHTML" not in page.get("/page.js", "x"),
          "the page's script writes markup")


@scenario
def check_event_stream(send_program, port, key):
    """A viewer's first message holds the whole state, later ones what
    arrived; a late viewer gets the whole state and the last requests at
    once. Returns both viewers, still open."""
    viewer = Stream(port, key)
    check(viewer.status == 200, f"/events: status {viewer.status}")
    first, _ = viewer.next()
    check(first["reset"] and first["received"] == 0 and first["max"] == 0 and
          first["rows"] == [[0, 1024, 0, 769]] and first["events"] == [] and
          "area" not in first and len(first["scale"]) == 4,
          f"first message: {first}")
    send(send_program, "display", "1", "2")
    send(send_program, "partial", "2", "1", "10", "20", "200", "300")
    send(send_program, "--force", "display", "7", "9")
    send_raw(HOSTILE.encode())
    send_raw(b"\xff\n\"")
    messages = viewer.until(5)
    events = [e for message, _ in messages for e in message["events"]]
    check([(e["n"], e["k"], e["s"]) for e in events] == [
        (1, "f", "display priority=1 quality=2"),
        (2, "p", "partial priority=2 quality=1 rect=(10,20)-(200,300)"),
        (3, "r", 'refused "!0,7,9"'),
        (4, "r", f'refused "{HOSTILE}"'),
        (5, "r", 'refused "\\xff\\n\\""'),
    ], f"events: {events}")
    check(len(events) > 1 and events[1].get("r") == [10, 20, 200, 300],
          f"rectangle: {events[1:2]}")
    raw = "".join(data for _, data in messages)
    check("\\u003cimg src=x onerror=alert(1)\\u003e" in raw and "<" not in raw,
          "the hostile text is not escaped in the stream")
    last = messages[-1][0]
    check(not last["reset"] and last["caption"][0] == "accepted 2, refused 3",
          f"last message: {last}")
    grid = cells(first["rows"])
    for message, _ in messages:
        grid = cells(message["rows"], grid)
    check(grid[20][10] == 2 and grid[300][200] == 2 and grid[20][9] == 1 and
          grid[301][10] == 1 and grid[0][0] == 1,
          f"the rows sent do not add up to the counts: "
          f"{[m for m, _ in messages]}")

    late = Stream(port, key)
    state, _ = late.next()
    check(state["reset"] and state["received"] == 5 and state["max"] == 2 and
          [e["n"] for e in state["events"]] == [1, 2, 3, 4, 5] and
          state["caption"] == last["caption"], f"late viewer: {state}")
    grid = cells(state["rows"])
    check(grid[20][10] == 2 and grid[19][10] == 1 and grid[1024][768] == 1,
          "the late viewer's counts")
    return viewer, late


@scenario
def check_viewer_limit(port, key, viewers):
    """At most 8 viewers; the 9th is told why, and a place freed is taken
    again. Closes all but the viewers given."""
    kept = len(viewers)
    viewers = viewers + [Stream(port, key) for _ in range(8 - kept)]
    check(all(v.status == 200 for v in viewers),
          "8 viewers were not all served")
    ninth = Stream(port, key)
    refusal = ninth.response.read().decode()
    ninth.close()
    check(ninth.status == 503 and "already 8 viewers" in refusal,
          f"9th viewer: {ninth.status} {refusal!r}")
    _, _, content = request(port, "GET", "/viewers", key)
    check(json.loads(content) == {"viewers": 8, "max": 8},
          f"/viewers: {content}")
    viewers.pop().close()

    def another():
        again = Stream(port, key)
        if again.status == 200:
            return again
        again.close()
        return None
    again = wait_until(another, timeout=30, interval=0.2)
    check(again, "a viewer's place was not freed")
    for v in viewers[kept:] + ([again] if again else []):
        v.close()


def request_lines(screen):
    """The datagrams' lines, without the fates of updates that follow
    them."""
    return [line for line in screen.output if '"fate":' not in line]


def memory(screen):
    with open(f"/proc/{screen.pid()}/status") as status_file:
        return int(re.search(r"VmRSS:\s+(\d+)", status_file.read()).group(1))


def burst_request(n):
    return b"!1,0,0,%d,%d,%d,%d" % (n % 700, n % 1000, n % 700 + 60,
                                     n % 1000 + 20)


@scenario
def check_stalled_viewer(screen, port, key, viewer, total):
    """A viewer that stops reading during a burst: the emulator goes on
    receiving every datagram. The burst is held back only by the socket's
    queue: 25 datagrams at a time (less than 40 KB of its some 200 KB),
    then until the queue is below 64 KB, which it never is for long unless
    the stalled viewer held up the receive loop."""
    stalled = socket.socket()
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.connect(("127.0.0.1", port))
    stalled.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                    b"Cookie: %s\r\n\r\n" % key["Cookie"].encode())
    before = memory(screen)
    peak = before
    started = time.monotonic()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for n in range(BURST):
            if n % 25 == 0:
                if not wait_until(lambda: udp_queue()[0] <= 64 * 1024,
                                  timeout=20, interval=0.001):
                    fail(f"the receive loop stopped during the burst ({n} "
                         f"sent, {len(request_lines(screen))} received)")
                    break
                if n % 5000 == 0:
                    peak = max(peak, memory(screen))
            sender.sendto(burst_request(n), ("127.0.0.1", PORT))
    seconds = time.monotonic() - started
    wait_until(lambda: len(request_lines(screen)) >= total, timeout=60,
               interval=0.2)
    peak = max(peak, memory(screen))
    print(f"burst: {BURST} datagrams in {seconds:.2f} s with a stalled "
          f"viewer; memory {before} KiB before, at most {peak} KiB during",
          flush=True)
    check(len(request_lines(screen)) == total,
          f"{len(request_lines(screen))} of {total} datagrams arrived")
    check(udp_queue()[1] == 0,
          f"the kernel dropped {udp_queue()[1]} datagrams")
    lines = [json.loads(line)
             for line in request_lines(screen)[total - BURST:]]
    check(all(line.get("request") == "partial" and line["xUp"] == n % 700 and
              line["yUp"] == n % 1000 for n, line in enumerate(lines)),
          "the burst's lines are not the requests sent, in order")
    # Sanitizers keep freed memory aside, so their figures say nothing here.
    if not os.environ.get("ZODM_SANITIZED"):
        check(peak - before < 32 * 1024, f"memory grew by {peak - before} KiB")
    # The stream of a viewer that kept reading is still exact.
    fresh = Stream(port, key)
    state, _ = fresh.next()
    fresh.close()
    check(state["received"] == total, f"after the burst: {state['received']}")
    # The first viewer, unread during the burst, catches up; every event is
    # either in its messages or counted as skipped.
    messages = viewer.until(total, timeout=60)
    check(messages and messages[-1][0]["received"] == total,
          "the first viewer did not catch up")
    check(sum(len(m["events"]) + m["skipped"] for m, _ in messages) == BURST,
          "events went missing without being counted as skipped")
    return stalled


def marker_printed(screen):
    """Whether the last line printed is the marker's, a dump of 7."""
    printed = request_lines(screen)
    marker = json.loads(printed[-1]) if printed else {}
    marker.pop("t", None)  # when it arrived
    return marker == {"accepted": True, "request": "dump", "argument": 7,
                      "text": "!2,7"}


@scenario
def check_drops_while_stopped(screen, port, key, sent):
    """Stopped while a burst arrives: the kernel drops what the socket
    cannot hold, and the page's totals say how many. Returns the totals."""
    os.kill(screen.pid(), signal.SIGSTOP)
    send_burst([b"!3,1"] * 3000)
    sent += 3000
    os.kill(screen.pid(), signal.SIGCONT)
    # A marker, sent until it is printed: every datagram before it was then
    # either read or dropped.
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        def marker():
            nonlocal sent
            sender.sendto(b"!2,7", ("127.0.0.1", PORT))
            sent += 1
            time.sleep(0.05)
            return marker_printed(screen)
        check(wait_until(marker, timeout=60, interval=0),
              "the marker was never printed")
    # The line is printed just before the feed records it, and where
    # datagrams carry no count (qemu-user) the drops are learnt after a
    # second of quiet.
    seen = {}

    def covered():
        probe = Stream(port, key)
        seen["state"], _ = probe.next()
        probe.close()
        return seen["state"]["received"] + seen["state"]["dropped"] >= sent
    wait_until(covered, timeout=60, interval=0.2)
    state = seen["state"]
    print(f"stopped during a burst: sent {sent}, received "
          f"{state['received']}, dropped {state['dropped']}", flush=True)
    check(state["dropped"] > 0 and
          state["received"] + state["dropped"] == sent,
          f"received {state['received']} + dropped {state['dropped']}, "
          f"but {sent} were sent")
    check(len(request_lines(screen)) == state["received"],
          f"{len(request_lines(screen))} lines for {state['received']} "
          f"received")
    return state


@scenario
def check_sigterm(screen, state, viewer):
    """The streams end, the emulator exits 0 with its closing line."""
    status = screen.stop()
    check(status == 0, f"SIGTERM: status {status}")
    closing = (f"zodm-screen: received {state['received']}, accepted "
               f"{state['received'] - 3}, refused 3, dropped "
               f"{state['dropped']}")
    # The rest of standard error is still being read.
    check(wait_until(lambda: closing in screen.lines, timeout=30),
          f"closing line: {[x for x in screen.lines if 'received' in x]}")
    while viewer.next() is not None:
        pass


@scenario
def check_paced_replay(screen_program, port):
    """A recording of some 7 s of requests, replayed as fast as it goes and
    then paced for the page at 50 times its speed: the same lines, the same
    closing lines; the model keeps the recorded time at any pace."""
    lines, t = [], 0.1
    for i in range(60):
        x, y = (i * 37) % 600, (i * 53) % 900
        lines.append(json.dumps({"t": round(t, 6), "text":
                                 f"!1,0,{i % 4},{x},{y},{x + 100},{y + 50}"}))
        t += 0.03 if i % 5 else 0.4
    lines.append(json.dumps({"t": round(t, 6), "text": "!0,0,3"}))
    with tempfile.NamedTemporaryFile("w", suffix=".jsonl") as recording:
        recording.write("\n".join(lines) + "\n")
        recording.flush()
        outputs = []
        for extra in ([], ["--serve", f"127.0.0.1:{port}", "--speed", "50"]):
            done = subprocess.run(
                emulator + [screen_program, "--replay", recording.name,
                            "--json", *extra],
                capture_output=True, text=True, timeout=120)
            errors = [line for line in done.stderr.splitlines()
                      if "live page at" not in line]
            outputs.append((done.returncode, done.stdout, errors))
    check(outputs[0][0] == 0 and outputs[0] == outputs[1],
          f"the paced replay printed otherwise: {outputs[1]}, the plain "
          f"one {outputs[0]}")


def main():
    screen_program, send_program = sys.argv[1:3]
    check_bad_arguments(screen_program)
    port = free_port()
    check_unusable_addresses(screen_program, port)
    screen = Screen(screen_program, "--serve", f"127.0.0.1:{port}", "--json")
    if not check(screen.wait_bound(),
                 f"zodm-screen did not start: {screen.lines}"):
        finish("live_end_to_end")
    # What a browser sends once it has visited the printed address
    # (live_key_test has the refusals and the visit itself).
    key = screen.cookie(port)
    check_answers(screen, port, key)
    viewer, late = check_event_stream(send_program, port, key)
    check_viewer_limit(port, key, [viewer, late])
    # Both stay open: the late viewer, never read again, stalls too.
    stalled = check_stalled_viewer(screen, port, key, viewer, 5 + BURST)
    state = check_drops_while_stopped(screen, port, key, 5 + BURST)
    check_sigterm(screen, state, viewer)
    stalled.close()
    late.close()
    check_paced_replay(screen_program, port)
    finish("live_end_to_end")


if __name__ == "__main__":
    main()
