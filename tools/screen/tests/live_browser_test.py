# SPDX-License-Identifier: MIT
"""The live page in a real browser: Debian's chromium, headless, opens the
address that zodm-screen --serve printed, with its key, and must land on
the page without it; zodm-send feeds the emulator on loopback port 50555.

    live_browser_test.py ZODM_SCREEN ZODM_SEND CHROMIUM SCREENSHOT

Requests sent before the page opens must be caught up with, those sent
while it is open shown as they arrive: the list of requests with refused
texts shown literally (a hostile one included, which must create no
element), the totals, the heat map's colours at chosen cells, and, with no
panel view, the model's updates on the timeline and their totals. The page
is then left with a partial update flashing and its screenshot written to
SCREENSHOT (docs/live-page.png is one). zodm-screen is then stopped while
a burst arrives: the page must show what the kernel dropped. Then the
emulator restarts, with a new key: the page must say that it needs the new
address, and, opened at it, show the new, empty state.
Last, with 8 viewers already watching, the page must say that it was
refused, and go live once one of them leaves."""

import json
import os
import re
import signal
import sys
import tempfile

from screen_testing import (Chromium, Screen, Stream, check, fail, finish,
                            free_port, request, scenario, send, send_burst,
                            send_raw, wait_until)

HOSTILE = "<img src=x onerror=alert(1)>"

# The page's state, read in one go.
STATE = """JSON.stringify({
  status: document.getElementById('status').textContent,
  caption: Array.from(document.querySelectorAll('#caption li'),
                      (li) => li.textContent),
  list: Array.from(document.querySelectorAll('#list li'), (li) => ({
    refused: li.classList.contains('refused'),
    number: li.querySelector('.number').textContent,
    text: li.querySelector('.text').textContent,
  })),
  rate: document.getElementById('rate').textContent,
  images: document.querySelectorAll('img').length,
})"""

# The model's part of the page.
MODEL = """JSON.stringify({
  panel: document.getElementById('panelStage').hidden,
  timeline: document.getElementById('modelNotes').hidden,
  cost: Array.from(document.querySelectorAll('#cost li'),
                   (li) => li.textContent),
})"""

# The heat map's colour of a cell, as 0xRRGGBB.
PIXEL = """(() => {{
  const [r, g, b] = document.getElementById('heat').getContext('2d')
      .getImageData({x}, {y}, 1, 1).data;
  return (r << 16) | (g << 8) | b;
}})()"""

# The alpha of the refreshes' flash overlay at a cell.
FLASH = """document.getElementById('flash').getContext('2d')
    .getImageData({x}, {y}, 1, 1).data[3]"""

# The status line once it says that the page was refused.
REFUSED = """(() => {
    const s = document.getElementById('status').textContent;
    return s.startsWith('refused') && s; })()"""


def received(count):
    return f"document.documentElement.dataset.received === '{count}'"


def near(expected, actual):
    return all(abs((expected >> s & 0xFF) - (actual >> s & 0xFF)) <= 2
               for s in (0, 8, 16))


class Test:
    """The programs and the port; the emulator that runs now."""

    def __init__(self, screen_program, send_program, port):
        self.screen_program = screen_program
        self.send_program = send_program
        self.port = port
        # Where the page is once its printed address has set the cookie.
        self.url = f"http://127.0.0.1:{port}/"
        self.screen = None

    def start(self):
        self.screen = Screen(self.screen_program, "--serve",
                             f"127.0.0.1:{self.port}")
        if not self.screen.wait_bound():
            fail(f"zodm-screen did not start: {self.screen.lines}")
            finish("live_page_browser")

    def send(self, *args):
        send(self.send_program, *args)


@scenario
def check_catch_up_and_news(test, browser):
    """Three requests before the page opens, three while it watches."""
    test.send("partial", "2", "1", "200", "300", "10", "20")
    test.send("display", "1", "2")
    test.send("--force", "display", "7", "9")
    # The address zodm-screen printed, token and all: the page is then
    # shown at the address without it, and its cookie is out of the
    # script's reach.
    browser.open(test.screen.url, 1280, 1100)
    check(browser.wait_for(received(3)), "the page did not catch up")
    # The timeline's bars, as many as it ever shows at once.
    browser.keep_largest("bars")
    check(browser.evaluate("location.href") == test.url,
          f"the token stayed in the address: "
          f"{browser.evaluate('location.href')}")
    check(browser.evaluate("document.cookie") == "",
          "the script can read the cookie")
    test.send("partial", "2", "3", "50", "100", "150", "250")
    send_raw(HOSTILE.encode())
    test.send("erase", "3")
    check(browser.wait_for(received(6)),
          "the page did not show the requests sent while it was open")

    state = json.loads(browser.evaluate(STATE))
    check(state["status"] == "live", f"status: {state['status']}")
    check(state["caption"] == [
        "accepted 4, refused 2",
        "full updates 1, partial 2, erases 1, dumps 0",
        "by priority 0: 0, 1: 1, 2: 2, 3: 1",
        "by quality 0: 0, 1: 1, 2: 1, 3: 1",
        "most refreshed cell: 4 times",
    ], f"totals: {state['caption']}")
    expected = [
        (False, "#6", "erase priority=3"),
        (True, "#5", f'refused "{HOSTILE}"'),
        (False, "#4", "partial priority=2 quality=3 rect=(50,100)-(150,250)"),
        (True, "#3", 'refused "!0,7,9"'),
        (False, "#2", "display priority=1 quality=2"),
        (False, "#1", "partial priority=2 quality=1 rect=(200,300)-(10,20)"),
    ]
    shown = [(i["refused"], i["number"], i["text"]) for i in state["list"]]
    check(shown == expected, f"list: {shown}")
    check(state["images"] == 0, "the hostile text became an element")
    check(state["rate"].isdigit(), f"rate: {state['rate']}")

    # In a tall window the heat map grows, but never pushes the side panel
    # out of the window.
    browser.call("Emulation.setDeviceMetricsOverride", width=1400,
                 height=1700, deviceScaleFactor=1, mobile=False)
    right = browser.wait_for("""(() => {
        const r = document.querySelector('aside').getBoundingClientRect();
        return r.width > 0 && r.right <= innerWidth && r.right; })()""")
    check(right, "in a 1400 x 1700 window the side panel leaves the window")
    browser.call("Emulation.setDeviceMetricsOverride", width=1280,
                 height=1100, deviceScaleFactor=1, mobile=False)


@scenario
def check_model_and_colours(browser):
    """Without a framebuffer there is no panel view, but the model's
    updates are on the timeline and their totals below it, one line each;
    the heat map's colours are the picture's."""
    model = json.loads(browser.evaluate(MODEL))
    check(model["panel"] and not model["timeline"],
          f"the panel view or the timeline: {model}")
    check(browser.wait_for("document.documentElement.dataset.pending "
                           "=== '0'"), "the model's updates did not end")
    # The partial update sent while the page watched and the erase that
    # waited for it were on the timeline together.
    check(int(browser.evaluate("document.documentElement.dataset.barsMost"))
          >= 2, "the timeline showed less than two updates")
    cost = json.loads(browser.evaluate(MODEL))["cost"]
    check(len(cost) == 6 and cost[0].startswith("updates ") and
          cost[5] == "largest residue 0", f"the model's totals: {cost}")
    # The most refreshed cells (4) darkest, 2 of 4 halfway, 3 of 4 at 0.79
    # of the scale.
    for x, y, colour in ((100, 150, 0x800026), (140, 240, 0x800026),
                         (600, 900, 0xF77636), (0, 1024, 0xF77636),
                         (180, 280, 0xC62522)):
        actual = browser.evaluate(PIXEL.format(x=x, y=y))
        check(near(colour, actual),
              f"cell ({x},{y}): expected {colour:06x}, got {actual:06x}")


@scenario
def take_screenshot(test, browser, screenshot):
    """A partial update flashing, once the erase's flash is over. Only the
    picture depends on when it is taken; nothing is checked on it."""
    browser.wait_for(FLASH.format(x=5, y=5) + " === 0", timeout=10)
    test.send("partial", "1", "2", "420", "560", "700", "860")
    check(browser.wait_for(received(7)), "the seventh request")
    browser.wait_for(FLASH.format(x=560, y=710) + " > 0", timeout=5)
    browser.screenshot(screenshot)
    # Nothing went wrong in the page; the hostile text ran no script.
    browser.expect_no_page_errors()


@scenario
def check_drops_shown(test, browser):
    """No drops yet, so none are shown; then zodm-screen is stopped while a
    burst arrives, and the page shows what the kernel dropped."""
    check(browser.evaluate("document.getElementById('dropped').hidden"),
          "the page shows drops before there were any")
    os.kill(test.screen.pid(), signal.SIGSTOP)
    send_burst([b"!3,1"] * 3000)
    os.kill(test.screen.pid(), signal.SIGCONT)
    dropped = browser.wait_for("""(() => {
        const d = document.documentElement.dataset.dropped;
        return d !== '0' && !document.getElementById('dropped').hidden &&
            document.getElementById('dropped').textContent; })()""")
    check(dropped and re.fullmatch(
        r"dropped [1-9][0-9]*: lost before zodm-screen could read them",
        dropped), f"the page shows no drops: {dropped}")


@scenario
def check_restart(test, browser):
    """The emulator restarts with a new key: the page says that only the
    new address will do; opened, it shows the new state."""
    check(test.screen.stop() == 0, "zodm-screen did not stop cleanly")
    check(browser.wait_for(
        "document.getElementById('status').textContent !== 'live'"),
        "the page did not notice that the emulator stopped")
    test.start()
    status = browser.wait_for(REFUSED, timeout=60)
    check(status == "refused: open the address zodm-screen printed",
          f"with the old key the page says: {status}")
    browser.call("Page.navigate", url=test.screen.url)
    test.send("display", "0", "0")
    check(browser.wait_for(received(1), timeout=60),
          "the page did not show the restarted emulator")
    state = json.loads(browser.evaluate(STATE))
    check(state["caption"][0] == "accepted 1, refused 0",
          f"after the restart: {state['caption']}")
    check([i["text"] for i in state["list"]] ==
          ["display priority=0 quality=0"],
          f"after the restart: {state['list']}")


@scenario
def check_too_many_viewers(test, browser):
    """Eight other viewers: the page is refused and says so, then goes live
    when one of them leaves."""
    browser.call("Page.navigate", url="about:blank")
    key = test.screen.cookie(test.port)
    wait_until(lambda: json.loads(
        request(test.port, "GET", "/viewers", key)[2])["viewers"] == 0,
               timeout=30, interval=0.2)
    others = [Stream(test.port, key) for _ in range(8)]
    browser.call("Page.navigate", url=test.url)
    status = browser.wait_for(REFUSED)
    check(status == "refused: 8 viewers already watch",
          f"with 8 viewers the page says: {status}")
    others.pop().close()
    check(browser.wait_for(
        "document.getElementById('status').textContent === 'live'"),
        "the page did not go live when a place was freed")
    for other in others:
        other.close()


def main():
    screen_program, send_program, chromium_program, screenshot = sys.argv[1:5]
    test = Test(screen_program, send_program, free_port())
    test.start()
    browser = None
    try:
        with tempfile.TemporaryDirectory() as profile:
            browser = Chromium(chromium_program, profile)
            check_catch_up_and_news(test, browser)
            check_model_and_colours(browser)
            take_screenshot(test, browser, screenshot)
            check_drops_shown(test, browser)
            check_restart(test, browser)
            check_too_many_viewers(test, browser)
            browser.close()
            browser = None
    finally:
        if browser:
            browser.close()
        test.screen.stop()
    finish("live_page_browser")


if __name__ == "__main__":
    main()
