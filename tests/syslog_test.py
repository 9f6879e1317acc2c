#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Diagnostics reach a real syslog receiver, and standard error, alike.

    syslog_test.py EMITTER [EMULATOR WORDS...]

Re-runs itself in a private mount namespace, where /dev/log is a datagram
socket of its own (the machine's is untouched), and runs EMITTER (built from
diagnostic_sinks.c), which writes four diagnostics. Checks the priorities
syslog gives them (<11> for E, <12> for W: LOG_USER, no facility of the
library's), that syslog got every one and exactly the bytes standard error
got, that a 65,507-byte text is shown whole and that a 300,000-byte one is
cut and marked. Exits 77 (skipped) where no mount namespace can be made.
"""
import os
import re
import socket
import subprocess
import sys
import threading

SKIP = 77
INSIDE = "ZODM_SYSLOG_TEST_NAMESPACE"


def enter_namespace():
    # Real root makes the namespace directly; anyone else through a user
    # namespace of their own. The mount namespace it runs in is passed on,
    # so the re-run can make sure it is in another one before mounting.
    flags = ["-m", "--propagation", "private"]
    if os.geteuid() != 0:
        flags.insert(0, "-r")
    env = dict(os.environ, **{INSIDE: os.readlink("/proc/self/ns/mnt")})
    try:
        result = subprocess.run(["unshare", *flags, sys.executable, *sys.argv],
                                env=env)
    except FileNotFoundError:
        print("skipped: unshare is missing (package util-linux)")
        return SKIP
    return result.returncode


def own_dev_log():
    """Mounts an empty /dev over the machine's, in this mount namespace only,
    with a datagram socket at /dev/log, and returns the socket. Nothing of
    the machine's /dev is reachable from it, so nothing can touch it."""
    if os.readlink("/proc/self/ns/mnt") == os.environ[INSIDE]:
        raise OSError("not in a mount namespace of its own")
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", "/dev"],
                   check=True)
    os.symlink("/proc/self/fd", "/dev/fd")
    receiver = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    receiver.bind("/dev/log")
    return receiver


def main():
    if INSIDE not in os.environ:
        return enter_namespace()
    emitter = sys.argv[2:] + sys.argv[1:2]
    try:
        receiver = own_dev_log()
    except (OSError, subprocess.CalledProcessError) as error:
        print(f"skipped: no /dev/log of the test's own: {error}")
        return SKIP
    logged = []
    receiver.settimeout(5)

    def receive():
        try:
            while len(logged) < 4:
                logged.append(receiver.recv(1 << 20))
        except socket.timeout:
            pass

    reader = threading.Thread(target=receive)
    reader.start()
    run = subprocess.run(emitter, stderr=subprocess.PIPE)
    reader.join()

    failures = []

    def expect(condition, what):
        if not condition:
            failures.append(what)

    expect(run.returncode == 0, f"the emitter ended with {run.returncode}")
    expect(len(logged) == 4, f"syslog got {len(logged)} of 4 diagnostics")
    header = re.compile(rb"<(\d+)>[A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d "
                        rb"[^ :\[]+(\[\d+\])?: ", re.S)
    priorities, messages = [], []
    for datagram in logged:
        match = header.match(datagram)
        expect(match is not None, f"no syslog header in {datagram[:80]!r}")
        if match:
            priorities.append(int(match.group(1)))
            messages.append(datagram[match.end():])
    expect(priorities == [11, 12, 11, 11],
           f"priorities {priorities}, expected [11, 12, 11, 11]")
    expect(b"".join(messages) == run.stderr,
           "syslog and standard error got different bytes")
    if len(messages) == 4:
        shown = rb"\(E\)zodmServer:\d+,dmParseMessage\(\) Command should " \
                rb"start with '!'\. \("
        expect(re.fullmatch(shown + rb"no bang\)\n", messages[0]),
               f"first diagnostic {messages[0]!r}")
        expect(re.fullmatch(rb"\(W\)zodmServer:\d+,dmValidateCommand\(\) "
                            rb"Dump command not yet validated\n", messages[1]),
               f"second diagnostic {messages[1]!r}")
        expect(re.fullmatch(shown + b"x" * 65507 + rb"\)\n", messages[2]),
               "the 65,507-byte text is not shown whole")
        expect(re.fullmatch(shown + b"x" * 65536 +
                            rb"\[cut: 234464 more bytes\]\)\n", messages[3]),
               f"the 300,000-byte text is not cut as expected: "
               f"{messages[3][:60]!r}...{messages[3][-60:]!r}")
    for failure in failures:
        print(f"FAILED: {failure}")
    if not failures:
        print("syslog and standard error got the same four diagnostics")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
