# SPDX-License-Identifier: MIT
"""Display-update requests over UDP, from Python.

A ctypes binding of libzodm.so.2: it needs no compiler, only the library,
which it loads from the path in the ZODM_LIBRARY environment variable, else
from this package's directory (where a wheel carries it), else by its
soname. The raw functions are declared on ``zodm.lib``; the
functions below check their arguments and raise on failure:

    import zodm
    zodm.init("127.0.0.1")          # optional; 127.0.0.1 is the default
    zodm.display(1, 2)              # sends "!0,1,2"
    zodm.partial(2, 1, 0, 0, 100, 200)
    zodm.erase(3)

    with zodm.Server() as server:   # the display service's side
        for request in server:
            print(request.command if request.accepted else request.text)

    with zodm.Framebuffer("/dev/shm/zodm-framebuffer") as fb:
        fb.fill(0, 0, 768, 99, 0)   # draw: a black band at the top...
        zodm.partial(2, 1, 0, 0, 768, 99)   # ...and have it shown
"""

from __future__ import annotations

import array
import ctypes
import dataclasses
import fcntl
import mmap
import os
import select
import socket
import sys
import termios
import threading
import time
from typing import Iterator, Optional, Tuple, Union

__all__ = [
    "DISPLAY", "DISPLAY_PARTIAL", "DUMP", "ERASE_TO_WHITE", "UNDEFINED",
    "SERVER_PORT", "MAX_X", "MAX_Y", "MAX_LEVEL", "FRAME_SIZE",
    "Command", "Received", "RequestRefused", "Server", "Framebuffer",
    "WIDTH", "HEIGHT", "FRAMEBUFFER_SIZE",
    "init", "display", "partial", "erase", "frame", "parse", "lib",
]

DISPLAY = 0
DISPLAY_PARTIAL = 1
DUMP = 2
ERASE_TO_WHITE = 3
UNDEFINED = 4

SERVER_PORT = 50555
MAX_X = 768
MAX_Y = 1024
MAX_LEVEL = 3
FRAME_SIZE = 75
# The framebuffer: one byte of gray per pixel of the display area.
WIDTH = MAX_X + 1
HEIGHT = MAX_Y + 1
FRAMEBUFFER_SIZE = WIDTH * HEIGHT

_NAME_SIZE = 128
_ARG_SIZE = 256
_MAX_ARGS = 6
# A UDP payload is at most 65,535 bytes.
_MAX_DATAGRAM = 65535
# The longest wait of one receive, in seconds: poll's 2^31-1 milliseconds,
# as the LuaJIT binding waits.
_MAX_TIMEOUT = (2**31 - 1) / 1000


class DmCommand(ctypes.Structure):
    """The library's DmCommand record."""

    _fields_ = [(name, ctypes.c_int32) for name in (
        "code", "priority", "quality", "xUp", "yUp", "xDown", "yDown")]


class DmMessage(ctypes.Structure):
    """The library's DmMessage record."""

    _fields_ = [
        ("name", ctypes.c_char * _NAME_SIZE),
        ("code", ctypes.c_int32),
        ("args", (ctypes.c_char * _ARG_SIZE) * _MAX_ARGS),
        ("argc", ctypes.c_int32),
    ]


def _load() -> ctypes.CDLL:
    name = os.environ.get("ZODM_LIBRARY")
    if not name:
        inside = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                              "libzodm.so.2")
        name = inside if os.path.exists(inside) else "libzodm.so.2"
    try:
        library = ctypes.CDLL(name, use_errno=True)
    except OSError as error:
        raise ImportError(f"zodm: cannot load {name} ({error}); install "
                          "libzodm or a zodm wheel that carries it, or name "
                          "the library in ZODM_LIBRARY") \
            from error
    i32, p_i32 = ctypes.c_int32, ctypes.POINTER(ctypes.c_int32)
    p_command, p_message = ctypes.POINTER(DmCommand), ctypes.POINTER(DmMessage)
    signatures = {
        "dmGetServerPort": (i32, [p_i32]),
        "dmMessageFramer": (None, [ctypes.c_char_p, p_command]),
        "dmMessageInit": (i32, [ctypes.c_char_p]),
        "dmDisplay": (i32, [i32, i32]),
        "dmDisplayPartial": (i32, [i32] * 6),
        "dmDisplayEraseToWhite": (i32, [i32]),
        "dmDump": (i32, []),
        "initServer": (i32, [p_i32, i32]),
        "dmParseMessage": (i32, [ctypes.c_char_p, p_message]),
        "zoDmGetArgs": (None, [ctypes.c_char_p, p_message, i32]),
        "dmParseCommand": (i32, [p_message, p_command]),
        "dmValidateCommand": (i32, [p_command]),
        "dmMessageParser": (i32, [ctypes.c_char_p, p_command]),
    }
    for name, (result, arguments) in signatures.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments
    return library


lib = _load()


@dataclasses.dataclass
class Command:
    """A request: its code (DISPLAY, DISPLAY_PARTIAL, DUMP, ERASE_TO_WHITE)
    and values. For a dump, priority holds its argument."""

    code: int
    priority: int = 0
    quality: int = 0
    x_up: int = 0
    y_up: int = 0
    x_down: int = 0
    y_down: int = 0

    def _record(self) -> DmCommand:
        values = [_int32(field.name, getattr(self, field.name))
                  for field in dataclasses.fields(self)]
        return DmCommand(*values)

    @classmethod
    def _from_record(cls, record: DmCommand) -> "Command":
        return cls(record.code, record.priority, record.quality, record.xUp,
                   record.yUp, record.xDown, record.yDown)


class RequestRefused(ValueError):
    """The library refused a request text; ``diagnostics`` holds the lines
    it wrote to standard error, ``text`` the refused bytes."""

    def __init__(self, text: bytes, diagnostics: Tuple[str, ...]):
        super().__init__(f"request {text!r} refused: " +
                         (diagnostics[0] if diagnostics else "no diagnostic"))
        self.text = text
        self.diagnostics = diagnostics


def _describe(value: object) -> str:
    """value for a message: its type, and its repr when short."""
    shown = repr(value)
    if len(shown) > 24:
        shown = shown[:21] + "..."
    return f"{type(value).__name__} {shown}"


def _int32(name: str, value: object) -> int:
    """value, if it is an int that fits in 32 bits; raises otherwise."""
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not -2**31 <= value < 2**31:
        raise ValueError(f"{name} {value} does not fit in 32 bits")
    return value


def _text(name: str, value: object) -> bytes:
    """value as the bytes of a C string; raises for other types or a NUL."""
    if isinstance(value, str):
        value = value.encode()
    if not isinstance(value, (bytes, bytearray)):
        raise TypeError(f"{name} must be str or bytes, "
                        f"not {type(value).__name__}")
    if b"\0" in value:
        raise ValueError(f"{name} contains a NUL byte")
    return bytes(value)


def _c_stderr() -> Tuple[Optional[ctypes.CDLL], Optional[ctypes.c_void_p]]:
    """The C library and its variable stderr, when the C library is glibc,
    whose stderr is a pointer that the program may set; (None, None)
    elsewhere (musl's is a constant)."""
    try:
        if not os.confstr("CS_GNU_LIBC_VERSION"):
            return None, None
        libc = ctypes.CDLL(None)
        pointer = ctypes.c_void_p.in_dll(libc, "stderr")
    except (ValueError, OSError, AttributeError):
        return None, None
    for name, result, arguments in (
            ("tmpfile", ctypes.c_void_p, []),
            ("fflush", ctypes.c_int, [ctypes.c_void_p]),
            ("fileno", ctypes.c_int, [ctypes.c_void_p]),
            ("rewind", None, [ctypes.c_void_p])):
        function = getattr(libc, name)
        function.restype, function.argtypes = result, arguments
    return libc, pointer


_libc, _stderr_pointer = _c_stderr()
_capture_file = None  # the C stream that collects diagnostics, made once
_capture_lock = threading.Lock()


def _captured_by_stream(call, arguments):
    """Runs call(*arguments) with C's stderr pointed at a stream of the
    binding's own, and returns its result and what the call wrote there.
    Descriptor 2 stays as it is, for every thread. The stream is never
    closed: a thread that read the pointer during the call may still
    write to it afterwards."""
    global _capture_file
    if _capture_file is None:
        _capture_file = _libc.tmpfile()
        if not _capture_file:
            _capture_file = None
            return call(*arguments), b""
    real = _stderr_pointer.value
    _stderr_pointer.value = _capture_file
    try:
        result = call(*arguments)
    finally:
        _stderr_pointer.value = real
    _libc.fflush(_capture_file)
    fd = _libc.fileno(_capture_file)
    data = os.pread(fd, os.fstat(fd).st_size, 0)
    os.ftruncate(fd, 0)
    _libc.rewind(_capture_file)
    return result, data


class _Forwarder(threading.Thread):
    """Copies everything that arrives on a pipe to the real standard error,
    and keeps it in chunks, until the pipe's last writer is gone."""

    def __init__(self, reader: int, target: int):
        super().__init__(name="zodm-stderr", daemon=True)
        self.reader, self.target = reader, os.dup(target)
        self.chunks: list = []
        self.lock = threading.Lock()

    def run(self) -> None:
        ready = select.poll()
        ready.register(self.reader, select.POLLIN)
        chunk = None
        try:
            while chunk != b"":
                ready.poll()
                with self.lock:  # read and kept as one, for taken()
                    chunk = os.read(self.reader, 65536)
                    self.chunks.append(chunk)
                view = memoryview(chunk)
                try:
                    while view:
                        view = view[os.write(self.target, view):]
                except OSError:  # no standard error to pass it to
                    pass
        finally:
            with self.lock:
                os.close(self.reader)
                self.reader = -1
            os.close(self.target)

    def taken(self) -> bytes:
        """What has arrived, once the pipe holds nothing unread."""
        unread = array.array("i", [0])
        while True:
            with self.lock:
                if self.reader >= 0:
                    fcntl.ioctl(self.reader, termios.FIONREAD, unread)
                if self.reader < 0 or unread[0] == 0:
                    return b"".join(self.chunks)
            time.sleep(0.0002)


def _captured_by_descriptor(call, arguments):
    """Runs call(*arguments) with descriptor 2 sent into a pipe, and returns
    its result and what arrived there meanwhile. While the call runs,
    descriptor 2 is the pipe's for every thread of the process, so a thread
    passes everything on to the real standard error as well; it runs on
    until the pipe's last writer is gone, for a program that another
    thread started meanwhile inherits the pipe as its stderr."""
    sys.stderr.flush()
    reader, writer = os.pipe()
    forwarder = _Forwarder(reader, 2)
    forwarder.start()
    try:
        saved = os.dup(2)
        try:
            os.dup2(writer, 2)
            try:
                result = call(*arguments)
            finally:
                os.dup2(saved, 2)
        finally:
            os.close(saved)
    finally:
        os.close(writer)
    return result, forwarder.taken()


def _captured(call, *arguments):
    """Runs call(*arguments) and returns its result and the non-empty lines
    that the library wrote to standard error meanwhile. One capture at a
    time."""
    with _capture_lock:
        if _stderr_pointer is not None:
            result, data = _captured_by_stream(call, arguments)
        else:
            result, data = _captured_by_descriptor(call, arguments)
    lines = data.decode("utf-8", "backslashreplace")
    return result, tuple(line for line in lines.split("\n") if line)


def init(address: str) -> None:
    """Points the client at address, a dotted-decimal IPv4 address. Raises
    ValueError for any other text, OSError when no socket can be made."""
    result, diagnostics = _captured(lib.dmMessageInit, _text("address", address))
    if result == -1:
        raise ValueError(diagnostics[0] if diagnostics else
                         f"{address!r} is not a dotted-decimal IPv4 address")
    if result != 0:
        raise OSError(diagnostics[0] if diagnostics else
                      "cannot create the client socket")


def display(priority: int, quality: int) -> None:
    """Sends a full update."""
    lib.dmDisplay(_int32("priority", priority), _int32("quality", quality))


def partial(priority: int, quality: int, x_up: int, y_up: int, x_down: int,
            y_down: int) -> None:
    """Sends a partial update of the rectangle between two corners."""
    values = [_int32(name, value) for name, value in (
        ("priority", priority), ("quality", quality), ("x_up", x_up),
        ("y_up", y_up), ("x_down", x_down), ("y_down", y_down))]
    lib.dmDisplayPartial(*values)


def erase(priority: int) -> None:
    """Sends an erase to white."""
    lib.dmDisplayEraseToWhite(_int32("priority", priority))


def frame(command: Command) -> str:
    """The request text the client sends for command. Raises ValueError for
    a code the client does not send (anything but DISPLAY, DISPLAY_PARTIAL
    and ERASE_TO_WHITE)."""
    if not isinstance(command, Command):
        raise TypeError(f"command must be a zodm.Command, "
                        f"not {type(command).__name__}")
    record = command._record()
    if record.code not in (DISPLAY, DISPLAY_PARTIAL, ERASE_TO_WHITE):
        raise ValueError(f"code {record.code} is not a request the client "
                         "sends")
    buffer = ctypes.create_string_buffer(FRAME_SIZE)
    lib.dmMessageFramer(buffer, ctypes.byref(record))
    return buffer.value.decode("ascii")


def parse(text: Union[str, bytes]) -> Command:
    """The checked request in text, as dmMessageParser reads it. Raises
    RequestRefused, with the library's diagnostic lines, when it refuses."""
    data = _text("text", text)
    record = DmCommand()
    result, diagnostics = _captured(lib.dmMessageParser, data,
                                    ctypes.byref(record))
    if result != 0:
        raise RequestRefused(data, diagnostics)
    return Command._from_record(record)


@dataclasses.dataclass
class Received:
    """One datagram the server received: its bytes, the accepted command
    (None when refused) and the library's diagnostic lines about it."""

    text: bytes
    command: Optional[Command]
    diagnostics: Tuple[str, ...] = ()

    @property
    def accepted(self) -> bool:
        return self.command is not None


class Server:
    """The display service's socket, bound with initServer to port 50555 on
    127.0.0.1, or on every address when loopback_only is False; it takes
    True or False only. Iterating yields each received datagram as a
    Received; the socket is closed by close() or at the end of a with
    block. Raises OSError when the port cannot be bound (errno EADDRINUSE
    when another service holds it).

    fileno() is the socket's descriptor (-1 once closed), for an event loop
    of the application's own: when it is readable, receive(0) takes the
    datagram without waiting."""

    def __init__(self, loopback_only: bool = True):
        if not isinstance(loopback_only, bool):
            raise TypeError("loopback_only must be True or False, not "
                            f"{_describe(loopback_only)}")
        fd = ctypes.c_int32(-1)
        result = lib.initServer(ctypes.byref(fd), 1 if loopback_only else 0)
        error = ctypes.get_errno()
        if result != 0:
            if fd.value >= 0:
                os.close(fd.value)
            raise OSError(error, f"cannot bind port {SERVER_PORT}: "
                          f"{os.strerror(error)}")
        self._socket = socket.socket(fileno=fd.value)

    def fileno(self) -> int:
        return self._socket.fileno()

    def receive(self, timeout: Optional[float] = None) -> Optional[Received]:
        """The next datagram, or None when timeout seconds pass without one
        (None: wait for as long as it takes; 0: only what is there
        already). Raises TypeError or ValueError for a timeout that is not
        a finite number from 0, ValueError("closed") once closed."""
        if timeout is not None:
            if (not isinstance(timeout, (int, float))
                    or isinstance(timeout, bool)):
                raise TypeError("timeout must be a number of seconds, not "
                                f"{_describe(timeout)}")
            if not 0 <= timeout < float("inf"):
                raise ValueError("timeout must be a finite number of seconds "
                                 f"from 0, not {timeout!r}")
            timeout = min(timeout, _MAX_TIMEOUT)
        if self._socket.fileno() < 0:
            raise ValueError("closed")
        self._socket.settimeout(timeout)
        try:
            data = self._socket.recv(_MAX_DATAGRAM)
        except (socket.timeout, BlockingIOError):
            # BlockingIOError: with timeout 0, nothing was there (or
            # another reader of the socket took it first).
            return None
        # Bytes after a NUL cannot reach the parser; the text ends there.
        record = DmCommand()
        result, diagnostics = _captured(lib.dmMessageParser,
                                        data.split(b"\0", 1)[0],
                                        ctypes.byref(record))
        command = Command._from_record(record) if result == 0 else None
        return Received(data, command, diagnostics)

    def __iter__(self) -> Iterator[Received]:
        while True:
            received = self.receive()
            if received is not None:
                yield received

    def close(self) -> None:
        """Closes the socket; closing again does nothing."""
        self._socket.close()

    def __enter__(self) -> "Server":
        return self

    def __exit__(self, *exception) -> None:
        self.close()


class Framebuffer:
    """The display's framebuffer, a file shared with the display service
    (zodm-screen --framebuffer FILE): WIDTH x HEIGHT pixels, one byte of
    gray each (0 black, 255 white), row after row, no header. The file is
    created white when it does not exist; one of another size raises
    ValueError. Drawing changes the file at once, through a shared mmap; the
    display shows it only once a request refreshes it.

    ``pixels`` is a memoryview of all the bytes, ``rows`` the same as
    HEIGHT rows of WIDTH (``rows[y, x]``), ``row(y)`` one row."""

    def __init__(self, path: Union[str, os.PathLike]):
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o666)
            os.write(fd, b"\xff" * FRAMEBUFFER_SIZE)
        except FileExistsError:
            fd = os.open(path, os.O_RDWR)
        try:
            size = os.fstat(fd).st_size
            if size != FRAMEBUFFER_SIZE:
                raise ValueError(f"{os.fspath(path)} is {size} bytes long, not "
                                 f"{FRAMEBUFFER_SIZE} ({WIDTH} x {HEIGHT} "
                                 "pixels, one byte each)")
            self._map = mmap.mmap(fd, FRAMEBUFFER_SIZE)
        finally:
            os.close(fd)
        self.pixels = memoryview(self._map)
        self.rows = self.pixels.cast("B", (HEIGHT, WIDTH))

    def row(self, y: int) -> memoryview:
        """Row y, WIDTH bytes, left to right."""
        y = _int32("y", y)
        if not 0 <= y < HEIGHT:
            raise IndexError(f"row {y} is outside 0..{HEIGHT - 1}")
        return self.pixels[y * WIDTH:(y + 1) * WIDTH]

    def fill(self, x0: int, y0: int, x1: int, y1: int, gray: int) -> None:
        """Sets the rectangle between corners (x0, y0) and (x1, y1), both
        included, in either order and cut to the display area, to gray
        (0..255)."""
        x0, y0, x1, y1 = (_int32(name, value) for name, value in (
            ("x0", x0), ("y0", y0), ("x1", x1), ("y1", y1)))
        gray = _int32("gray", gray)
        if not 0 <= gray <= 255:
            raise ValueError(f"gray {gray} is outside 0..255")
        left, right = max(min(x0, x1), 0), min(max(x0, x1), MAX_X)
        top, bottom = max(min(y0, y1), 0), min(max(y0, y1), MAX_Y)
        if left > right or top > bottom:
            return
        line = bytes([gray]) * (right - left + 1)
        for y in range(top, bottom + 1):
            self.pixels[y * WIDTH + left:y * WIDTH + right + 1] = line

    def close(self) -> None:
        """Unmaps the file; the views above must no longer be used."""
        self.rows.release()
        self.pixels.release()
        self._map.close()

    def __enter__(self) -> "Framebuffer":
        return self

    def __exit__(self, *exception) -> None:
        self.close()
