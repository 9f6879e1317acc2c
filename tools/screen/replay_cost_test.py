# SPDX-License-Identifier: MIT
"""zodm-screen --replay's fate lines and --compare, end to end, without
sockets:

    [ZODM_EMULATOR=...] replay_cost_test.py ZODM_SCREEN

A recording of typing (A2 partials over keys) and page turns (GL16
partials, full updates) replays twice byte for byte; every accepted
refresh's line carries its number, and one fate line follows for each,
never earlier than the line before; replayed again, that output gives
itself. --compare prints a column per profile, or with --json an object
each; what does not go together is a usage error."""

import json
import os
import shlex
import subprocess
import sys
import tempfile

emulator = shlex.split(os.environ.get("ZODM_EMULATOR", ""))
screen = emulator + [sys.argv[1]]
failures = []


def check(condition, message):
    if not condition:
        print(f"FAIL: {message}", file=sys.stderr, flush=True)
        failures.append(message)
    return condition


def run(*args):
    done = subprocess.run(screen + list(args), capture_output=True,
                          timeout=120)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


work = tempfile.TemporaryDirectory()
recording = os.path.join(work.name, "rec.jsonl")
texts = []
t = 0
for page in range(4):
    for key in range(12):  # a key pressed and released, 150 ms apart
        x, y = 40 + key * 60, 900 + key % 2 * 60
        for _ in range(2):
            texts.append((t, f"!1,0,0,{x},{y},{x + 50},{y + 50}"))
            t += 150000
    texts.append((t, "!1,1,2,0,0,768,850"))  # the page turns
    t += 400000
    if page % 2 == 1:
        texts.append((t, "!0,1,3"))
        t += 50000
texts.append((t, "!0,7,9"))  # refused
texts.append((t, "!2,7"))    # a dump refreshes nothing
with open(recording, "w") as out:
    for micros, text in texts:
        out.write(json.dumps({"t": micros / 1e6, "text": text}) + "\n")
accepted_refreshes = len(texts) - 2

# --- Twice the same bytes; a fate per refresh, joined by its number.
runs = [run("--replay", recording, "--json") for _ in range(2)]
check(runs[0][0] == 0, f"replay: status {runs[0][0]}: {runs[0][2][-300:]}")
check(runs[0] == runs[1], "two replays differ")
lines = [json.loads(line) for line in runs[0][1].splitlines()]
requests = [line for line in lines if "text" in line]
fates = [line for line in lines if "fate" in line]
numbered = [line["refresh"] for line in requests if "refresh" in line]
check(numbered == list(range(1, accepted_refreshes + 1)),
      f"refresh numbers: {numbered[:5]}...")
check(sorted(f["fate"] for f in fates) == numbered,
      "not one fate per accepted refresh")
times = [line["t"] for line in lines if "t" in line]
check(times == sorted(times), "a line is earlier than the one before")
for f in fates:
    check(set(f) == {"t", "fate", "update", "waveform", "flash",
                     "merged_into", "start_ms", "end_ms", "latency_ms"},
          f"fate members: {sorted(f)}")
    check(f["end_ms"] * 1000 == round(f["t"] * 1e6) and
          f["start_ms"] < f["end_ms"] and f["merged_into"] in (0, f["update"]),
          f"fate: {f}")
kinds = {(f["waveform"], f["flash"]) for f in fates}
check(("A2", False) in kinds and ("GC16", True) in kinds,
      f"waveforms and flashes: {kinds}")
last = lines[-1]["panel"]
check(last["latency_by_quality"]["0"]["requests"] == 96 and
      last["latency_by_kind"]["full"]["requests"] == 2,
      f"latency groups: {last['latency_by_quality']}")
# What it printed is a recording too: the fates are skipped.
again = os.path.join(work.name, "again.jsonl")
with open(again, "w") as out:
    out.write(runs[0][1])
check(run("--replay", again, "--json")[1] == runs[0][1],
      "the replay of a replay differs")

# --- --compare: a column per profile, the cadence's flashes among them.
every6 = os.path.join(work.name, "every6.toml")
with open(every6, "w") as out:
    out.write("flash_every = 6\n")
du = os.path.join(work.name, "du.toml")
with open(du, "w") as out:
    out.write('[quality]\n0 = "DU"\n')
status, table, errors = run("--replay", recording, "--compare", every6,
                            "--compare", du)
rows = {line.split("  ")[0].strip(): line.split()[-3:]
        for line in table.splitlines()[1:]}
check(status == 0 and table.splitlines()[0].split() ==
      ["built-in", every6, du], f"--compare: {status} {table[:300]}")
# 25 partials a page: flash_every = 6 flashes 4 of them on each page, and
# the full updates after the second and the fourth start the count again.
check(rows.get("flashes") == ["2", "18", "2"],
      f"flashes: {rows.get('flashes')}")
check("quality 0 p95" in rows and "residue area" in rows, f"rows: {rows}")
status, out, _ = run("--replay", recording, "--profile", du, "--compare",
                     every6, "--json")
objects = [json.loads(line) for line in out.splitlines()]
check(status == 0 and [o["profile"] for o in objects] == [du, every6] and
      objects[0]["panel"]["updates"] > 0, f"--compare --json: {out[:300]}")

# --- What does not go together, in the usage's words, status 2.
for args, said in [
        (["--compare", du], "--compare needs --replay"),
        (["--replay", recording, "--compare", du, "--picture", "p.png"],
         "--compare prints only its table"),
        (["--profile", du, "--profile", every6], "--profile is given twice"),
        (["--replay", recording, "--compare", os.path.join(work.name, "no")],
         "no: No such file or directory")]:
    status, out, errors = run(*args)
    check(status == 2 and not out and said in errors,
          f"{args}: status {status}, said {errors[:200]!r}")

if failures:
    print(f"{len(failures)} check(s) failed", file=sys.stderr)
    sys.exit(1)
print("replay_cost: all checks passed")
