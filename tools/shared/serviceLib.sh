# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Starting a display service and knowing, without sleeping, that it has
# bound its port (or, with --tap, that it watches): shared by the tools'
# end-to-end tests and the scripts that run a service (demo, check-install,
# check-deb). Sourced, not run.

service=
drain=

# start_service OUT PROGRAM ARGS...: runs PROGRAM ARGS in the background,
# standard output in OUT and standard error in OUT.err, and returns 0 once
# the library reports that it bound the port ("Bound successfully") or the
# service that it taps an interface ("TOOL: tapping IFACE for datagrams to
# UDP port 50555"). The service's process id is then in $service, and the
# rest of its standard error keeps going to OUT.err. Returns 1 when the
# service ended without binding or tapping; OUT.err says why, and its exit
# status is in rc.
# shellcheck disable=SC2034  # rc is for the caller
start_service() {
  local out=$1 line
  shift
  rm -f "$out.fifo" "$out.err"
  mkfifo "$out.fifo"
  "$@" >"$out" 2>"$out.fifo" &
  service=$!
  exec 3<"$out.fifo"
  while IFS= read -r line <&3; do
    printf '%s\n' "$line" >>"$out.err"
    if [[ $line == *"Bound successfully"* ||
      $line == *": tapping "*" for datagrams to UDP port "* ]]; then
      cat <&3 >>"$out.err" &
      drain=$!
      exec 3<&-
      return 0
    fi
  done
  exec 3<&-
  rc=0
  wait "$service" || rc=$?
  service=
  return 1
}

# wait_service: waits for the service to end and for the rest of its
# standard error; its exit status is then in rc.
# shellcheck disable=SC2034  # rc is for the caller
wait_service() {
  rc=0
  wait "$service" || rc=$?
  service=
  wait "$drain" || true
}
