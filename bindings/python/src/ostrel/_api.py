"""Library and Wall: the shared library's functions as Python objects and exceptions."""
import ctypes
import locale
import sys
import threading
from types import TracebackType
from typing import Callable, Dict, Optional, Set, Type, TypeVar, Union

from . import _native
from ._outcomes import Outcome, outcome_text

Text = Union[str, bytes]
"""A command text: str is encoded with the wall's encoding, bytes are sent as they are."""

_PORT_MAX = 0xFFFF
_INT_MIN = -(2**31)
_INT_MAX = 2**31 - 1


class OstrelError(Exception):
    """Base of the errors this package raises for the library; code and text say why."""

    def __init__(self, code: int, what: str) -> None:
        self.code = code
        self.text = outcome_text(code)
        super().__init__(f"{what}: {self.text} ({code})")


class ArgumentError(OstrelError, ValueError):
    """The library rejected an argument (it returned -1): an unknown handle, a text too long."""


class TableFullError(OstrelError):
    """Every one of the library's 64 controller slots is in use."""


class DeliveryError(OstrelError):
    """A command's frame did not reach the controller whole; code is the outcome code."""


def default_encoding() -> str:
    """The encoding the library's texts are in: the locale's (the ANSI code page on Windows)."""
    if sys.version_info >= (3, 11):
        return locale.getencoding()
    return locale.getpreferredencoding(False)


def _encode(value: Text, encoding: str, name: str) -> bytes:
    if isinstance(value, str):
        data = value.encode(encoding)  # UnicodeEncodeError is a ValueError
    elif isinstance(value, bytes):
        data = value
    else:
        raise TypeError(f"{name} must be str or bytes, not {type(value).__name__}")
    if b"\0" in data:
        raise ValueError(f"{name} holds a NUL character")
    return data


def _int32(value: int, name: str) -> int:
    if not _INT_MIN <= value <= _INT_MAX:
        raise ValueError(f"{name} {value} is outside the 32-bit range")
    return value


# How many Library objects are open in this process, per loaded library: the first starts it,
# the last stops it. Starting again would free every wall other objects hold.
_started: Dict[int, int] = {}
_started_lock = threading.Lock()

_WallT = TypeVar("_WallT", bound="Wall")
_LibraryT = TypeVar("_LibraryT", bound="Library")


class Library:
    """The started library; open walls through it. Threads may share one.

    ``with Library() as lib:`` starts the library and stops it (closing its walls) at the end.
    The shared library comes from path, else $OSTREL_LIBRARY, else the copy next to this
    package, else the system loader. Texts given as str are encoded with encoding (default:
    the locale's encoding, which is what the library assumes).
    """

    def __init__(self, path: Optional[_native.PathText] = None, *,
                 encoding: Optional[str] = None) -> None:
        self._native = _native.load(path)
        self.encoding = encoding or default_encoding()
        self._walls: Set["Wall"] = set()
        self._lock = threading.Lock()
        key = id(self._native)
        with _started_lock:
            if _started.get(key, 0) == 0:
                self._native.Ostrel_Initialize()
            _started[key] = _started.get(key, 0) + 1
        self._closed = False

    @property
    def version(self) -> str:
        """The library's version text, such as "V2.0"."""
        return bytes(self._native.Ostrel_Version()).decode("ascii")

    @property
    def closed(self) -> bool:
        return self._closed

    def open(self, address: str, port: int, *, encoding: Optional[str] = None) -> "Wall":
        """Registers the controller at a dotted IPv4 address and TCP port; no network contact.

        Raises ArgumentError for an address the library refuses, TableFullError when all
        64 slots are in use.
        """
        if not 0 <= port <= _PORT_MAX:
            raise ValueError(f"port {port} is outside 0..65535")
        address_bytes = _encode(address, "ascii", "address")
        handle = ctypes.c_int(-1)
        with self._lock:
            if self._closed:
                raise ValueError("the library is closed")
            result = self._native.Ostrel_OpenTvWall(address_bytes, port, ctypes.byref(handle))
            if result != 0:
                code = self._native.Ostrel_LastErrorCode()
                what = f"cannot register {address}:{port}"
                if code == Outcome.TABLE_FULL:
                    raise TableFullError(code, what)
                raise ArgumentError(code, what)
            wall = Wall(self, handle.value, address, port, encoding or self.encoding)
            self._walls.add(wall)
        return wall

    def close(self) -> None:
        """Closes every wall opened here, then stops the library if no other Library is open."""
        with self._lock:
            if self._closed:
                return
            walls = list(self._walls)
            self._closed = True
        for wall in walls:
            wall.close()
        key = id(self._native)
        with _started_lock:
            _started[key] -= 1
            if _started[key] == 0:
                self._native.Ostrel_Finalize()

    def _release(self, wall: "Wall") -> None:
        # Under the lock, so that two threads closing one wall free its slot once: the second
        # free could take the slot from a wall opened in between.
        with self._lock:
            if wall in self._walls:
                self._walls.remove(wall)
                wall._closed = True
                self._native.Ostrel_CloseTvWall(wall.handle)

    def __enter__(self: _LibraryT) -> _LibraryT:
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()


class Wall:
    """One registered controller. Each command opens its own TCP connection and blocks for at
    most 5 s while connecting and 2 s per wait while sending.

    Each command returns its outcome code: 0 when the frame reached the controller. Otherwise
    it raises DeliveryError, or with check=False returns the code. A rejected argument raises
    ArgumentError; a str that cannot be encoded or a text holding NUL raises ValueError before
    anything is sent.
    """

    def __init__(self, library: Library, handle: int, address: str, port: int,
                 encoding: str) -> None:
        self._library = library
        self._native = library._native
        self.handle = handle
        self.address = address
        self.port = port
        self.encoding = encoding
        self._closed = False

    @property
    def closed(self) -> bool:
        return self._closed

    def start_play(self, vidout: Text, area: int, url: Text, *, check: bool = True) -> int:
        """Plays the stream at url (under 256 bytes) on an area of a video output."""
        return self._send("start play", self._native.Ostrel_StartPlay, check,
                          self._text(vidout, "vidout"), _int32(area, "area"),
                          self._text(url, "url"))

    def stop_play(self, vidout: Text, area: int, *, check: bool = True) -> int:
        """Stops what plays on an area of a video output (text under 64 bytes)."""
        return self._send("stop play", self._native.Ostrel_StopPlay, check,
                          self._text(vidout, "vidout"), _int32(area, "area"))

    def duplicate(self, source_vidout: Text, source_area: int, target_vidout: Text,
                  target_area: int, *, check: bool = True) -> int:
        """Shows on the target area what the source area shows."""
        return self._send("duplicate", self._native.Ostrel_Duplicate, check,
                          self._text(source_vidout, "source_vidout"),
                          _int32(source_area, "source_area"),
                          self._text(target_vidout, "target_vidout"),
                          _int32(target_area, "target_area"))

    def close(self) -> None:
        """Frees the controller's slot; later commands raise ValueError."""
        self._library._release(self)

    def _text(self, value: Text, name: str) -> bytes:
        return _encode(value, self.encoding, name)

    def _live_handle(self) -> int:
        if self._closed:
            # The slot may already belong to another wall.
            raise ValueError("the wall is closed")
        return self.handle

    def _send(self, what: str, function: Callable[..., int], check: bool,
              *arguments: Union[bytes, int]) -> int:
        if function(self._live_handle(), *arguments) != 0:
            code = self._native.Ostrel_LastErrorCode()
            raise ArgumentError(code, f"{what} rejected")
        code = self._native.Ostrel_LastErrorCode()
        if code != 0 and check:
            raise DeliveryError(code, f"{what} to {self.address}:{self.port} not delivered")
        return int(code)

    def __enter__(self: _WallT) -> _WallT:
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"handle {self.handle}"
        return f"<ostrel.Wall {self.address}:{self.port} {state}>"
