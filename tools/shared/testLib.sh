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
