# SPDX-License-Identifier: MIT
"""Every example of the tools, as printed, in a network namespace of its own:

    [ZODM_TAP=0|1] examples_test.py TOOLS_DIR SOURCE_DIR

The examples of `--help`, of the manual pages' EXAMPLES (a literal block
with several commands is one example, its other lines the output) and the
README's zodm-* lines each run once, through bash, with TOOLS_DIR first in
PATH. An example passes when it ends with status 0, or is still running
(a service) once its expected output has appeared, or after a second when
it states none; expected output is a manual page's output lines or a
comment "# prints TEXT", and an example that states it prints nothing on
standard error. Files the examples name under /tmp and /dev/shm go to a
directory of the test's own, where rec.jsonl is a short recording with
pixels, a2.toml a display profile and /dev/fb0, the device's framebuffer,
a white framebuffer file. Examples that need what this build lacks (--tap
without libpcap, --picture without cairo, --serve without libmicrohttpd,
zodm-screen) are left out. Exit status 77 (skipped) when no namespace can
be made."""

import base64
import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zlib

if os.environ.get("ZODM_EXAMPLES_NETNS") != "1":
    os.environ["ZODM_EXAMPLES_NETNS"] = "1"
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

tools, source = map(os.path.abspath, sys.argv[1:3])
TOOLS = ("zodm-send", "zodm-listen", "zodm-screen")


def split(line):
    """(command, expected lines) of a one-line example and its comment."""
    command = re.split(r"\s+#\s", line, maxsplit=1)[0]
    found = re.search(r"\s#\s+prints (.+?)(?:, .*| \(.*|\s+#.*)?$", line)
    return command.strip(), [found.group(1)] if found else []


def from_help(tool):
    text = subprocess.run([os.path.join(tools, tool), "--help"], check=True,
                          capture_output=True, text=True).stdout
    body = re.split(r"^Examples?:\n", text, flags=re.M)[1]
    # A comment on lines of its own belongs to the example above it.
    body = re.sub(r"\n +# ", "  # ", body)
    return [split(line.strip()) for line in body.splitlines()
            if line.startswith("  ")]


def from_page(page):
    text = open(os.path.join(source, "man", page)).read()
    text = text.split(".Sh EXAMPLES\n")[1].split("\n.Sh ")[0]
    text = text.replace("\\e", "\\").replace("\\&", "")
    found = [(line[6:], []) for line in text.splitlines()
             if re.match(r"\.Dl [$#] ", line)]
    for block in re.findall(r"^\.Bd -literal[^\n]*\n(.*?)^\.Ed", text,
                            re.M | re.S):
        lines = block.splitlines()
        prompted = [line[:2] in ("$ ", "# ") for line in lines]
        found.append(("\n".join(l[2:] for l, p in zip(lines, prompted) if p),
                      [l for l, p in zip(lines, prompted) if not p]))
    return found


def from_readme():
    text = open(os.path.join(source, "README.md")).read()
    return [split(line) for block in re.findall(r"```sh\n(.*?)```", text,
                                                re.S)
            for line in block.splitlines() if line.startswith(TOOLS)]


def missing(command):
    """What this build lacks for command, or None."""
    screen_help = ""
    if os.path.exists(os.path.join(tools, "zodm-screen")):
        screen_help = subprocess.run(
            [os.path.join(tools, "zodm-screen"), "--help"],
            capture_output=True, text=True).stdout
    elif "zodm-screen" in command:
        return "zodm-screen"
    if "--tap" in command and os.environ.get("ZODM_TAP") != "1":
        return "--tap (libpcap)"
    for option in ("--picture", "--panel", "--serve"):
        if option in command and re.search(
                option + r"=\S+\s+not in this build", screen_help):
            return option
    return None


def run(command, expected, work):
    """None when the example works as written, else what went wrong."""
    # A failing command ends the script with its status; then the services
    # it started in the background are waited for.
    script = "set -e\n" + command.replace("/tmp/", work + "/tmp/").replace(
        "/dev/shm/", work + "/shm/").replace("/dev/fb0", work + "/fb0") + \
        "\nwait\n"
    with open(work + "/out", "w+") as out, open(work + "/err", "w+") as err:
        child = subprocess.Popen(
            ["bash", "-c", script], cwd=work, stdout=out, stderr=err,
            env=dict(os.environ, PATH=tools + os.pathsep + os.environ["PATH"]),
            start_new_session=True)
        start = time.monotonic()
        while True:
            status = child.poll()
            lines = open(work + "/out").read().splitlines()
            shown = all(line in lines for line in expected)
            waited = time.monotonic() - start
            if status is not None or (shown and (expected or waited > 1)):
                break
            if waited > 20:
                break
            time.sleep(0.02)
        stop(child)
        said = open(work + "/err").read().strip()
    if status not in (None, 0):
        return f"exit status {status}: {said}"
    if not shown:
        return f"printed {lines}, expected {expected}: {said}"
    # What an example says it prints is all that a terminal shows of it.
    if expected and said:
        return f"printed {expected} and on standard error: {said}"
    return None


def stop(child):
    """Ends the example's process group, its background services included,
    which this process reaps as their subreaper."""
    try:
        os.killpg(child.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    deadline = time.monotonic() + 5
    while True:
        try:
            pid, _ = os.waitpid(-child.pid, os.WNOHANG)
        except ChildProcessError:
            break
        if pid == 0 and time.monotonic() > deadline:
            os.killpg(child.pid, signal.SIGKILL)
        elif pid == 0:
            time.sleep(0.02)


def recorded(t, x0, y0, x1, y1, gray):
    """A recording's line of a partial update with its pixels (format 2)."""
    pixels = base64.b64encode(zlib.compress(
        bytes([gray]) * ((x1 - x0 + 1) * (y1 - y0 + 1)))).decode()
    return (f'{{"t":{t},"accepted":true,"request":"partial","priority":0,'
            f'"quality":0,"xUp":{x0},"yUp":{y0},"xDown":{x1},"yDown":{y1},'
            f'"rect":[{x0},{y0},{x1},{y1}],"pixels":"{pixels}",'
            f'"text":"!1,0,0,{x0},{y0},{x1},{y1}"}}\n')


# The recording that the --replay examples name: two overlapping partial
# updates, with the pixels drawn for them.
RECORDING = (recorded("0.100000", 0, 0, 100, 100, 0) +
             recorded("0.105000", 50, 50, 150, 150, 128) +
             '{"format":2,"received":2,"accepted":2,"refused":0,'
             '"dropped":0}\n')

ctypes.CDLL(None, use_errno=True).prctl(36, 1)  # PR_SET_CHILD_SUBREAPER
examples = [e for tool in TOOLS if os.path.exists(os.path.join(tools, tool))
            for e in from_help(tool)]
examples += [e for page in ("zodm-send.1", "zodm-listen.1", "zodm-screen.1")
             for e in from_page(page)]
examples += from_readme()
failures, seen = [], set()
for command, expected in examples:
    if not command.startswith(TOOLS) or (command, *expected) in seen:
        continue
    seen.add((command, *expected))
    lacking = missing(command)
    if lacking:
        print(f"left out (no {lacking} in this build): {command!r}")
        continue
    with tempfile.TemporaryDirectory() as work:
        os.mkdir(work + "/tmp")
        os.mkdir(work + "/shm")
        # The recording that the --replay examples name, and the profile
        # they compare it under. No device here: the framebuffer file
        # stands for /dev/fb0.
        with open(work + "/fb0", "wb") as fb0:
            fb0.write(b"\xff" * 769 * 1025)
        with open(work + "/rec.jsonl", "w") as rec:
            rec.write(RECORDING)
        with open(work + "/a2.toml", "w") as profile:
            profile.write('[quality]\n1 = "A2"\n')
        problem = run(command, expected, work)
    print(f"{'FAIL' if problem else 'ok'}: {command!r} {expected}"
          + (f": {problem}" if problem else ""))
    if problem:
        failures.append(command)
print(f"{len(seen)} examples, {len(failures)} failed")
sys.exit(1 if failures or not seen else 0)
