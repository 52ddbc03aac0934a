"""Finding the shared library and declaring its nine functions for ctypes."""
import ctypes
import os
import sys
import threading
from pathlib import Path
from typing import Dict, Optional, Union

PathText = Union[str, "os.PathLike[str]"]

if sys.platform == "win32":
    _FILE_NAME = "ostrel.dll"
    _SYSTEM_NAME = "ostrel.dll"
elif sys.platform == "darwin":
    _FILE_NAME = "libostrel.dylib"
    _SYSTEM_NAME = "libostrel.2.dylib"
else:
    _FILE_NAME = "libostrel.so"
    _SYSTEM_NAME = "libostrel.so.2"

_INT = ctypes.c_int
_TEXT = ctypes.c_char_p

# Each function's result type and argument types.
_SIGNATURES = {
    "Ostrel_Version": (_TEXT, []),
    "Ostrel_LastErrorCode": (_INT, []),
    "Ostrel_Initialize": (_INT, []),
    "Ostrel_Finalize": (_INT, []),
    "Ostrel_OpenTvWall": (_INT, [_TEXT, _INT, ctypes.POINTER(_INT)]),
    "Ostrel_CloseTvWall": (_INT, [_INT]),
    "Ostrel_StartPlay": (_INT, [_INT, _TEXT, _INT, _TEXT]),
    "Ostrel_StopPlay": (_INT, [_INT, _TEXT, _INT]),
    "Ostrel_Duplicate": (_INT, [_INT, _TEXT, _INT, _TEXT, _INT]),
}


def _candidates(path: Optional[PathText]) -> "list[str]":
    if path is not None:
        return [os.fspath(path)]
    from_environment = os.environ.get("OSTREL_LIBRARY")
    if from_environment:
        return [from_environment]
    bundled = Path(__file__).resolve().parent / _FILE_NAME
    if bundled.exists():
        return [str(bundled)]
    return [_SYSTEM_NAME, _FILE_NAME]


def _open(name: str) -> ctypes.CDLL:
    if sys.platform == "win32":
        # The 32-bit DLL's functions are __stdcall; on 64-bit the two are the same.
        return ctypes.WinDLL(name)
    return ctypes.CDLL(name)


def _declare(native: ctypes.CDLL) -> ctypes.CDLL:
    for name, (result, arguments) in _SIGNATURES.items():
        function = getattr(native, name)
        function.restype = result
        function.argtypes = arguments
    return native


_loaded: Dict[str, ctypes.CDLL] = {}
_loaded_lock = threading.Lock()


def load(path: Optional[PathText] = None) -> ctypes.CDLL:
    """Loads the shared library once per name and declares its functions.

    Looks at path, else $OSTREL_LIBRARY, else the library next to this package, else asks the
    system loader. Raises OSError when none can be loaded.
    """
    failures = []
    for name in _candidates(path):
        with _loaded_lock:
            if name in _loaded:
                return _loaded[name]
            try:
                native = _declare(_open(name))
            except OSError as error:
                failures.append(str(error))
                continue
            _loaded[name] = native
            return native
    raise OSError("cannot load the ostrel library: " + "; ".join(failures))
