#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# End-to-end test of --tap, in a network namespace of its own:
#   [ZODM_EMULATOR="qemu-arm -L /usr/arm-linux-gnueabihf"] \
#     tap_test.sh ZODM_SEND ZODM_LISTEN [ZODM_SCREEN]
# A bound zodm-listen holds 127.0.0.1:50555 and counts what it receives, as
# a display service would, while zodm-listen --tap (lo, text), zodm-listen
# --tap=any --json and zodm-screen --tap lo watch; zodm-send and raw
# datagrams feed them all. Every tap must show exactly the lines of what was
# sent to the port, and the holder must have received all of it.
# Exit status 77 (skipped) when no namespace can be made, or when the tools
# run under an emulator that cannot capture packets (qemu-user).
set -euo pipefail

skip() {
  printf 'SKIPPED: %s\n' "$*"
  exit 77
}

# Into a network namespace of its own: as root, or as a user through a user
# namespace, which gives CAP_NET_RAW over the new network namespace. Nothing
# outside it sees these datagrams or this port.
if [[ ${ZODM_TAP_NETNS:-} != 1 ]]; then
  export ZODM_TAP_NETNS=1
  for how in -n -rn; do
    if unshare "$how" true 2>/dev/null; then
      exec unshare "$how" bash "$0" "$@"
    fi
  done
  skip "cannot make a network namespace (needs root or user namespaces)"
fi
command -v ip >/dev/null || skip "ip is missing (package iproute2)"
ip link set lo up

# shellcheck disable=SC2206  # the emulator's words are split on purpose
emulator=(${ZODM_EMULATOR:-})
send=("${emulator[@]}" "$1")
listen=("${emulator[@]}" "$2")
screen=()
[[ -n ${3:-} ]] && screen=("${emulator[@]}" "$3")
# shellcheck source=../testLib.sh
source "$(dirname "$0")/../testLib.sh"
holder=
trap '[[ -n $holder ]] && kill "$holder" 2>/dev/null; cleanup' EXIT

# expect_lines FILE EXPECTED...: FILE holds exactly the EXPECTED lines.
expect_lines() {
  local file=$1
  shift
  diff -u <(printf '%s\n' "$@") "$file" >&2 ||
    fail "unexpected lines in $(basename "$file")"
}

# --- Arguments: "ARGUMENTS|exit status|standard error contains".
cases=(
  "--tap --all|2|--all and --tap do not go together"
  "--all --tap=lo|2|--all and --tap do not go together"
  "--tap=|2|the interface name is empty"
  "--tap lo extra|2|unexpected argument 'extra'"
)
for case in "${cases[@]}"; do
  IFS='|' read -r args want said <<<"$case"
  rc=0
  # shellcheck disable=SC2086  # the arguments are split on purpose
  "${listen[@]}" $args >/dev/null 2>"$work/err" || rc=$?
  [[ $rc == "$want" && $(head -n 1 "$work/err") == *"$said"* ]] ||
    fail "zodm-listen $args: status $rc, said '$(head -n 1 "$work/err")'"
done
"${listen[@]}" --help | grep -- '--tap' >/dev/null || fail "--help does not show --tap"

# --- Can the tools capture here at all? Under qemu-user they cannot: it
# emulates neither the packet socket options nor the ethtool requests that
# libpcap makes. The tap must then fail in one line with status 1.
if ! start_service "$work/probe" "${listen[@]}" --tap; then
  if ((${#emulator[@]} > 0)) && [[ $rc == 1 ]] &&
    [[ $(wc -l <"$work/probe.err") == 1 ]] &&
    grep -q '^zodm-listen: cannot tap lo: ' "$work/probe.err"; then
    skip "no packet capture under ${emulator[0]}: $(cat "$work/probe.err")"
  fi
  fail "zodm-listen --tap did not start: $(cat "$work/probe.err")"
  passed tap
fi
# SIGTERM ends a tap cleanly, with its summary.
kill -s TERM "$service"
wait_service
[[ $rc == 0 && $(tail -n 1 "$work/probe.err") == \
  "zodm-listen: received 0, accepted 0, refused 0, dropped 0" ]] ||
  fail "SIGTERM: status $rc, $(tail -n 1 "$work/probe.err")"

# --- Without the capability: one line naming it and how to grant it.
if command -v setpriv >/dev/null; then
  rc=0
  setpriv --inh-caps=-all --bounding-set=-net_raw -- "${listen[@]}" --tap \
    >/dev/null 2>"$work/err" || rc=$?
  if [[ $rc != 1 || $(wc -l <"$work/err") != 1 ]] ||
    ! grep -q 'CAP_NET_RAW.*root.*setcap cap_net_raw+ep ' "$work/err"; then
    fail "without CAP_NET_RAW: status $rc, said '$(cat "$work/err")'"
  fi
fi
rc=0
"${listen[@]}" --tap no-such0 >/dev/null 2>"$work/err" || rc=$?
if [[ $rc != 1 ]] ||
  ! grep -q 'cannot tap no-such0: there is no such interface' "$work/err"; then
  fail "unknown interface: status $rc, said '$(cat "$work/err")'"
fi

# --- The holder and the taps, fed by zodm-send and raw datagrams.
# "zodm-send arguments, or raw:printf format|line|JSON line"; BIG stands
# for 60,000 bytes of surplus field, which the parser ignores.
requests=(
  'display 1 2|display priority=1 quality=2|{"accepted":true,"request":"display","priority":1,"quality":2,"text":"!0,1,2"}'
  'partial 2 1 0 0 100 200|partial priority=2 quality=1 rect=(0,0)-(100,200)|{"accepted":true,"request":"partial","priority":2,"quality":1,"xUp":0,"yUp":0,"xDown":100,"yDown":200,"text":"!1,2,1,0,0,100,200"}'
  '--force display 7 9|refused "!0,7,9"|{"accepted":false,"text":"!0,7,9"}'
  'raw:x"\\\001\377z|refused "x\"\\\x01\xffz"|{"accepted":false,"text":"x\"\\\u0001\u00ffz"}'
  'raw:!3,2,BIG|erase priority=2|{"accepted":true,"request":"erase","priority":2,"text":"!3,2,BIG"}'
  'erase 3|erase priority=3|{"accepted":true,"request":"erase","priority":3,"text":"!3,3"}'
)
big=$(printf '%*s' 60000 '' | tr ' ' x)
n=${#requests[@]}

if ! start_service "$work/holder" "${listen[@]}" --count "$n"; then
  fail "the holder did not bind: $(cat "$work/holder.err")"
  passed tap
fi
holder=$service holder_drain=$drain
taps=()
# start_tap NAME ARGS...: starts a tap whose output is $work/NAME; timeout
# ends it with SIGTERM, so a lost datagram shows as a missing line.
start_tap() {
  start_service "$work/$1" timeout 60 "${@:2}" ||
    fail "$1 did not start: $(cat "$work/$1.err")"
  taps+=("$1:$service:$drain")
}
start_tap lo "${listen[@]}" --tap --count "$n"
start_tap any "${listen[@]}" --tap=any --json --count "$n"
((${#screen[@]} > 0)) && start_tap screen "${screen[@]}" --tap lo --count "$n"

expected=() json=()
for case in "${requests[@]}"; do
  IFS='|' read -r request line object <<<"$case"
  if [[ $request == raw:* ]]; then
    request=${request#raw:}
    # shellcheck disable=SC2059  # the request is the format, on purpose
    printf "${request/BIG/$big}" >"$work/datagram"
    cat "$work/datagram" >/dev/udp/127.0.0.1/50555
  else
    # shellcheck disable=SC2086  # the arguments are split on purpose
    "${send[@]}" $request
  fi
  expected+=("$line") json+=("${object/BIG/$big}")
  # Not to the port: no tap may show it.
  printf '!0,0,0' >/dev/udp/127.0.0.1/50556
done

service=$holder drain=$holder_drain holder=
wait_service
[[ $rc == 0 ]] || fail "the holder: exit status $rc"
expect_lines "$work/holder" "${expected[@]}"
for tap in "${taps[@]}"; do
  IFS=: read -r name service drain <<<"$tap"
  wait_service
  [[ $rc == 0 ]] || fail "tap $name: exit status $rc"
  if [[ $name == any ]]; then
    # The capture's times grow; the rest is exact.
    times=$(grep -o '^{"t":[0-9]*\.[0-9]\{6\},' "$work/$name" | tr -dc '0-9.\n')
    [[ $(wc -l <<<"$times") == "$n" && $times == "$(sort -n <<<"$times")" ]] ||
      fail "tap $name: times $times"
    sed -i 's/^{"t":[0-9.]*,/{/' "$work/$name"
    expect_lines "$work/$name" "${json[@]}" \
      "{\"format\":1,\"received\":$n,\"accepted\":4,\"refused\":2,\"dropped\":0}"
  else
    expect_lines "$work/$name" "${expected[@]}"
  fi
  grep -q "^zodm-[a-z]*: received $n, accepted 4, refused 2, dropped 0\$" \
    "$work/$name.err" || fail "tap $name: no summary: $(cat "$work/$name.err")"
  grep -q ": tapped [a-z]*: skipped 0 frames\$" \
    "$work/$name.err" || fail "tap $name: $(grep tapped "$work/$name.err")"
done

# --- A tap stopped while a burst arrives, its capture buffer as small as
# libpcap allows: what the capture dropped is counted under the same word.
if start_service "$work/holder" "${listen[@]}"; then
  holder=$service holder_drain=$drain
  start_service "$work/small" "${listen[@]}" --tap --buffer 1 ||
    fail "the small tap did not start: $(cat "$work/small.err")"
  burst_while_stopped "$work/small" 300
  kill -s TERM "$holder"
  service=$holder drain=$holder_drain holder=
  wait_service
else
  fail "the second holder did not bind: $(cat "$work/holder.err")"
fi

passed tap
