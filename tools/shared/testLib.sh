# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by the tools' end-to-end tests: a scratch directory $work, removed
# at exit together with the background process whose id is in $service, and
# failure counting that lets every check run before the test fails.
work=$(mktemp -d)
failures=0
# shellcheck source=serviceLib.sh
source "$(dirname "${BASH_SOURCE[0]}")/serviceLib.sh"

cleanup() {
  [[ -n $service ]] && kill "$service" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
  printf 'FAIL: %s\n' "$*" >&2
  failures=$((failures + 1))
}

# passed NAME: exits 1 if a check failed, else says NAME passed.
passed() {
  if ((failures > 0)); then
    printf '%d check(s) failed\n' "$failures" >&2
    exit 1
  fi
  echo "$1: all checks passed"
}

# burst_while_stopped OUTPUT COUNT: stops $service, sends it COUNT requests
# "!0,1,2" (more than a small buffer holds), lets it go on and sends the
# marker "!2,7" until OUTPUT ends with its line, so that every datagram
# before it was read or dropped; then ends $service. Sets sent, received
# and dropped from its closing line, or fails with NAME ($(basename OUTPUT)).
burst_while_stopped() {
  local output=$1 name summary pattern i
  name=$(basename "$output")
  kill -s STOP "$service"
  exec 4>/dev/udp/127.0.0.1/50555
  sent=$2
  for ((i = 0; i < sent; i++)); do printf '!0,1,2' >&4; done
  kill -s CONT "$service"
  for _ in $(seq 200); do
    printf '!2,7' >&4
    sent=$((sent + 1))
    sleep 0.05
    [[ $(tail -n 1 "$output") == "dump argument=7" ]] && break
  done
  exec 4>&-
  kill -s TERM "$service"
  wait_service
  summary=$(tail -n 1 "$output.err")
  pattern='^zodm-listen: received ([0-9]+), accepted [0-9]+, refused 0, dropped ([0-9]+)$'
  received=0 dropped=0
  if [[ $summary =~ $pattern ]]; then
    received=${BASH_REMATCH[1]} dropped=${BASH_REMATCH[2]}
    echo "$name: stopped during a burst: sent $sent, received $received, dropped $dropped"
    ((received + dropped == sent && dropped > 0)) ||
      fail "$name: received $received + dropped $dropped of $sent sent"
  else
    fail "$name: summary '$summary'"
  fi
}
