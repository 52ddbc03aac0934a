"""Fixtures: the library under test, a recording controller and the wall controller simulator."""
import os
import socket
import subprocess
import sys
import threading
from pathlib import Path
from typing import Iterator, List

import pytest

SOURCE_ROOT = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(SOURCE_ROOT / "bindings" / "python" / "src"))

import ostrel  # noqa: E402


def _built(variable: str, relative: str) -> str:
    path = os.environ.get(variable) or str(SOURCE_ROOT / "build" / "default" / relative)
    if not os.path.exists(path):
        pytest.skip(f"{path} is not built (set {variable} or build the default preset)")
    return path


@pytest.fixture(scope="session")
def library_path() -> str:
    return _built("OSTREL_LIBRARY", "src/libostrel.so")


@pytest.fixture
def lib(library_path: str) -> Iterator[ostrel.Library]:
    with ostrel.Library(library_path, encoding="utf-8") as library:
        yield library


class Recorder:
    """A controller on a free loopback port that keeps each connection's bytes, whole."""

    def __init__(self) -> None:
        self._server = socket.create_server(("127.0.0.1", 0))
        self._server.settimeout(10)
        self.port: int = self._server.getsockname()[1]

    def frames(self, count: int) -> List[bytes]:
        taken = []
        for _ in range(count):
            peer, _ = self._server.accept()
            with peer:
                taken.append(b"".join(iter(lambda: peer.recv(65536), b"")))
        return taken


@pytest.fixture
def recorder() -> Iterator[Recorder]:
    server = Recorder()
    yield server
    server._server.close()


@pytest.fixture
def simulator() -> Iterator["subprocess.Popen[bytes]"]:
    """The simulator on a free loopback port: its first line names the port."""
    process = subprocess.Popen([_built("OSTREL_WALLSIM", "tools/ostrel"), "wallsim", "--port",
                                "0"], stdout=subprocess.PIPE)
    yield process
    process.kill()
    process.wait()
