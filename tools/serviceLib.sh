# shellcheck shell=bash
# Starting a display service and knowing, without sleeping, that it has
# bound its port: shared by the tools' end-to-end tests and the scripts that
# run a service (demo, check-install, check-deb). Sourced, not run.

service=
drain=

# start_service OUT PROGRAM ARGS...: runs PROGRAM ARGS in the background,
# standard output in OUT and standard error in OUT.err, and returns 0 once
# the library reports that it bound the port ("Bound successfully"). The
# service's process id is then in $service, and the rest of its standard
# error keeps going to OUT.err. Returns 1 when the service ended without
# binding; OUT.err says why.
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
    if [[ $line == *"Bound successfully"* ]]; then
      cat <&3 >>"$out.err" &
      drain=$!
      exec 3<&-
      return 0
    fi
  done
  exec 3<&-
  wait "$service" || true
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
