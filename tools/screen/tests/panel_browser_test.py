# SPDX-License-Identifier: MIT
"""The live page's panel in a real browser: Debian's chromium, headless,
opens the page of zodm-screen --serve --framebuffer FILE --panel PNG
--ideal-panel IDEAL, while shapes are drawn into FILE and zodm-send asks
for refreshes.

    [ZODM_PICTURE=0] panel_browser_test.py ZODM_SCREEN ZODM_SEND CHROMIUM \
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
levels, once its flash (made longer here) inverted the whole view for its
time, and leaves nothing stale, and an erase whites the panel and makes
every drawn pixel stale. Last, a run of fast A2 partial updates over a bar
moving down the page, sent faster than A2 completes, so that they collide
and merge, leaves residue: the page is left showing it with its timeline
for EPAPER_SCREENSHOT (docs/epaper-page.png is one), its panel view must
be the PNG the model writes at exit, pixel for pixel, and its totals the
closing line's."""

import json
import os
import re
import sys
import tempfile
import time

from screen_testing import (HEIGHT, WIDTH, Chromium, Screen, check,
                         expected_pixels, fail, failures, fill, finish,
                         free_port, read_gray_png, send)

(screen_program, send_program, chromium_program, screenshot,
 epaper_screenshot) = sys.argv[1:6]
port = free_port()
SIZE = WIDTH * HEIGHT

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


def inverted(x, y):
    """True in the page while a flash inverts (x, y) of the panel view."""
    return ("document.getElementById('invert').getContext('2d')"
            f".getImageData({x}, {y}, 1, 1).data[3] === 255")


def gc16(pixels):
    """pixels at GC16's sixteen levels, evenly spaced."""
    return bytes((v * 15 + 127) // 255 * 17 for v in pixels)


def area(shape):
    return sum((x1 - x0 + 1) * (y1 - y0 + 1) for x0, y0, x1, y1, _ in shape)


def draw(shape):
    for rectangle in shape:
        fill(framebuffer, *rectangle)


def disc(cx, cy, r, gray):
    """A disc as rows."""
    return [(cx - w, y, cx + w, y, gray) for y in range(cy - r, cy + r + 1)
            for w in [int((r * r - (y - cy) ** 2) ** 0.5)]]


def mismatch(expected, actual):
    where = [i for i in range(SIZE) if expected[i] != actual[i]]
    return (f"{len(where)} pixels differ, first at "
            f"{(where[0] % WIDTH, where[0] // WIDTH) if where else None}")


work = tempfile.TemporaryDirectory()
framebuffer = os.path.join(work.name, "framebuffer")
panel = os.path.join(work.name, "panel.png")
ideal = os.path.join(work.name, "ideal.png")
# A build without cairo has no --panel, but its page shows the panel all
# the same.
with_picture = os.environ.get("ZODM_PICTURE", "1") != "0"
# GC16's flash made long enough for the page to see it however late a
# message reaches it.
profile_path = os.path.join(work.name, "profile.toml")
with open(profile_path, "w") as profile_file:
    profile_file.write("[waveform.GC16]\nflash_ms = 1500\n")
screen = Screen(screen_program, "--serve", f"127.0.0.1:{port}",
                "--framebuffer", framebuffer, "--profile", profile_path,
                *(["--ideal-panel", ideal, "--panel", panel]
                  if with_picture else []))
if not screen.wait_bound():
    fail(f"zodm-screen did not start: {screen.lines}")
    finish("panel_page_browser")
browser = None
try:
    with tempfile.TemporaryDirectory() as profile:
        # A page: a title bar and lines of text, refreshed, and a picture
        # below them (a gray disc), drawn but not refreshed.
        A = [(40, 40, 728, 120, 0)] + [
            (60, y, 60 + (y * 37) % 560 + 60, y + 12, 70)
            for y in range(160, 440, 28)]
        B = disc(384, 690, 200, 128)
        draw(A)
        draw(B)
        send(send_program, "partial", "1", "1", "728", "452", "40", "40")
        browser = Chromium(chromium_program, profile)
        browser.open(screen.url, 1400, 800)  # the printed address, key and all
        check(browser.wait_for(stale_is(area(B))),
              f"the page did not show {area(B)} pixels stale")
        check(browser.wait_for(settled(1)), "the DU update did not complete")

        seen = canvases(browser)
        pixels = expected_pixels(*A)
        if with_picture:
            width, height, written = read_gray_png(ideal)
            check((width, height) == (WIDTH, HEIGHT), "the ideal PNG's size")
            check(written == pixels,
                  "the ideal panel's PNG: " + mismatch(pixels, written))
        # DU makes black of A's grays (0 and 70), each keeping the same
        # share of its change from white, and leaves white alone.
        pairs = set(zip(pixels, seen["panel"]))
        dark = [shown for drawn, shown in pairs if drawn != 255]
        check(len(pairs) == 3 and (255, 255) in pairs and len(set(dark)) == 1
              and 0 < dark[0] < 64,
              f"the panel view is not DU's pass (drawn, shown): {pairs}")
        # The overlay marks the second shape's pixels and nothing else,
        # tinted with its gray: green is half of what was drawn.
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
        check(not browser.evaluate(
            "document.getElementById('panelStage').hidden"),
              "the panel view is hidden")
        browser.screenshot(screenshot)

        # Drawn, not refreshed: stale without a request.
        C = [(40, 940, 300, 980, 0)]
        draw(C)
        check(browser.wait_for(stale_is(area(B) + area(C))),
              "drawing alone did not show as stale")
        # A full update shows everything; an erase makes all of it stale.
        send(send_program, "display", "0", "0")
        check(browser.wait_for(stale_is(0)),
              "after the full update something is still stale")
        # Its flash inverts the whole area, then the inversion ends.
        check(browser.wait_for(inverted(0, 0) + " && " + inverted(768, 1024)),
              "the full update's flash did not invert the panel view")
        check(browser.wait_for(settled(2)), "the full update did not complete")
        check(not browser.evaluate(inverted(384, 512)),
              "the panel view stayed inverted after the flash")
        full = gc16(expected_pixels(*A, *B, *C))
        seen = canvases(browser)["panel"]
        check(seen == full,
              "the panel view after the full update: " + mismatch(full, seen))
        send(send_program, "erase", "0")
        check(browser.wait_for(stale_is(area(A) + area(B) + area(C))),
              "after the erase the drawn pixels are not all stale")
        check(browser.wait_for(settled(3)), "the erase did not complete")
        check(canvases(browser)["panel"] == b"\xff" * SIZE,
              "the panel view after the erase is not white")

        # Fast updates: a page of text in GL16, then A2 partial updates of
        # a bar moving down and back up, each covering where it was and
        # where it is, sent faster than A2 completes.
        fill(framebuffer, 0, 0, WIDTH - 1, HEIGHT - 1, 255)
        text = [(60, y, 60 + (y * 53) % 520 + 100, y + 14, 0)
                for y in range(60, 330, 30)]
        draw(text)
        send(send_program, "partial", "0", "2", "40", "40", "728", "340")
        def bar(i):
            return 400 + 40 * i, 460 + 40 * i

        previous = 0
        for i in list(range(12)) + list(range(10, -1, -1)):
            fill(framebuffer, 80, bar(previous)[0], 688, bar(previous)[1], 255)
            fill(framebuffer, 80, bar(i)[0], 688, bar(i)[1], 0)
            send(send_program, "partial", "0", "0", "80",
                 str(bar(min(i, previous))[0]), "688",
                 str(bar(max(i, previous))[1]))
            previous = i
            time.sleep(0.04)
        cost = browser.wait_for("""(() => {
            const d = document.documentElement.dataset;
            return d.pending === '0' && JSON.parse(d.cost).updates > 4 &&
                d.cost; })()""")
        check(cost, "the fast updates did not complete")
        browser.call("Emulation.setDeviceMetricsOverride", width=1400,
                     height=1000, deviceScaleFactor=1, mobile=False)
        time.sleep(0.3)
        browser.screenshot(epaper_screenshot)
        check(int(browser.evaluate(
            "document.documentElement.dataset.bars") or 0) >= 4,
              "the timeline shows no bars")
        seen = canvases(browser)["panel"]
        cost = json.loads(cost)
        check(cost["collisions"] > 0 and cost["merged"] > 0 and
              cost["residue_max"] > 0,
              f"the fast updates neither collided, merged nor left residue: "
              f"{cost}")
        legend = browser.evaluate(
            "document.getElementById('waveforms').textContent")
        check("A2" in legend and "GL16" in legend, f"the legend: {legend}")

        browser.expect_no_page_errors()
        browser.close()
        browser = None
finally:
    if browser:
        browser.close()
    status = screen.stop()

# What the page showed last is the model's panel at exit, and its totals
# the closing line's.
check(status == 0, f"zodm-screen exited with {status}")
if with_picture and not failures:
    width, height, written = read_gray_png(panel)
    check((width, height) == (WIDTH, HEIGHT), "the panel's PNG size")
    check(seen == written, "the panel view is not the model's panel: " +
          mismatch(written, seen))
    check(any(v not in (0, 255) for v in written[400 * WIDTH:]),
          "the model's panel shows no residue")
line = next((l for l in screen.lines if "panel: " in l), "")
closing = re.search(r"panel: (\d+) updates? \((\d+) merged\), (\d+) "
                    r"collisions?, waited ([\d.]+) ms, (\d+) flash(?:es)?, .*"
                    r"p50 ([\d.]+) ms, p95 ([\d.]+) ms, max ([\d.]+) ms, "
                    r"largest residue (\d+)", line)
if check(closing, f"the closing line: {line}") and not failures:
    page = [cost["updates"], cost["merged"], cost["collisions"],
            cost["waited_ms"], cost["flashes"], cost["latency_ms"]["p50"],
            cost["latency_ms"]["p95"], cost["latency_ms"]["max"],
            cost["residue_max"]]
    check([float(v) for v in closing.groups()] == [float(v) for v in page],
          f"the page's totals {page} are not the closing line's: {line}")

finish("panel_page_browser")
