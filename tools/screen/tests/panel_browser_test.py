# SPDX-License-Identifier: MIT
"""The live page's panel in a real browser: Debian's chromium, headless,
opens the page of zodm-screen --serve --framebuffer FILE --panel PNG
--ideal-panel IDEAL, while shapes are drawn into FILE and zodm-send asks
for refreshes.

    [ZODM_PICTURE=0] panel_browser_test.py ZODM_SCREEN ZODM_SEND CHROMIUM \\
        SCREENSHOT EPAPER_SCREENSHOT

ZODM_PICTURE=0 says that zodm-screen was built without cairo, so without
--panel and --ideal-panel: the page is then checked against the expected
panel alone.

The panel view shows the panel as the e-paper model has it, and the stale
overlay where FILE differs from the panel as a refresh copies it at once
(IDEAL). Two shapes are drawn and a DU partial update covers the first:
the view must show its pixels at DU's two levels, with the residue of the
change, and white elsewhere, and the overlay exactly the pixels of the
second shape, tinted with what was drawn there. The page is then left so
for its screenshot (SCREENSHOT; docs/panel-page.png is one). Drawing
without a request shows as stale on its own; a full update (GC16, which
flashes and so clears residue) shows every drawn pixel at GC16's sixteen
levels, once its flash (made longer here) inverted the whole view, and
leaves nothing stale, and an erase whites the panel and makes every drawn
pixel stale. Last, a burst of fast A2 partial updates over a bar moving
down the page, sent from one socket, leaves residue: the page is left
showing it with its timeline for EPAPER_SCREENSHOT (docs/epaper-page.png
is one), its panel view must be the PNG the model writes at exit, pixel
for pixel, and its totals the closing line's. Whether such updates
collide and merge depends on when they arrive, so panel_test checks that
in a replay, in recorded time."""

import json
import os
import re
import sys
import tempfile

from screen_testing import (BAR_PLACES, HEIGHT, WIDTH, Chromium, Screen, bar,
                            bar_requests, check, expected_pixels, fail,
                            failures, fill, finish, free_port, read_gray_png,
                            scenario, send, send_burst)

SIZE = WIDTH * HEIGHT
# GC16's flash made long enough for the page to see it however late a
# message reaches it.
PROFILE = "[waveform.GC16]\nflash_ms = 3000\n"

# The page's canvases, whole: the panel's gray level (red channel) and the
# stale overlay's alpha and red, each as a string of one character per
# pixel, so that chromium hands them over in one piece.
CANVASES = """(() => {
  const read = (id, channel) => {
    const data = document.getElementById(id).getContext('2d')
        .getImageData(0, 0, 769, 1025).data;
    const out = [];
    for (let i = 0; i < data.length; i += 4 * 4096) {
      const part = [];
      for (let j = i; j < Math.min(i + 4 * 4096, data.length); j += 4)
        part.push(data[j + channel]);
      out.push(String.fromCharCode(...part));
    }
    return out.join('');
  };
  return JSON.stringify({panel: read('panel', 0), stale: read('stale', 3),
                         tint: read('stale', 1)});
})()"""

# From now on marks the page (dataset.inverted = 'whole') once a flash has
# inverted the whole panel view, corners included, in any frame: a look
# from here could come too late for a flash of a few seconds.
KEEP_INVERSION = """(() => {
  const context = document.getElementById('invert').getContext('2d');
  const fillRect = context.fillRect.bind(context);
  const inverted = (x, y) => context.getImageData(x, y, 1, 1).data[3] === 255;
  context.fillRect = (...area) => {
    fillRect(...area);
    if (inverted(0, 0) && inverted(768, 1024))
      document.documentElement.dataset.inverted = 'whole';
  };
})()"""


def canvases(browser):
    state = json.loads(browser.evaluate(CANVASES))
    return {name: text.encode("latin-1") for name, text in state.items()}


def stale_is(count):
    return f"document.documentElement.dataset.stale === '{count}'"


def settled(updates):
    """True in the page once the model ran updates and none is waiting or
    running."""
    return ("document.documentElement.dataset.pending === '0' && "
            "JSON.parse(document.documentElement.dataset.cost || '{}')"
            f".updates === {updates}")


def accounted(requests):
    """The page's cost, once each of requests was either merged or ran, and
    none is waiting or running."""
    return f"""(() => {{
        const d = document.documentElement.dataset;
        const cost = JSON.parse(d.cost || '{{}}');
        return d.pending === '0' && cost.updates + cost.merged === {requests}
            && d.cost; }})()"""


def inverted(x, y):
    """True in the page while a flash inverts (x, y) of the panel view."""
    return ("document.getElementById('invert').getContext('2d')"
            f".getImageData({x}, {y}, 1, 1).data[3] === 255")


def gc16(pixels):
    """pixels at GC16's sixteen levels, evenly spaced."""
    return bytes((v * 15 + 127) // 255 * 17 for v in pixels)


def area(shape):
    return sum((x1 - x0 + 1) * (y1 - y0 + 1) for x0, y0, x1, y1, _ in shape)


def disc(cx, cy, r, gray):
    """A disc as rows."""
    return [(cx - w, y, cx + w, y, gray) for y in range(cy - r, cy + r + 1)
            for w in [int((r * r - (y - cy) ** 2) ** 0.5)]]


def mismatch(expected, actual):
    where = [i for i in range(SIZE) if expected[i] != actual[i]]
    return (f"{len(where)} pixels differ, first at "
            f"{(where[0] % WIDTH, where[0] // WIDTH) if where else None}")


class Run:
    """The files of the run and the emulator that watches them."""

    def __init__(self, directory, send_program):
        self.send_program = send_program
        self.framebuffer = os.path.join(directory, "framebuffer")
        self.panel = os.path.join(directory, "panel.png")
        self.ideal = os.path.join(directory, "ideal.png")
        # A build without cairo has no --panel, but its page shows the
        # panel all the same.
        self.with_picture = os.environ.get("ZODM_PICTURE", "1") != "0"
        self.profile = os.path.join(directory, "profile.toml")
        with open(self.profile, "w") as profile_file:
            profile_file.write(PROFILE)

    def draw(self, shape):
        for rectangle in shape:
            fill(self.framebuffer, *rectangle)

    def send(self, *args):
        send(self.send_program, *args)


# A page: a title bar and lines of text, refreshed, and a picture below
# them (a gray disc), drawn but not refreshed; then a bar of text drawn
# after the full update.
A = [(40, 40, 728, 120, 0)] + [(60, y, 60 + (y * 37) % 560 + 60, y + 12, 70)
                               for y in range(160, 440, 28)]
B = disc(384, 690, 200, 128)
C = [(40, 940, 300, 980, 0)]


@scenario
def check_partial_update(run, browser, screen, screenshot):
    """A DU partial update over A: the view at DU's levels, the overlay
    exactly B's pixels, tinted."""
    run.draw(A)
    run.draw(B)
    run.send("partial", "1", "1", "728", "452", "40", "40")
    browser.open(screen.url, 1400, 800)  # the printed address, key and all
    check(browser.wait_for(stale_is(area(B))),
          f"the page did not show {area(B)} pixels stale")
    check(browser.wait_for(settled(1)), "the DU update did not complete")

    seen = canvases(browser)
    pixels = expected_pixels(*A)
    if run.with_picture:
        width, height, written = read_gray_png(run.ideal)
        check((width, height) == (WIDTH, HEIGHT), "the ideal PNG's size")
        check(written == pixels,
              "the ideal panel's PNG: " + mismatch(pixels, written))
    # DU makes black of A's grays (0 and 70), each keeping the same share
    # of its change from white, and leaves white alone.
    pairs = set(zip(pixels, seen["panel"]))
    dark = [shown for drawn, shown in pairs if drawn != 255]
    check(len(pairs) == 3 and (255, 255) in pairs and len(set(dark)) == 1
          and 0 < dark[0] < 64,
          f"the panel view is not DU's pass (drawn, shown): {pairs}")
    # The overlay marks the second shape's pixels and nothing else, tinted
    # with its gray: green is half of what was drawn.
    marked = bytes(1 if alpha else 0 for alpha in seen["stale"])
    stale_mask = bytes(1 if a != b else 0 for a, b in
                       zip(expected_pixels(*A, *B), pixels))
    check(marked == stale_mask,
          "the stale overlay: " + mismatch(stale_mask, marked))
    inside = 690 * WIDTH + 384
    check(abs(seen["tint"][inside] - 64) <= 2,
          f"the stale tint: green {seen['tint'][inside]}")
    state = browser.evaluate(
        "document.getElementById('staleCount').textContent")
    check(state == f"{area(B)} pixels stale, in rows 490 to 890",
          f"the stale count: {state}")
    check(not browser.evaluate("document.getElementById('panelStage').hidden"),
          "the panel view is hidden")
    browser.screenshot(screenshot)


@scenario
def check_full_update_and_erase(run, browser):
    """Drawn, not refreshed: stale without a request. A full update shows
    everything, after its flash inverted the whole view; an erase makes
    all of it stale."""
    run.draw(C)
    check(browser.wait_for(stale_is(area(B) + area(C))),
          "drawing alone did not show as stale")
    browser.evaluate(KEEP_INVERSION)
    run.send("display", "0", "0")
    check(browser.wait_for(stale_is(0)),
          "after the full update something is still stale")
    check(browser.wait_for(
        "document.documentElement.dataset.inverted === 'whole'"),
        "the full update's flash did not invert the panel view")
    check(browser.wait_for(settled(2)), "the full update did not complete")
    check(not browser.evaluate(inverted(384, 512)),
          "the panel view stayed inverted after the flash")
    full = gc16(expected_pixels(*A, *B, *C))
    seen = canvases(browser)["panel"]
    check(seen == full,
          "the panel view after the full update: " + mismatch(full, seen))
    run.send("erase", "0")
    check(browser.wait_for(stale_is(area(A) + area(B) + area(C))),
          "after the erase the drawn pixels are not all stale")
    check(browser.wait_for(settled(3)), "the erase did not complete")
    check(canvases(browser)["panel"] == b"\xff" * SIZE,
          "the panel view after the erase is not white")


@scenario
def check_fast_updates(run, browser, epaper_screenshot):
    """A page of text in GL16, then a burst of A2 partial updates of a bar
    moving down and back up, from one socket, the bar drawn anew before
    each. What is checked holds however fast they arrive: each request
    merged or ran, the first A2 pass changed the bar's pixels, which leaves
    residue, and the timeline showed the text's update and at least two
    of the bar's at once. Returns the page's cost and panel view."""
    fill(run.framebuffer, 0, 0, WIDTH - 1, HEIGHT - 1, 255)
    run.draw([(60, y, 60 + (y * 53) % 520 + 100, y + 14, 0)
              for y in range(60, 330, 30)])
    browser.keep_largest("bars")

    def move_bar(n):
        if n == 0:
            return  # the page of text
        i, previous = BAR_PLACES[n - 1], BAR_PLACES[max(n - 2, 0)]
        fill(run.framebuffer, 80, bar(previous)[0], 688, bar(previous)[1], 255)
        fill(run.framebuffer, 80, bar(i)[0], 688, bar(i)[1], 0)
    send_burst([b"!1,0,2,40,40,728,340"] + bar_requests(), move_bar)
    # The three updates before, the page of text and the bar's.
    cost = browser.wait_for(accounted(3 + 1 + len(BAR_PLACES)))
    check(cost, "the fast updates did not complete")
    browser.call("Emulation.setDeviceMetricsOverride", width=1400,
                 height=1000, deviceScaleFactor=1, mobile=False)
    browser.wait_for("document.getElementById('timeline').clientWidth > 0")
    browser.screenshot(epaper_screenshot)
    check(int(browser.evaluate(
        "document.documentElement.dataset.barsMost") or 0) >= 3,
          "the timeline showed less than three updates at once")
    seen = canvases(browser)["panel"]
    cost = json.loads(cost) if cost else {}
    check(cost.get("residue_max", 0) > 0,
          f"the fast updates left no residue: {cost}")
    legend = browser.evaluate(
        "document.getElementById('waveforms').textContent")
    check("A2" in legend and "GL16" in legend, f"the legend: {legend}")
    return cost, seen


@scenario
def check_exit(run, screen, cost, seen):
    """What the page showed last is the model's panel at exit, and its
    totals the closing line's."""
    if run.with_picture and not failures:
        width, height, written = read_gray_png(run.panel)
        check((width, height) == (WIDTH, HEIGHT), "the panel's PNG size")
        check(seen == written, "the panel view is not the model's panel: " +
              mismatch(written, seen))
        check(any(v not in (0, 255) for v in written[400 * WIDTH:]),
              "the model's panel shows no residue")
    line = next((l for l in screen.lines if "panel: " in l), "")
    closing = re.search(r"panel: (\d+) updates? \((\d+) merged\), (\d+) "
                        r"collisions?, waited ([\d.]+) ms, (\d+) "
                        r"flash(?:es)?, .*p50 ([\d.]+) ms, p95 ([\d.]+) ms, "
                        r"max ([\d.]+) ms, largest residue (\d+)", line)
    if check(closing, f"the closing line: {line}") and not failures:
        page = [cost["updates"], cost["merged"], cost["collisions"],
                cost["waited_ms"], cost["flashes"], cost["latency_ms"]["p50"],
                cost["latency_ms"]["p95"], cost["latency_ms"]["max"],
                cost["residue_max"]]
        check([float(v) for v in closing.groups()] ==
              [float(v) for v in page],
              f"the page's totals {page} are not the closing line's: {line}")


def main():
    (screen_program, send_program, chromium_program, screenshot,
     epaper_screenshot) = sys.argv[1:6]
    port = free_port()
    work = tempfile.TemporaryDirectory()
    run = Run(work.name, send_program)
    screen = Screen(screen_program, "--serve", f"127.0.0.1:{port}",
                    "--framebuffer", run.framebuffer, "--profile", run.profile,
                    *(["--ideal-panel", run.ideal, "--panel", run.panel]
                      if run.with_picture else []))
    if not screen.wait_bound():
        fail(f"zodm-screen did not start: {screen.lines}")
        finish("panel_page_browser")
    browser = None
    cost, seen = {}, b""
    try:
        with tempfile.TemporaryDirectory() as profile:
            browser = Chromium(chromium_program, profile)
            check_partial_update(run, browser, screen, screenshot)
            check_full_update_and_erase(run, browser)
            cost, seen = check_fast_updates(run, browser, epaper_screenshot)
            browser.expect_no_page_errors()
            browser.close()
            browser = None
    finally:
        if browser:
            browser.close()
        status = screen.stop()
    check(status == 0, f"zodm-screen exited with {status}")
    check_exit(run, screen, cost, seen)
    finish("panel_page_browser")


if __name__ == "__main__":
    main()
