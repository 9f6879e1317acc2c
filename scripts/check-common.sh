# SPDX-License-Identifier: MIT
# shellcheck shell=bash disable=SC2154  # check_name and work: the caller's
# Shell functions shared by check-install and check-deb, which check an
# installed libzodm tree the way a user meets it. Sourced, not run. The
# caller sets check_name (for messages) and work (a temporary directory it
# removes), and kills $service, if set, when it exits.

# shellcheck source=tools/shared/serviceLib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../tools/shared/serviceLib.sh"

say() { printf '%s: %s\n' "$check_name" "$*"; }
die() {
  printf '%s: FAILED: %s\n' "$check_name" "$*" >&2
  exit 1
}

# build_examples PREFIX LIBDIR: builds examples/ against the tree at PREFIX
# (libraries in LIBDIR) through pkg-config into $work/pc and through
# find_package into $work/cm, from a copy, and checks that both builds used
# that tree's header and library and nothing else.
build_examples() {
  local prefix=$1 libdir=$2 header loaded dir
  local strict='-O2 -Wall -Wextra -pedantic -Werror'
  rm -rf "$work/examples" "$work/pc" "$work/cm"
  cp -R examples "$work/examples"
  unset LD_LIBRARY_PATH CPATH C_INCLUDE_PATH LIBRARY_PATH

  say "building the examples through pkg-config"
  mkdir "$work/pc"
  PKG_CONFIG_LIBDIR=$libdir/pkgconfig PKG_CONFIG_PATH='' \
    make -s -C "$work/pc" -f "$work/examples/Makefile" CFLAGS="$strict" ||
    die "pkg-config build of the examples"
  header=$(PKG_CONFIG_LIBDIR=$libdir/pkgconfig PKG_CONFIG_PATH='' \
    bash -c 'cc -M $(pkg-config --cflags zodm) "$1"' _ \
    "$work/examples/client.c" | grep -o '[^ ]*zodm\.h')
  [[ $(realpath "$header") == "$prefix/include/zodm.h" ]] ||
    die "pkg-config build used $header"

  say "building the examples through find_package"
  cmake -S "$work/examples" -B "$work/cm" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
    -DCMAKE_C_FLAGS="$strict" >"$work/cm.log" ||
    die "configuring the examples: $(cat "$work/cm.log")"
  cmake --build "$work/cm" >>"$work/cm.log" ||
    die "building the examples: $(cat "$work/cm.log")"
  [[ $(grep '^zodm_DIR:' "$work/cm/CMakeCache.txt") == \
     "zodm_DIR:PATH=$libdir/cmake/zodm" ]] ||
    die "find_package found $(grep '^zodm_DIR:' "$work/cm/CMakeCache.txt")"
  header=$(ninja -C "$work/cm" -t deps | grep 'zodm\.h$' | sort -u | xargs)
  [[ $(realpath "$header") == "$prefix/include/zodm.h" ]] ||
    die "find_package build used $header"

  for dir in "$work/pc" "$work/cm"; do
    loaded=$(ldd "$dir/example-client" |
      awk '$1 == "libzodm.so.2" { print $3 }')
    [[ -n $loaded && $(realpath "$loaded") == "$libdir/libzodm.so.2" ]] ||
      die "$dir/example-client loads libzodm.so.2 from '$loaded'"
  done
}

# start_bound OUT PROGRAM ARGS...: start_service, failing the check when the
# service does not bind.
start_bound() {
  start_service "$@" && return 0
  if grep -q 'already in use' "$1.err"; then
    die "port 50555 is busy: another display service or test is using it"
  fi
  die "$2 did not bind port 50555: $(cat "$1.err")"
}

# finish_service OUT EXPECTED...: waits for the service; OUT must hold
# exactly the EXPECTED lines.
finish_service() {
  local out=$1
  shift
  wait_service
  [[ $rc == 0 ]] || die "the service ended with status $rc"
  diff -u <(printf '%s\n' "$@") "$out" >&2 || die "unexpected service output"
}

# run_examples DIR...: runs example-service and example-client of each build
# directory together on loopback.
run_examples() {
  local dir
  for dir in "$@"; do
    say "running the examples built in $(basename "$dir")"
    start_bound "$dir/out" "$dir/example-service" 3
    "$dir/example-client" || die "example-client failed"
    finish_service "$dir/out" \
      'full update: priority 1, quality 2' \
      'partial update: priority 2, quality 1, (0,0)-(100,200)' \
      'erase to white: priority 3'
  done
}

# run_listen_against_client LISTEN: runs the zodm-listen program LISTEN
# against the find_package build of example-client.
run_listen_against_client() {
  say "running $1 against example-client"
  start_bound "$work/listen" "$1" --count 3
  "$work/cm/example-client" 127.0.0.1 || die "example-client failed"
  finish_service "$work/listen" \
    'display priority=1 quality=2' \
    'partial priority=2 quality=1 rect=(0,0)-(100,200)' \
    'erase priority=3'
}

# check_pages PAGE...: each manual page (plain or compressed, or a link to
# one) renders with man -l, as lintian renders it, without a warning.
check_pages() {
  local page warnings
  for page in "$@"; do
    [[ -e $page ]] || die "manual page $page is missing or a broken link"
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 \
      -Z "$page" 2>&1 >/dev/null) || die "man -l $page failed: $warnings"
    [[ -z $warnings ]] || die "man -l $page warns: $warnings"
  done
  say "$# manual pages render without warnings"
}
