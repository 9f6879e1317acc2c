# SPDX-License-Identifier: MIT
"""The live page's panel in a real browser: Debian's chromium, headless,
opens the page of zodm-screen --serve --framebuffer FILE --ideal-panel PNG, while
shapes are drawn into FILE and zodm-send asks for refreshes.

    [ZODM_PICTURE=0] panel_browser_test.py ZODM_SCREEN ZODM_SEND CHROMIUM \
        SCREENSHOT

ZODM_PICTURE=0 says that zodm-screen was built without cairo, so without
--panel: the page is then checked against the expected panel alone.

Two shapes are drawn and a partial update covers the first: the panel view
must show the same pixels as the panel's PNG (the first shape, white where
the second was drawn), and the stale overlay exactly the pixels where FILE
differs from the panel (the second shape), tinted with what was drawn
there. The page is then left so for its screenshot (SCREENSHOT;
docs/panel-page.png is one). Drawing without a request shows as stale on
its own; a full update leaves nothing stale, and an erase whites the panel
and makes every drawn pixel stale."""

import json
import os
import sys
import tempfile

from liveTestLib import (HEIGHT, WIDTH, Chromium, Screen, check,
                         expected_pixels, fail, fill, finish, free_port,
                         read_gray_png, send)

screen_program, send_program, chromium_program, screenshot = sys.argv[1:5]
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
# A build without cairo has no --panel, but its page shows the panel all
# the same.
with_picture = os.environ.get("ZODM_PICTURE", "1") != "0"
screen = Screen(screen_program, "--serve", f"127.0.0.1:{port}",
                "--framebuffer", framebuffer,
                *(["--ideal-panel", panel] if with_picture else []))
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

        seen = canvases(browser)
        pixels = expected_pixels(*A)
        if with_picture:
            width, height, written = read_gray_png(panel)
            check((width, height) == (WIDTH, HEIGHT), "the panel's PNG size")
            check(written == pixels,
                  "the panel's PNG: " + mismatch(pixels, written))
        check(seen["panel"] == pixels,
              "the panel view is not the panel: " +
              mismatch(pixels, seen["panel"]))
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
        check(canvases(browser)["panel"] == expected_pixels(*A, *B, *C),
              "the panel view after the full update")
        send(send_program, "erase", "0")
        check(browser.wait_for(stale_is(area(A) + area(B) + area(C))),
              "after the erase the drawn pixels are not all stale")
        check(canvases(browser)["panel"] == b"\xff" * SIZE,
              "the panel view after the erase is not white")

        browser.expect_no_page_errors()
        browser.close()
        browser = None
finally:
    if browser:
        browser.close()
    screen.stop()

finish("panel_page_browser")
