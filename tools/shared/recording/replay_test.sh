#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# End-to-end test of recordings on loopback port 50555:
#   [ZODM_EMULATOR=...] [ZODM_PIXELS=0] replay_test.sh ZODM_SEND ZODM_LISTEN \
#     ZODM_SCREEN
# A session recorded with zodm-listen --json replays in zodm-screen --replay
# byte for byte, twice; bad recordings are refused with their line; and
# zodm-send --replay drives zodm-listen at the recorded times.
set -euo pipefail

# shellcheck disable=SC2206  # the emulator's words are split on purpose
emulator=(${ZODM_EMULATOR:-})
send=("${emulator[@]}" "$1")
listen=("${emulator[@]}" "$2")
screen=("${emulator[@]}" "$3")
# shellcheck source=../testLib.sh
source "$(dirname "$0")/../testLib.sh"

start_listener() {
  start_service "$1" "${listen[@]}" "${@:2}" ||
    { fail "zodm-listen did not bind: $(cat "$1.err")"; passed replay; }
}

# --- A live session, recorded, replays as it was printed, byte for byte.
start_listener "$work/rec" --json --count 5
"${send[@]}" display 1 2
"${send[@]}" partial 2 1 0 0 100 200
"${send[@]}" -f erase 9
# One datagram each: bash's printf writes a line at a time.
printf '!0,1\000,2' >"$work/datagram" && cat "$work/datagram" >/dev/udp/127.0.0.1/50555
printf 'x"\\\001\n\377z' >"$work/datagram" && cat "$work/datagram" >/dev/udp/127.0.0.1/50555
wait_service
[[ $rc == 0 ]] || fail "recording: exit status $rc"
for run in 1 2; do
  "${screen[@]}" --replay "$work/rec" --json >"$work/replay$run" \
    2>"$work/replay$run.err" || fail "replay $run: exit status $?"
done
# zodm-screen's totals also carry what the run cost its panel, each
# accepted refresh its number, and a line of its own says what became of it.
sed '/^{"t":[0-9.]*,"fate":/d; s/,"refresh":[0-9]*}$/}/; $s/,"panel":{.*}}$/}/' \
  "$work/replay1" >"$work/replay1.lines"
cmp -s "$work/rec" "$work/replay1.lines" ||
  fail "the replay differs from the live run: $(diff "$work/rec" "$work/replay1.lines")"
tail -n 1 "$work/replay1" | grep -q ',"panel":{"updates":' ||
  fail "no panel in the replay's totals: $(tail -n 1 "$work/replay1")"
cmp -s "$work/replay1" "$work/replay2" && cmp -s "$work/replay1.err" "$work/replay2.err" ||
  fail "two replays differ"
[[ $(grep -c '^zodm-screen: received 5, accepted 3, refused 2, dropped 0$' \
  "$work/replay1.err") == 1 ]] || fail "replay totals: $(cat "$work/replay1.err")"
# From standard input, as text lines.
"${screen[@]}" --replay - <"$work/rec" >"$work/text" 2>/dev/null
[[ $(sed -n 4p "$work/text") == 'display priority=1 quality=0 (cut at a NUL; 2 bytes followed)' ]] ||
  fail "replayed text lines: $(cat "$work/text")"

# --- Bad recordings: "lines (printf format)|line number: reason". Nothing
# is replayed or sent.
long=$(printf '%*s' 65508 '' | tr ' ' x)
bad=(
  'not json|1: not JSON at column 2: invalid literal'
  '{"t":0,"text":"a"}\n[1,2]|2: not a JSON object but an array'
  '{"t":0,"text":"a"}\n\n{"t":1,"text":"b"}|2: a blank line (each line holds one JSON object)'
  '{"text":"!0,1,2"}|1: no "t"'
  '{"t":1}|1: no "text"'
  '{"t":1.5,"text":"a"}\n{"t":1.499999,"text":"b"}|2: "t" is earlier than on the request before'
  '{"t":-1,"text":"a"}|1: "t" is negative'
  '{"t":"1","text":"a"}|1: "t" is not a number'
  '{"t":1,"text":7}|1: "text" is not a string'
  '{"t":1,"text":"\\u0100"}|1: "text" holds a character beyond \u00ff, which no byte stands for'
  "{\"t\":1,\"text\":\"$long\"}|1: \"text\" is 65508 bytes, longer than a datagram (65507)"
  '{"t":1,"text":"a"}\n{"format":3,"received":1}|2: the totals name format 3; this tool reads formats 1 and 2'
  '{"t":1,"text":"a"|1: cut short: the line ends inside its object'
  '{"t":1,"text":"a"} {}|1: text follows the JSON object (a line holds one object and nothing after it)'
  '{"t":NaN,"text":"a"}|1: not JSON at column 6: invalid literal (NaN and Infinity are no JSON numbers)'
  '{"t":1e400,"text":"a"}|1: the number '\''1e400'\'' is beyond what a double holds'
  '{"t":1,"text":"a","t":2}|1: the key "t" is given twice'
  '{"t":1,"accepted":true,"request":"display","rect":[0,0,9,9],"pixels":"eJwLAQ==","text":"!0,1,2"}|1: "rect" (0,0)-(9,9) is not the rectangle its request refreshes, (0,0)-(768,1024)'
)
# The pixels are decoded to check them where zlib is found (ZODM_PIXELS=0
# says this build has none).
if [[ ${ZODM_PIXELS:-1} == 1 ]]; then
  bad+=('{"t":1,"accepted":true,"request":"partial","xUp":0,"yUp":0,"xDown":1,"yDown":1,"rect":[0,0,1,1],"pixels":"eJwLAQ==","text":"!1,0,0,0,0,1,1"}|1: "pixels": zlib data cut short')
fi
start_listener "$work/quiet" --count 1
for case in "${bad[@]}"; do
  # shellcheck disable=SC2059  # the lines are the format, on purpose
  printf "${case%|*}" >"$work/bad.jsonl"
  for tool in screen send; do
    rc=0
    if [[ $tool == screen ]]; then
      "${screen[@]}" --replay "$work/bad.jsonl" >"$work/out" 2>"$work/err" || rc=$?
    else
      "${send[@]}" --replay "$work/bad.jsonl" >"$work/out" 2>"$work/err" || rc=$?
    fi
    want="zodm-$tool: $work/bad.jsonl:${case##*|}"
    [[ $rc == 2 && ! -s $work/out && $(cat "$work/err") == "$want" ]] ||
      fail "zodm-$tool: status $rc, said '$(head -c 300 "$work/err")', expected '$want'"
  done
done
# Nothing was sent: the first line the listener prints is the marker.
printf '!2,0' >/dev/udp/127.0.0.1/50555
wait_service
[[ $(cat "$work/quiet") == "dump argument=0" ]] ||
  fail "a bad recording sent something: $(head -n 3 "$work/quiet")"

# --- zodm-send --wait --replay waits for the service: with none there, it
# sends nothing and says so, status 1; a service started in the background
# just before gets every text.
printf '%s\n' '{"t":0,"text":"!0,1,1"}' '{"t":0.01,"text":"!2,1"}' >"$work/two"
rc=0
"${send[@]}" --wait=0 --replay "$work/two" >"$work/out" 2>"$work/err" || rc=$?
[[ $rc == 1 && $(cat "$work/err") == "zodm-send: --wait: no service bound"*"; nothing was sent" ]] ||
  fail "--wait --replay without a service: status $rc, said '$(cat "$work/err")'"
"${listen[@]}" --count 2 >"$work/waited" 2>/dev/null &
service=$!
"${send[@]}" --wait --replay "$work/two" --speed 0 ||
  fail "--wait --replay: exit status $?"
wait_service
[[ $(tr '\n' ' ' <"$work/waited") == "display priority=1 quality=1 dump argument=1 " ]] ||
  fail "--wait --replay: arrived $(cat "$work/waited")"

# --- zodm-send --replay into zodm-listen: every text, in order, and at
# --speed 2 the gaps between arrivals half the recorded ones. Each arrival,
# counted from the first, must be within 250 ms of its scaled recorded
# time: wide enough for a loaded two-core machine, narrow beside the gaps.
printf '%s\n' '{"t":3.000000,"text":"!0,1,1"}' '{"t":3.400000,"text":"!2,1"}' \
  '{"t":3.400000,"text":"!2,2"}' '{"t":4.200000,"text":"no bang"}' \
  '{"t":5.000000,"text":"!3,0"}' '{"format":1,"received":5}' >"$work/timed"
for speed in 2 0; do
  start_listener "$work/arrived" --json --count 5
  "${send[@]}" --replay "$work/timed" --speed "$speed" ||
    fail "zodm-send --replay --speed $speed: exit status $?"
  wait_service
  [[ $(grep -o '"text":"[^"]*"' "$work/arrived" | tr '\n' ' ') == \
    '"text":"!0,1,1" "text":"!2,1" "text":"!2,2" "text":"no bang" "text":"!3,0" ' ]] ||
    fail "--speed $speed: arrived $(cat "$work/arrived")"
  [[ $speed == 0 ]] && continue
  times() { grep -o '^{"t":[0-9.]*' "$1" | cut -d: -f2; }
  paste <(times "$work/timed") <(times "$work/arrived") | awk -v speed=2 '
    NR == 1 { r0 = $1; a0 = $2 }
    { off = ($2 - a0) - ($1 - r0) / speed
      if (off < -0.25 || off > 0.25) { bad = 1; printf "request %d %+.3f s; ", NR, off } }
    END { exit bad }' >"$work/gaps" || fail "--speed 2 gaps: $(cat "$work/gaps")"
done

passed replay
