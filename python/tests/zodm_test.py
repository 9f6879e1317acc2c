# SPDX-License-Identifier: MIT
"""The binding against the library of the build tree (LD_LIBRARY_PATH), with
requests sent and received through real loopback sockets on port 50555."""

import errno
import os
import selectors
import socket
import subprocess
import sys
import textwrap

import pytest

import zodm


@pytest.fixture
def server():
    with zodm.Server() as bound:
        yield bound


def receive_text(server):
    received = server.receive(timeout=2)
    assert received is not None, "nothing arrived"
    return received


def test_library_loaded_by_soname():
    assert zodm.lib._name == (os.environ.get("ZODM_LIBRARY") or
                              "libzodm.so.2")
    port = zodm.ctypes.c_int32()
    assert zodm.lib.dmGetServerPort(zodm.ctypes.byref(port)) == 0
    assert port.value == zodm.SERVER_PORT


@pytest.mark.parametrize("send, arguments, text, command", [
    (zodm.display, (1, 2), b"!0,1,2", zodm.Command(zodm.DISPLAY, 1, 2)),
    (zodm.partial, (2, 1, 0, 0, 100, 200), b"!1,2,1,0,0,100,200",
     zodm.Command(zodm.DISPLAY_PARTIAL, 2, 1, 0, 0, 100, 200)),
    (zodm.partial, (0, 3, 768, 1024, 0, 0), b"!1,0,3,768,1024,0,0",
     zodm.Command(zodm.DISPLAY_PARTIAL, 0, 3, 768, 1024, 0, 0)),
    (zodm.erase, (3,), b"!3,3", zodm.Command(zodm.ERASE_TO_WHITE, 3)),
])
def test_requests_round_trip(server, send, arguments, text, command):
    send(*arguments)
    received = receive_text(server)
    assert received.text == text
    assert received.accepted and received.command == command
    assert zodm.frame(command) == text.decode()
    assert zodm.parse(text) == command


@pytest.mark.parametrize("text, diagnostic", [
    (b"!0,7,9", "dmValidateCommand() priority out of range (7)"),
    (b"0,1,2", "dmParseMessage() Command should start with '!'. (0,1,2)"),
    (b"!bogus,1", "dmParseMessage() Command bogus"),
    (b"!1,0,0,10,10,10,20", "Trying to do a partial update of a line"),
    (b"!1,0,0,769,0,10,10", "dmValidateCommand() Invalid coordinate xUp (769)"),
])
def test_refusals_carry_the_diagnostics(server, text, diagnostic):
    with pytest.raises(zodm.RequestRefused) as refused:
        zodm.parse(text)
    assert refused.value.text == text
    assert any(diagnostic in line for line in refused.value.diagnostics)
    assert refused.value.diagnostics[-1].startswith("(E)zodmServer:")
    # The service side sees the same refusal.
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        sender.sendto(text, ("127.0.0.1", zodm.SERVER_PORT))
    received = receive_text(server)
    assert not received.accepted
    assert received.text == text
    assert received.diagnostics == refused.value.diagnostics


@pytest.mark.parametrize("call, arguments, error", [
    (zodm.display, (1, "2"), TypeError),
    (zodm.display, (1.0, 2), TypeError),
    (zodm.display, (True, 2), TypeError),
    (zodm.display, (2**31, 0), ValueError),
    (zodm.erase, (-2**31 - 1,), ValueError),
    (zodm.partial, (0, 0, 0, 0, 10, None), TypeError),
    (zodm.partial, (0, 0, 0, 0, 10, 2**40), ValueError),
    (zodm.frame, ("!0,1,2",), TypeError),
    (zodm.frame, (zodm.Command(zodm.DUMP, 7),), ValueError),
    (zodm.frame, (zodm.Command(zodm.DISPLAY, 2**31),), ValueError),
    (zodm.parse, (42,), TypeError),
    (zodm.parse, ("!0,1,2\0",), ValueError),
    (zodm.init, ("localhost",), ValueError),
    (zodm.init, ("127.0.0.1\0",), ValueError),
])
def test_bad_arguments_raise_before_sending(server, call, arguments, error):
    with pytest.raises(error):
        call(*arguments)
    assert server.receive(timeout=0.2) is None


@pytest.mark.parametrize("loopback_only", [None, 0, 1, 2, "yes"])
def test_server_takes_a_boolean_only(loopback_only):
    with pytest.raises(TypeError, match="^loopback_only must be True or False"):
        zodm.Server(loopback_only)


@pytest.mark.parametrize("timeout, error", [
    ("1", TypeError), (True, TypeError), (-1, ValueError),
    (float("inf"), ValueError), (float("nan"), ValueError),
])
def test_receive_names_a_bad_timeout(server, timeout, error):
    with pytest.raises(error, match="^timeout must be a "):
        server.receive(timeout)


def test_receive_after_close_and_through_a_selector():
    with zodm.Server() as bound, selectors.DefaultSelector() as selector:
        assert bound.receive(0) is None
        selector.register(bound.fileno(), selectors.EVENT_READ)
        zodm.erase(2)
        assert selector.select(timeout=2), "the socket never became readable"
        assert bound.receive(0).text == b"!3,2"
    bound.close()
    assert bound.fileno() == -1
    for call in (bound.receive, lambda: next(iter(bound))):
        with pytest.raises(ValueError, match="^closed$"):
            call()


# Another thread writes to standard error, through sys.stderr and straight
# to descriptor 2, all the while the main thread has diagnostics captured.
WRITER = textwrap.dedent('''
    import os, sys, threading, time, zodm
    if sys.argv[1] == "descriptor":
        zodm._stderr_pointer = None
    started, done = threading.Event(), threading.Event()
    def write():
        for n in range(200):
            time.sleep(0.001)
            if n % 2:
                os.write(2, b"line %d\\n" % n)
            else:
                sys.stderr.write("line %d\\n" % n)
            started.set()
        done.set()
    threading.Thread(target=write).start()
    started.wait()
    while not done.is_set():
        try:
            zodm.parse("!0,7,9")
        except zodm.RequestRefused as refused:
            print(repr(refused.diagnostics))
''')


@pytest.mark.parametrize("capture", ["stream", "descriptor"])
def test_capture_loses_nothing_another_thread_writes(capture):
    result = subprocess.run([sys.executable, "-c", WRITER, capture],
                            capture_output=True, text=True, check=True)
    written = [line for line in result.stderr.splitlines()
               if line.startswith("line ")]
    if capture == "descriptor":  # passed on by a thread: maybe later
        written.sort(key=lambda line: int(line.split()[1]))
    assert written == [f"line {n}" for n in range(200)]
    for line in result.stdout.splitlines():
        diagnostics = eval(line)
        assert any("priority out of range (7)" in d for d in diagnostics)
        if capture == "stream":  # the other thread's lines stay out
            assert all(d.startswith("(E)zodmServer:") for d in diagnostics)
    if capture == "stream":
        assert "zodmServer" not in result.stderr


def test_init_points_the_client_elsewhere():
    with zodm.Server(loopback_only=False) as everywhere:
        zodm.init("127.0.0.2")
        try:
            zodm.erase(0)
            received = receive_text(everywhere)
            assert received.command == zodm.Command(zodm.ERASE_TO_WHITE, 0)
        finally:
            zodm.init("127.0.0.1")


def test_server_iterates_and_closes():
    with zodm.Server() as bound:
        fd = bound.fileno()
        zodm.display(0, 0)
        zodm.erase(1)
        codes = []
        for received in bound:
            codes.append(received.command.code)
            if len(codes) == 2:
                break
        assert codes == [zodm.DISPLAY, zodm.ERASE_TO_WHITE]
        with pytest.raises(OSError) as busy:
            zodm.Server()
        assert busy.value.errno == errno.EADDRINUSE
    with pytest.raises(OSError):
        os.fstat(fd)


@pytest.mark.parametrize("environment, loaded", [
    ({}, "{package}/libzodm.so.2"),           # what a wheel carries
    ({"ZODM_LIBRARY": "{library}"}, "{library}"),  # the variable comes first
])
def test_library_inside_the_package_comes_after_zodm_library(
        tmp_path, environment, loaded):
    library = zodm.lib._name
    if "/" not in library:
        library = os.path.join(os.environ["LD_LIBRARY_PATH"].split(":")[0],
                               "libzodm.so.2")
    package = tmp_path / "zodm"
    package.mkdir()
    (package / "__init__.py").write_bytes(
        open(zodm.__file__, "rb").read())
    (package / "libzodm.so.2").write_bytes(open(library, "rb").read())
    values = {"package": str(package), "library": library}
    result = subprocess.run(
        [sys.executable, "-c", "import zodm; print(zodm.lib._name)"],
        cwd=tmp_path, capture_output=True, text=True, check=True,
        env={k: v.format(**values) for k, v in environment.items()})
    assert result.stdout.strip() == loaded.format(**values)


def test_framebuffer_is_created_white_and_drawn_in_place(tmp_path):
    path = tmp_path / "framebuffer"
    with zodm.Framebuffer(path) as framebuffer:
        assert path.stat().st_size == zodm.FRAMEBUFFER_SIZE == 769 * 1025
        assert framebuffer.pixels.tobytes() == b"\xff" * zodm.FRAMEBUFFER_SIZE
        # Corners in either order, both included, cut to the area.
        framebuffer.fill(20, 11, 10, 10, 0)
        framebuffer.fill(-5, 1020, 2, 5000, 7)
        assert framebuffer.rows.shape == (1025, 769)
        assert framebuffer.rows[10, 10] == framebuffer.rows[11, 20] == 0
        assert framebuffer.rows[10, 9] == framebuffer.rows[12, 20] == 255
        assert framebuffer.row(1024)[:4].tobytes() == b"\x07\x07\x07\xff"
        framebuffer.row(0)[768] = 42
    # Every change went to the file, where a display service reads it.
    data = path.read_bytes()
    assert data[10 * 769 + 10] == 0 and data[768] == 42
    assert data[1024 * 769 + 2] == 7
    with zodm.Framebuffer(path) as again:
        assert again.rows[11, 20] == 0


@pytest.mark.parametrize("size, call, error", [
    (100, None, ValueError),
    (769 * 1025 + 1, None, ValueError),
    (769 * 1025, lambda f: f.fill(0, 0, 1, 1, 256), ValueError),
    (769 * 1025, lambda f: f.fill(0, 0, 1, 1.5, 0), TypeError),
    (769 * 1025, lambda f: f.row(1025), IndexError),
])
def test_framebuffer_refusals(tmp_path, size, call, error):
    path = tmp_path / "framebuffer"
    path.write_bytes(b"\xff" * size)
    with pytest.raises(error):
        with zodm.Framebuffer(path) as framebuffer:
            call(framebuffer)
    assert path.read_bytes() == b"\xff" * size


BINDINGS = os.path.join(os.path.dirname(__file__), "..", "..", "docs",
                        "bindings.md")


@pytest.mark.parametrize("kind, prefix", [
    (zodm.Received, "received."), (zodm.Server, "server."),
    (zodm.Framebuffer, "framebuffer."),
])
def test_every_public_member_is_documented(kind, prefix):
    # docs/bindings.md's Python table names each member as the snippets use
    # it: "received.accepted", "server.fileno()", or within a call's row.
    with open(BINDINGS) as page:
        text = page.read().split("## LuaJIT")[0]
    members = [name for name in dir(kind) if not name.startswith("_")]
    if kind is zodm.Received:
        members += [f.name for f in kind.__dataclass_fields__.values()]
    missing = [name for name in set(members)
               if prefix + name not in text and f"`{name}" not in text
               and f" {name}(" not in text and f"{name}," not in text
               and f"({name}" not in text]
    assert not missing, f"{kind.__name__}: not in docs/bindings.md: {missing}"
