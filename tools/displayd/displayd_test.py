# SPDX-License-Identifier: MIT
"""zodm-displayd end to end, on the test controller, on loopback port 50555:

    [ZODM_EMULATOR="qemu-arm -L ..."] displayd_test.py ZODM_DISPLAYD \\
        TEST_CONTROLLER ZODM_SEND PROFILES_DIR

The service runs with libzodm_test_controller.so preloaded (through the
emulator's -E in a cross build), on a fake framebuffer whose log has one
line per update and wait as the controller decoded them. Each test is a
table; no test asserts a time: the updates that take long (the burst's
450 ms) only make requests wait and merge. It runs in a network namespace
of its own where one can be made, so that no other service on the
machine holds the port; elsewhere on the machine's loopback."""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import tomllib

if os.environ.get("ZODM_DISPLAYD_NETNS") != "1":
    os.environ["ZODM_DISPLAYD_NETNS"] = "1"
    if shutil.which("unshare") and shutil.which("ip"):
        for how in ("-n", "-rn"):
            if subprocess.run(["unshare", how, "true"],
                              stderr=subprocess.DEVNULL).returncode == 0:
                os.execvp("unshare", [
                    "unshare", how, "sh", "-c",
                    'ip link set lo up && exec "$0" "$@"', sys.executable,
                    *sys.argv])

displayd, controller, send, profiles = sys.argv[1:5]
emulator = os.environ.get("ZODM_EMULATOR", "").split()
work = tempfile.mkdtemp(prefix="zodm-displayd-test-")
fb, log = work + "/fb0", work + "/log"
failures = []
# Long enough for a run under qemu; only a broken service reaches it.
DEADLINE = 120


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, file=sys.stderr)


def command(program, *args, preload=False):
    if emulator:
        return emulator + (["-E", "LD_PRELOAD=" + controller] if preload
                           else []) + [program, *args]
    return [program, *args]


def environment(settings):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("ZODM_TEST_FB")}
    env.update({"ZODM_TEST_FB": fb, "ZODM_TEST_FB_LOG": log}, **settings)
    if not emulator:
        env["LD_PRELOAD"] = controller
    return env


def logged():
    try:
        with open(log) as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


def until(condition, what):
    end = time.monotonic() + DEADLINE
    while not condition():
        if time.monotonic() > end:
            raise TimeoutError(what)
        time.sleep(0.01)


class Service:
    """zodm-displayd ARGS in the background, once it has bound the port."""

    def __init__(self, *args, settings=None):
        if os.path.exists(log):
            os.remove(log)
        self.out = open(work + "/out", "w+")
        self.err, self.bound = [], threading.Event()
        self.child = subprocess.Popen(
            command(displayd, "--fb", fb, *args, preload=True),
            stdout=self.out, stderr=subprocess.PIPE, text=True,
            env=environment(settings or {}))
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()
        until(lambda: self.bound.is_set() or self.child.poll() is not None,
              "the service to bind")
        if not self.bound.is_set():
            raise RuntimeError("did not bind: " + "".join(self.err))

    def read(self):
        for line in self.child.stderr:
            self.err.append(line)
            if "Bound successfully" in line:
                self.bound.set()

    def lines(self):
        self.out.seek(0)
        return self.out.read().splitlines()

    def said(self, text):
        return any(text in line for line in self.err)

    def end(self, sig=signal.SIGTERM):
        """Stops it (unless it ends by itself with --count); its status."""
        if sig is not None:
            self.child.send_signal(sig)
        status = self.child.wait(DEADLINE)
        self.reader.join(DEADLINE)
        return status


def sending(texts, pace=False):
    """Sends each text as one datagram; with pace, never more than the
    service's socket queue holds (read from /proc/net/udp), until the
    service, whose --count the last ones may reach, has left the port."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        for i, text in enumerate(texts):
            s.sendto(text.encode(), ("127.0.0.1", 50555))
            if pace and i % 50 == 49:
                until(lambda: (q := queued()) is None or q < 32768,
                      "the queue to drain")


def queued():
    """Bytes waiting in the socket of port 50555, or None: no socket."""
    with open("/proc/net/udp") as table:
        for row in table.read().splitlines()[1:]:
            fields = row.split()
            if fields[1].endswith(":C57B"):  # port 50555
                return int(fields[4].split(":")[1], 16)
    return None


def profile(replace=None, append="", name="p.toml", base="kobo-mk7"):
    """A profile file: base's, each key of replace replaced by its value,
    append added at the end."""
    with open(os.path.join(profiles, base + ".toml")) as f:
        text = f.read()
    for old, new in (replace or {}).items():
        assert old in text, old
        text = text.replace(old, new)
    path = os.path.join(work, name)
    with open(path, "w") as f:
        f.write(text + append)
    return path


def test_done():
    """zodm-send partial 1 0 0 0 100 200 on a Kobo Mk7: one 72-byte update
    with waveform 4 over 101 x 201 pixels from (0, 0), waited for."""
    service = Service("--profile", os.path.join(profiles, "kobo-mk7.toml"),
                      "--count", "1")
    subprocess.run(command(send, "partial", "1", "0", "0", "0", "100", "200"),
                   check=True)
    check(service.end(None) == 0, "done: exit status")
    check(logged() == [
        "update size=72 top=0 left=0 width=101 height=201 waveform=4 mode=0 "
        "marker=1 temp=4096 flags=0 dither=0 quant=0",
        "wait marker=1 result=done"], f"done: {logged()}")


# Each layout's profile, update size and the fields past the marker, with
# {c} for the waveform's code (the Kindles' histogram waveforms carry it).
LAYOUTS = [
    ("kobo-mk7", "mxcfb-nxp", 72, "temp=4096 flags=0 dither=0 quant=0"),
    ("kobo-ntx", "mxcfb-kobo-ntx", 68, "temp=4096 flags=0"),
    ("pocketbook", "mxcfb-v1", 64, "temp=4096 flags=0"),
    ("kindle-pw2", "mxcfb-kindle", 72,
     "temp=4096 flags=0 hist_bw={c} hist_gray={c}"),
    ("kindle-pw4", "mxcfb-kindle-rex", 80,
     "temp=4096 flags=0 dither=0 quant=0 hist_bw={c} hist_gray={c}"),
    ("kindle-oasis2", "mxcfb-kindle-zelda", 88,
     "temp=4096 flags=0 dither=0 quant=0 hist_bw={c} hist_gray={c}"),
    ("kindle-pw5", "mxcfb-kindle-mtk", 96,
     "temp=4096 flags=0 dither=0 quant=0 swipe_direction=0 swipe_steps=0 "
     "hist_bw={c} hist_gray={c}"),
    ("kobo-mtk", "hwtcon-kobo", 36, "flags=0 dither=0"),
]


def test_layouts():
    """A partial update, a full update and an erase in each layout's bytes:
    the partial with quality 0's waveform (A2), the others GC16, flashing,
    the erase over a white framebuffer; hwtcon's regions on 16 pixels."""
    for name, layout, size, fields in LAYOUTS:
        with open(os.path.join(profiles, name + ".toml"), "rb") as f:
            a2 = tomllib.load(f)["waveform"]["A2"]["mode"]
        service = Service("--profile", os.path.join(profiles, name + ".toml"),
                          "--count", "3",
                          settings={"ZODM_TEST_FB_LAYOUT": layout})
        # One at a time: an erase whitens the framebuffer as it arrives.
        for n, text in enumerate(["!1,0,0,0,0,100,200", "!0,1,3", "!3,2"], 1):
            sending([text])
            until(lambda: len(logged()) >= 2 * n, "the update")
        check(service.end(None) == 0, f"{name}: exit status")
        partial = "width=112 height=208" if size == 36 else \
            "width=101 height=201"
        updates = [(partial, a2, 0, ""), ("width=1072 height=1448", 2, 1, ""),
                   ("width=1072 height=1448", 2, 1, " white")]
        expected = []
        for marker, (region, code, mode, white) in enumerate(updates, 1):
            expected += [
                f"update size={size} top=0 left=0 {region} waveform={code} "
                f"mode={mode} marker={marker} " + fields.format(c=code) + white,
                f"wait marker={marker} result=done"]
        check(logged() == expected, f"{name}: {logged()}")


def test_regions():
    """Corners in either order, cut to a panel smaller than the request
    area, one wholly off it (counted), and the request area stretched over
    the panel."""
    small = {"ZODM_TEST_FB_GEOMETRY": "600x800x16"}
    cases = [
        (False, small, "!1,0,0,768,1024,500,700",
         "top=700 left=500 width=100 height=100"),
        (False, small, "!1,0,0,650,0,700,10", None),
        (True, {}, "!1,0,0,0,0,768,1024", "top=0 left=0 width=1072 height=1448"),
        # Request pixels 384..385 land on panel pixels 535.3..538.1,
        # 512..513 on 723.3..726.2.
        (True, {}, "!1,0,0,384,512,385,513", "top=723 left=535 width=4 height=4"),
    ]
    for scaled, settings, text, region in cases:
        mapping = {'mapping = "pixels"': 'mapping = "scaled"'} if scaled else {}
        service = Service("--profile", profile(mapping), "--count", "1",
                          "--json", settings=settings)
        sending([text])
        check(service.end(None) == 0, f"{text}: exit status")
        updates = [line for line in logged() if line.startswith("update")]
        if region is None:
            device = json.loads(service.lines()[-1])["device"]
            check(updates == [] and device["outside"] == 1,
                  f"{text}: {updates} {device}")
        else:
            check(len(updates) == 1 and f" {region} " in updates[0],
                  f"{text}: {updates}")


def test_faults():
    """Waits that time out are counted and the service goes on; EPERM is
    retried and counted; the wrong layout is one line and status 1."""
    cases = [
        ({"ZODM_TEST_FB_WAIT": "timeout"}, 0, "2 waits timed out",
         ["marker=1 ", "wait marker=1 result=timeout", "marker=2 ",
          "wait marker=2 result=timeout"]),
        ({"ZODM_TEST_FB_EPERM": "3"}, 0, "3 retries",
         ["result=EPERM"] * 3 + ["marker=1 ", "wait marker=1 result=done",
                                 "marker=2 ", "wait marker=2 result=done"]),
        ({"ZODM_TEST_FB_LAYOUT": "mxcfb-kobo-ntx"}, 1,
         "zodm-displayd: the controller layout mxcfb-nxp does not fit this "
         "device (its first update was refused: Invalid argument); the "
         "profile may not be for this device",
         ["ioctl number=0x4048462E result=EINVAL"]),
    ]
    for settings, status, said, lines in cases:
        service = Service("--profile", profile(), settings=settings)
        sending(["!1,0,0,0,0,10,10"])
        until(lambda: len(logged()) >= len(lines) // 2 or
              service.child.poll() is not None, "the first update")
        sending(["!1,0,0,100,100,110,110"])
        until(lambda: len(logged()) >= len(lines) or
              service.child.poll() is not None, "the second update")
        check(service.end() == status, f"{said}: exit status")
        check(service.said(said), f"{said}: {service.err}")
        got = logged()
        check(len(got) == len(lines) and
              all(want in line for want, line in zip(lines, got)),
              f"{said}: {got}")


def test_burst():
    """10,000 requests while each update takes 450 ms: none lost, every
    refresh carried by a submitted update or merged into one, all counted."""
    texts = ["!0,0,3"]  # a full update first: what follows merges into it
    for i in range(1, 10000):
        x, y = i * 37 % 700, i * 53 % 1000
        texts.append("!0,1,2" if i % 100 == 0 else "!2,0" if i % 997 == 0
                     else f"!1,{i % 4},{i % 4},{x},{y},{x + 1 + i % 60},"
                     f"{y + 1 + i % 24}")
    service = Service("--profile", profile(), "--json", "--count", "10000",
                      "--buffer", "4194304", settings={
                          "ZODM_TEST_FB_DURATIONS": "1:450,2:450,4:450,5:450"})
    check(queued() == 0, "burst: the service's socket is not in /proc/net/udp")
    sending(texts, pace=True)
    check(service.end(None) == 0, "burst: exit status")
    totals = json.loads(service.lines()[-1])
    device, panel = totals["device"], totals["panel"]
    updates = [line for line in logged() if line.startswith("update")]
    waits = [line for line in logged() if line.endswith("result=done")]
    print(f"burst: {device['submitted']} updates carried 10,000 requests "
          f"({device['merged']} merges)")
    check(totals["received"] == totals["accepted"] == 10000 and
          totals["dropped"] == 0, f"burst: {totals}")
    check(device["dumps"] == 10 and device["requests"] == 9990 and
          device["requests"] == device["submitted"] + device["merged"] and
          device["refused"] == device["left"] == 0, f"burst: {device}")
    check(panel["updates"] == device["submitted"] == len(updates) ==
          len(waits), f"burst: {panel} {len(updates)} {len(waits)}")


def test_hangup():
    """SIGHUP reads the profile again: a bad one, or one that names another
    controller, is refused and the old one kept; a good one is taken."""
    path = profile()
    service = Service("--profile", path)
    nxp = 'controller = "mxcfb-nxp"'
    cases = [
        ({}, "[quality\n", f"{path}:", "not TOML", 4),
        ({nxp: 'controller = "mxcfb-kindle"'}, "", f"{path}:",
         "names the controller mxcfb-kindle, but the service drives mxcfb-nxp",
         4),
        ({'0 = "A2"': '0 = "DU"'}, "", "", "read the profile", 1),
    ]
    for n, (replace, append, where, said, code) in enumerate(cases, 1):
        profile(replace, append)
        service.child.send_signal(signal.SIGHUP)
        until(lambda: sum("SIGHUP" in line for line in service.err) >= n,
              "the profile read again")
        line = [line for line in service.err if "SIGHUP" in line][-1]
        check(where in line and said in line and
              ("keeping the profile read before" in line) == (code == 4),
              f"SIGHUP {said}: {line}")
        sending([f"!1,0,0,{n * 20},0,{n * 20 + 9},9"])
        until(lambda: len(logged()) >= 2 * n, "the update")
        check(f"waveform={code} " in logged()[-2],
              f"SIGHUP {said}: {logged()[-2]}")
    check(service.end() == 0, "SIGHUP: exit status")


def test_calibrate():
    """--calibrate prints the profile with each waveform's duration_ms at
    least what the controller applied to it."""
    applied = {0: 30, 1: 20, 2: 45, 3: 29, 4: 12, 5: 40, 6: 41, 7: 42}
    settings = {"ZODM_TEST_FB_DURATIONS":
                ",".join(f"{c}:{ms}" for c, ms in applied.items())}
    if os.path.exists(log):
        os.remove(log)
    run = subprocess.run(
        command(displayd, "--fb", fb, "--profile",
                os.path.join(profiles, "kobo-mk7.toml"), "--calibrate",
                preload=True), capture_output=True, text=True,
        env=environment(settings))
    check(run.returncode == 0, f"--calibrate: {run.stderr}")
    printed = tomllib.loads(run.stdout)
    given = {int(m[1]): int(m[2]) for line in logged() for m in
             [re.search(r"waveform=(\d+) .* duration=(\d+)", line)] if m}
    check(given == applied, f"--calibrate: applied {given}")
    for name, w in printed["waveform"].items():
        if "mode" in w:
            check(w["duration_ms"] >= applied[w["mode"]],
                  f"--calibrate: {name} {w['duration_ms']} ms")
    check(printed["controller"] == "mxcfb-nxp", "--calibrate: controller")


def test_detect():
    """--detect: the framebuffer, the model files under --root, the profile
    suggested (status 0) or none for certain (status 1), and the note that
    the two 72-byte layouts cannot be told apart."""
    kobo = "/mnt/onboard/.kobo/version"
    version = "N418170014658,4.1.15,4.38.21908,00000000-0000-0000-0000-000000"
    cases = [
        ({kobo: version + "376\n"}, "mxc_epdc_fb", 0,
         r"Kobo Clara HD \(device code 376\)", r"kobo-mk7 \(.*kobo-mk7.toml\)$"),
        ({kobo: version + "388\n"}, "mxc_epdc_fb", 0, "Kobo Libra 2",
         r"kobo-mk7 \(.*\), but its kernel's waits time out"),
        ({kobo: version + "687\n"}, "mxc_epdc_fb", 1, "Kobo Elipsa",
         "none for certain: an Allwinner sunxi device"),
        ({"/sys/devices/soc0/machine": "reMarkable 1.0\n"}, "mxc_epdc_fb", 0,
         "reMarkable 1.0", r"remarkable1 \("),
        ({"/sys/devices/soc0/machine": "reMarkable 2.0\n"}, "mxs-lcdif", 1,
         "reMarkable 2.0", "none for certain: the reMarkable 2 has no"),
        ({"/proc/usid": "B0XXXXXXXXXXXXXX\n"}, "mxc_epdc_fb", 1, "Kindle",
         "none for certain: a Kindle's layout goes by its model"),
        ({}, "hwtcon", 0, "MediaTek", r"kobo-mtk \("),
    ]
    for files, id, status, device, suggested in cases:
        root = tempfile.mkdtemp(dir=work)
        for path, text in files.items():
            os.makedirs(os.path.dirname(root + path), exist_ok=True)
            with open(root + path, "w") as f:
                f.write(text)
        run = subprocess.run(
            command(displayd, "--fb", fb, "--root", root, "--detect",
                    preload=True), capture_output=True, text=True,
            env=environment({"ZODM_TEST_FB_ID": id}))
        out = run.stdout
        check(run.returncode == status and f'id "{id}", 1072 x 1448' in out
              and re.search(r"^device: .*" + device, out, re.M) and
              re.search(r"^suggested profile: " + suggested, out, re.M) and
              "tells the two 72-byte layouts apart" in out and
              "B0XX" not in out, f"--detect {files}: {out}")


def test_refusals():
    """Bad arguments and profiles: one line and status 2, before anything
    binds; a device that is not a framebuffer: one line and status 1."""
    bad = os.path.join(work, "bad.toml")
    with open(bad, "w") as f:
        f.write('controller = "mxcfb-foo"\n')
    cases = [
        (["--tap"], 2, "zodm-displayd: unknown option '--tap'"),
        ([], 2, "zodm-displayd: --profile FILE is required"),
        (["--profile", bad], 2, f"zodm-displayd: {bad}:1: unknown controller "
         "'mxcfb-foo' (known: mxcfb-nxp, mxcfb-kobo-ntx,"),
        (["--profile", profile(), "--fb", "/dev/null"], 1,
         "zodm-displayd: /dev/null is not a framebuffer device "
         "(FBIOGET_FSCREENINFO: "),
        (["--profile", profile(), "--fb", work + "/none"], 1,
         f"zodm-displayd: cannot open {work}/none: No such file"),
    ]
    for args, status, said in cases:
        run = subprocess.run(command(displayd, *args), capture_output=True,
                             text=True)
        check(run.returncode == status and run.stderr.startswith(said),
              f"{args}: {run.returncode} {run.stderr}")


try:
    for test in (test_refusals, test_done, test_layouts, test_regions,
                 test_faults, test_hangup, test_calibrate, test_detect,
                 test_burst):
        print(test.__name__)
        test()
finally:
    shutil.rmtree(work, ignore_errors=True)
print(f"{len(failures)} failed" if failures else "all checks passed")
sys.exit(1 if failures else 0)
