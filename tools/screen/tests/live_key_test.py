# SPDX-License-Identifier: MIT
"""The live page's key, in a network namespace of its own:

    [ZODM_EMULATOR="qemu-arm -L ..."] live_key_test.py ZODM_SCREEN

zodm-screen --serve on 127.0.0.1 and then on 0.0.0.0 (which, in the
namespace, nothing outside can reach) must refuse with 403 and a short
text every request without its key, the event stream and the page's files
included: no token, a wrong one, one a digit off, a cookie of another value
or of another port. The printed address must carry the token; a visit with
it must set an HttpOnly, SameSite=Strict cookie and send the browser to the
address without it; the cookie, or the token itself, must then open
everything. A restarted zodm-screen has a new key. Exit status 77
(skipped) when no namespace can be made."""

import os
import re
import shutil
import subprocess
import sys

from screen_testing import (Screen, Stream, check, fail, finish, free_port,
                            request, scenario)

NEEDS_KEY = "zodm-screen: the live page needs its key"


def enter_network_namespace():
    """Runs this test again in a network namespace of its own, as root or
    through a user namespace, with its loopback interface up; exits 77
    (skipped) where none can be made."""
    if os.environ.get("ZODM_LIVE_KEY_NETNS") == "1":
        return
    os.environ["ZODM_LIVE_KEY_NETNS"] = "1"
    if shutil.which("unshare") and shutil.which("ip"):
        for how in ("-n", "-rn"):
            if subprocess.run(["unshare", how, "true"],
                              stderr=subprocess.DEVNULL).returncode == 0:
                os.execvp("unshare", [
                    "unshare", how, "sh", "-c",
                    'ip link set lo up && exec "$0" "$@"', sys.executable,
                    *sys.argv])
    print("SKIPPED: cannot make a network namespace (needs unshare and ip, "
          "and root or user namespaces)")
    sys.exit(77)



def start(screen_program, address, port):
    screen = Screen(screen_program, "--serve", f"{address}:{port}")
    if not screen.wait_bound():
        fail(f"zodm-screen --serve {address}:{port} did not start: "
             f"{screen.lines}")
        finish("live_key")
    return screen


def flip(token):
    """token with its last digit changed."""
    return token[:-1] + ("0" if token[-1] != "0" else "1")


@scenario
def check_printed_address(screen, address, port):
    """The printed address carries the token, and off loopback a warning."""
    url = screen.url or ""
    check(re.fullmatch(f"http://{re.escape(address)}:{port}/\\?token="
                       "[0-9a-f]{32}", url),
          f"{address}: printed address {url!r}: {screen.lines}")
    line = next((x for x in screen.lines if "live page at" in x), "")
    check(("anyone who has this address" in line) == (address != "127.0.0.1"),
          f"{address}: {line}")


@scenario
def check_refused_without_key(address, port, token, previous_cookie):
    """Method, path, headers without the key: each gets 403 and a short
    text, the cookie of the emulator that served this port before
    included."""
    refused = [
        ("GET", "/", {}),
        ("HEAD", "/", {}),
        ("GET", "/events", {}),
        ("GET", "/page.js", {}),
        ("GET", "/page.css", {}),
        ("GET", "/viewers", {}),
        ("GET", "/favicon.ico", {}),
        ("GET", "/nowhere", {}),
        ("POST", "/", {}),
        ("GET", "/?token=", {}),
        ("GET", f"/?token={flip(token)}", {}),
        ("GET", f"/?token={token.upper()}", {}),
        ("GET", f"/?token={token}0", {}),
        ("GET", f"/events?token={flip(token)}", {}),
        ("GET", "/", {"Cookie": f"zodm-screen-{port}={flip(token)}"}),
        ("GET", "/events", {"Cookie": f"zodm-screen-{port + 1}={token}"}),
        ("GET", "/", {"Cookie": f"zodm-screen={token}"}),
    ]
    if previous_cookie:
        refused.append(("GET", "/events", {"Cookie": previous_cookie}))
    for method, path, headers in refused:
        status, _, body = request(port, method, path, headers)
        check(status == 403 and (method == "HEAD" or
                                 body.decode().startswith(NEEDS_KEY)),
              f"{address}: {method} {path} {headers}: {status} {body!r}")


@scenario
def check_served_with_key(address, port, url, token, cookie):
    """The printed address sets the cookie and sends the browser to the
    address without the token; the cookie, or the token, then opens
    everything. The Host check stays on loopback."""
    status, headers, body = request(port, "GET", url[url.find("/", 7):])
    check(status == 303 and headers["Location"] == "/" and
          headers["Set-Cookie"] ==
          f"{cookie}; Path=/; HttpOnly; SameSite=Strict" and
          headers["Referrer-Policy"] == "no-referrer" and len(body) < 100,
          f"{address}: the visit: {status} {dict(headers)} {body!r}")
    for path, headers, kind in (
            ("/", {"Cookie": cookie}, "text/html; charset=utf-8"),
            ("/", {"Cookie": f"a=1; {cookie}"}, "text/html; charset=utf-8"),
            ("/page.js", {"Cookie": cookie}, "text/javascript; charset=utf-8"),
            ("/viewers", {"Cookie": cookie}, "application/json"),
            (f"/viewers?token={token}", {}, "application/json")):
        status, got, _ = request(port, "GET", path, headers)
        check(status == 200 and got["Content-Type"] == kind,
              f"{address}: GET {path} {headers}: {status}")
    for headers, path in (({"Cookie": cookie}, "/events"),
                          ({}, f"/events?token={token}")):
        viewer = Stream(port, headers, path)
        first = viewer.next() if viewer.status == 200 else None
        check(first is not None and first[0]["reset"],
              f"{address}: {path} {headers}: {viewer.status}")
        viewer.close()
    # Elsewhere than on loopback the page has no one name.
    status, _, _ = request(port, "GET", "/", {
        "Cookie": cookie, "Host": f"rebound.example:{port}"})
    check(status == (403 if address == "127.0.0.1" else 200),
          f"{address}: another Host: {status}")


def main():
    enter_network_namespace()
    screen_program = sys.argv[1]
    port = free_port()
    previous_cookie = None
    for address in ("127.0.0.1", "0.0.0.0"):
        screen = start(screen_program, address, port)
        url = screen.url or ""
        token = screen.token or ""
        cookie = f"zodm-screen-{port}={token}"
        check_printed_address(screen, address, port)
        check_refused_without_key(address, port, token, previous_cookie)
        if previous_cookie:
            check(previous_cookie != cookie, "a restart kept the key")
        check_served_with_key(address, port, url, token, cookie)
        check(screen.stop() == 0, f"{address}: SIGTERM")
        previous_cookie = cookie
    finish("live_key")


if __name__ == "__main__":
    main()
