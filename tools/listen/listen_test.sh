#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# End-to-end test of the tools on loopback port 50555:
#   [ZODM_EMULATOR="qemu-arm -L /usr/arm-linux-gnueabihf"] \
#     listen_test.sh ZODM_SEND ZODM_LISTEN
# ZODM_EMULATOR, when set, runs the tools of a cross build.
# zodm-listen --count N receives what zodm-send sends; its lines are compared
# in order. Refused invocations of zodm-send run first, while the listener
# already waits: anything they sent would arrive first and shift every line.
set -euo pipefail

# shellcheck disable=SC2206  # the emulator's words are split on purpose
emulator=(${ZODM_EMULATOR:-})
send=("${emulator[@]}" "$1")
listen=("${emulator[@]}" "$2")
# shellcheck source=../shared/testLib.sh
source "$(dirname "$0")/../shared/testLib.sh"
# start_listener OUT ARGS...: runs zodm-listen ARGS in the background, output
# in OUT and standard error in OUT.err, and returns once it has bound the
# port.
start_listener() {
  start_service "$1" "${listen[@]}" "${@:2}" && return 0
  printf 'zodm-listen did not bind:\n%s\n' "$(cat "$1.err")" >&2
  exit 1
}

# sends BYTES: sends printf's expansion of BYTES as one raw datagram.
sends() {
  # shellcheck disable=SC2059  # the argument is the format, on purpose
  printf "$1" >"$work/datagram"
  cat "$work/datagram" >/dev/udp/127.0.0.1/50555
}

# expect_lines FILE EXPECTED...: FILE holds exactly the EXPECTED lines.
expect_lines() {
  local file=$1
  shift
  if ! diff -u <(printf '%s\n' "$@") "$file" >&2; then
    fail "unexpected lines in $(basename "$file")"
  fi
}

# --- zodm-send refuses bad arguments: exit status 2, nothing on stdout.
# "ARGUMENTS|first line of stderr contains"
bad=(
  "|no request given"
  "bogus 1|unknown request 'bogus'"
  "display 1|QUALITY missing"
  "display 1 2 3|surplus argument '3'"
  "display 1 2 -n|options go before the request name"
  "display 1 x|QUALITY: 'x' is not a decimal integer"
  "display 1 2x|'2x' is not a decimal integer"
  "erase 0x1|'0x1' is not a decimal integer"
  "erase 99999999999|out of range"
  "-x display 1 2|unknown option '-x'"
  "--no-such display 1 2|unknown option '--no-such'"
  "-s|option '-s' needs an argument"
  "display 4 0|PRIORITY 4 is outside 0..3"
  "display 0 -1|QUALITY -1 is outside 0..3"
  "erase 4|PRIORITY 4 is outside 0..3"
  "partial 0 0 769 0 10 10|XUP 769 is outside 0..768"
  "partial 0 0 0 1025 10 10|YUP 1025 is outside 0..1024"
  "partial 0 0 10 10 10 20|has no area"
  "partial 0 0 10 20 30 20|has no area"
)

# Accepted and refused requests: "zodm-send ARGUMENTS|line of zodm-listen".
good=(
  "display 1 2|display priority=1 quality=2"
  "partial 2 1 0 0 100 200|partial priority=2 quality=1 rect=(0,0)-(100,200)"
  "partial 0 3 768 1024 0 0|partial priority=0 quality=3 rect=(768,1024)-(0,0)"
  "erase 3|erase priority=3"
  "-s 127.0.0.1 erase 0|erase priority=0"
  "-s localhost display 0 3|display priority=0 quality=3"
  "--force display 7 9|refused \"!0,7,9\""
  "-f partial 0 0 10 10 10 20|refused \"!1,0,0,10,10,10,20\""
  "-f erase -1|refused \"!3,-1\""
)
# Raw datagrams the client never writes: "printf format|line".
raw=(
  '!2,7|dump argument=7'
  '!dmDisplayPartial,1,1,0,0,10,10|partial priority=1 quality=1 rect=(0,0)-(10,10)'
  'x"\\\001\n\377\000z|refused "x\"\\\x01\n\xff\x00z" (cut at a NUL; 1 byte followed)'
  '!0,1\000,2|display priority=1 quality=0 (cut at a NUL; 2 bytes followed)'
)

start_listener "$work/text" --count $((${#good[@]} + ${#raw[@]}))

for case in "${bad[@]}"; do
  args=${case%%|*} want=${case#*|}
  rc=0
  # shellcheck disable=SC2086  # the arguments are split on purpose
  "${send[@]}" $args >"$work/out" 2>"$work/err" || rc=$?
  [[ $rc == 2 ]] || fail "zodm-send $args: exit status $rc, expected 2"
  [[ -s $work/out ]] && fail "zodm-send $args: printed $(cat "$work/out")"
  [[ $(head -n 1 "$work/err") == "zodm-send: "*"$want"* ]] ||
    fail "zodm-send $args: said '$(head -n 1 "$work/err")', expected '$want'"
done
# Argument errors show the usage too; refused values say how to force them.
[[ $("${send[@]}" display 1 2>&1) == *$'\nUsage: zodm-send '* ]] ||
  fail "no usage after an argument error"
[[ $("${send[@]}" display 4 0 2>&1) == *--force* ]] ||
  fail "a refused value does not mention --force"
# An IPv6 address cannot be used (status 1), and it is said why.
rc=0
"${send[@]}" -s ::1 display 1 2 2>"$work/err" || rc=$?
[[ $rc == 1 && $(cat "$work/err") == \
  "zodm-send: ::1 is an IPv6 address; only IPv4 is supported" ]] ||
  fail "zodm-send -s ::1: status $rc, said '$(cat "$work/err")'"

# Dry runs print the text and send nothing.
[[ $("${send[@]}" -n partial 2 1 0 0 100 200) == '!1,2,1,0,0,100,200' ]] ||
  fail "dry run of a partial update"
[[ $("${send[@]}" --dry-run --force display -1 7) == '!0,-1,7' ]] ||
  fail "forced dry run"

# A second service cannot take the port.
rc=0
"${listen[@]}" --count 1 >/dev/null 2>"$work/busy" || rc=$?
[[ $rc == 1 ]] || fail "second zodm-listen: exit status $rc, expected 1"
# In one line: the library's perror line is not passed on.
[[ $(cat "$work/busy") == \
  "zodm-listen: port 50555 is already in use (is another display service running?)" ]] ||
  fail "second zodm-listen did not say in one line that the port is in use: $(cat "$work/busy")"

expected=()
for case in "${good[@]}"; do
  # shellcheck disable=SC2086
  "${send[@]}" ${case%%|*} || fail "zodm-send ${case%%|*}: exit status $?"
  expected+=("${case#*|}")
done
for case in "${raw[@]}"; do
  sends "${case%%|*}"
  expected+=("${case#*|}")
done
wait_service
[[ $rc == 0 ]] || fail "zodm-listen --count: exit status $rc"
expect_lines "$work/text" "${expected[@]}"
[[ $(tail -n 1 "$work/text.err") == \
   "zodm-listen: received 13, accepted 9, refused 4, dropped 0" ]] ||
  fail "summary: $(tail -n 1 "$work/text.err")"

# --- JSON, on every address: 127.0.0.2 reaches it too.
start_listener "$work/json" --json --all --count 4
"${send[@]}" -s 127.0.0.2 partial 2 1 0 0 100 200
sends '!dmDump,-5'
"${send[@]}" -f erase 9
sends 'x"\\\001\n\377\000z'
wait_service
# Each line's time ("t", seconds with six decimals) grows; the rest is exact.
times=$(grep -o '^{"t":[0-9]*\.[0-9]\{6\},' "$work/json" | tr -dc '0-9.\n')
[[ $(wc -l <<<"$times") == 4 && $times == "$(sort -n <<<"$times")" ]] ||
  fail "--json times: $times"
sed -i 's/^{"t":[0-9.]*,/{/' "$work/json"
expect_lines "$work/json" \
  '{"accepted":true,"request":"partial","priority":2,"quality":1,"xUp":0,"yUp":0,"xDown":100,"yDown":200,"text":"!1,2,1,0,0,100,200"}' \
  '{"accepted":true,"request":"dump","argument":-5,"text":"!dmDump,-5"}' \
  '{"accepted":false,"text":"!3,9"}' \
  '{"accepted":false,"text":"x\"\\\u0001\n\u00ff\u0000z","after_nul":1}' \
  '{"format":1,"received":4,"accepted":2,"refused":2,"dropped":0}'

# --- SIGINT and SIGTERM end the listener cleanly, with its summary.
for signal in INT TERM; do
  start_listener "$work/signal"
  kill -s "$signal" "$service"
  wait_service
  [[ $rc == 0 ]] || fail "SIG$signal: exit status $rc"
  [[ $(tail -n 1 "$work/signal.err") == \
     "zodm-listen: received 0, accepted 0, refused 0, dropped 0" ]] ||
    fail "SIG$signal: no summary"
done

# --- Stopped while a burst arrives, then let go on: the kernel drops what
# the small buffer cannot hold, and the listener says exactly how many.
start_listener "$work/drops" --buffer 4096
burst_while_stopped "$work/drops" 500
[[ $(wc -l <"$work/drops") == "$received" ]] ||
  fail "drops: $(wc -l <"$work/drops") lines for $received received"

# --- A buffer beyond net.core.rmem_max, without CAP_NET_ADMIN: the kernel
# gives less, and the listener says so in one line.
without_admin=()
((EUID == 0)) && without_admin=(setpriv --inh-caps=-all --bounding-set=-net_admin --)
if ((EUID != 0)) || command -v setpriv >/dev/null; then
  start_service "$work/buffer" "${without_admin[@]}" "${listen[@]}" \
    --buffer 1073741823 || fail "--buffer: $(cat "$work/buffer.err")"
  kill -s TERM "$service"
  wait_service
  grep -Eq '^zodm-listen: --buffer: the kernel gave [0-9]+ of the 1073741823 bytes asked for \(net.core.rmem_max; more needs CAP_NET_ADMIN\)$' \
    "$work/buffer.err" || fail "--buffer: $(cat "$work/buffer.err")"
fi

# --- zodm-listen's bad arguments, help and version.
for args in "--count 0" "--count x" "--count" "extra" "--no-such" \
  "--buffer 0" "--buffer 1073741824" "--buffer 1k"; do
  rc=0
  # shellcheck disable=SC2086
  "${listen[@]}" $args >/dev/null 2>"$work/err" || rc=$?
  [[ $rc == 2 && $(head -n 1 "$work/err") == "zodm-listen: "* ]] ||
    fail "zodm-listen $args: exit status $rc, said '$(head -n 1 "$work/err")'"
done
[[ $("${listen[@]}" --count 99999999999999999999 2>&1 | head -n 1) == \
  "zodm-listen: --count: '99999999999999999999' is too large"* ]] ||
  fail "--count beyond 64 bits is not said to be too large"
# A build without libpcap refuses --tap in one line that says what to
# install (ZODM_TAP=0 says this build is one).
if [[ ${ZODM_TAP:-1} == 0 ]]; then
  rc=0
  "${listen[@]}" --tap >/dev/null 2>"$work/err" || rc=$?
  [[ $rc == 1 && $(cat "$work/err") == \
    "zodm-listen: --tap: this zodm-listen was built without libpcap, so it cannot watch an interface (install libpcap-dev, then configure and build again)" ]] ||
    fail "--tap without libpcap: status $rc, said '$(cat "$work/err")'"
fi
for tool in "$1" "$2"; do
  "${emulator[@]}" "$tool" --help | grep '^Usage: ' >/dev/null || fail "$tool --help"
  [[ $("${emulator[@]}" "$tool" --version) == *"(libzodm) "[0-9]* ]] ||
    fail "$tool --version"
done

passed tools
