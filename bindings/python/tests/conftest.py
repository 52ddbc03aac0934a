"""Fixtures: the library under test, a recording controller and the wall controller simulator."""
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Iterator, List

import pytest

_SOURCE_ROOT = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

import ostrel  # noqa: E402

_WAIT_SECONDS = 10


def _built(variable: str, relative: str) -> str:
    path = os.environ.get(variable) or str(_SOURCE_ROOT / "build" / "default" / relative)
    if not os.path.exists(path):
        pytest.skip(f"{path} is not built (set {variable} or build the default preset)")
    return path


@pytest.fixture(scope="session")
def library_path() -> str:
    return _built("OSTREL_LIBRARY", "src/libostrel.so")


@pytest.fixture(scope="session")
def header_path() -> Path:
    return _SOURCE_ROOT / "include" / "ostrel" / "ostrel.h"


@pytest.fixture
def lib(library_path: str) -> Iterator[ostrel.Library]:
    with ostrel.Library(library_path, encoding="utf-8") as library:
        yield library


class Recorder:
    """A controller on a free loopback port that keeps every connection's bytes, whole."""

    def __init__(self) -> None:
        self._server = socket.create_server(("127.0.0.1", 0))
        self.port: int = self._server.getsockname()[1]
        self._frames: List[bytes] = []
        self._arrived = threading.Condition()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self) -> None:
        while True:
            try:
                peer, _ = self._server.accept()
            except OSError:
                return  # closed
            threading.Thread(target=self._read, args=(peer,), daemon=True).start()

    def _read(self, peer: socket.socket) -> None:
        peer.settimeout(_WAIT_SECONDS)
        data = b""
        with peer:
            while chunk := peer.recv(65536):
                data += chunk
        with self._arrived:
            self._frames.append(data)
            self._arrived.notify_all()

    def frames(self, count: int) -> List[bytes]:
        """Waits for count connections to end and returns what each carried, in arrival order."""
        with self._arrived:
            self._arrived.wait_for(lambda: len(self._frames) >= count, _WAIT_SECONDS)
            taken, self._frames = self._frames, []
        return taken

    def close(self) -> None:
        self._server.close()


@pytest.fixture
def recorder() -> Iterator[Recorder]:
    server = Recorder()
    yield server
    server.close()


class Simulator:
    """The ostrel wall controller simulator on a free loopback port."""

    def __init__(self, program: str) -> None:
        self._process = subprocess.Popen([program, "wallsim", "--port", "0"],
                                         stdout=subprocess.PIPE)
        assert self._process.stdout is not None
        first = self._process.stdout.readline().decode()
        # "wallsim: listening on 127.0.0.1:PORT (Ctrl-C to stop)"
        self.port = int(first.split("127.0.0.1:")[1].split()[0])
        # The simulator sets its Ctrl-C handler just after that line: a SIGINT before it kills
        # the simulator before it prints its summary.
        deadline = time.monotonic() + _WAIT_SECONDS
        while not self._catches_sigint() and time.monotonic() < deadline:
            time.sleep(0.001)

    def _catches_sigint(self) -> bool:
        status = Path(f"/proc/{self._process.pid}/status").read_text()
        caught = int(status.split("SigCgt:")[1].split()[0], 16)
        return bool(caught & (1 << (signal.SIGINT - 1)))

    def read_lines(self, count: int) -> List[bytes]:
        """The next count lines of the simulator's log (one per command), as bytes."""
        assert self._process.stdout is not None
        return [self._process.stdout.readline().rstrip(b"\n") for _ in range(count)]

    def stop(self) -> List[bytes]:
        """Stops the simulator and returns the rest of its log lines, as bytes."""
        self._process.send_signal(signal.SIGINT)
        output, _ = self._process.communicate(timeout=_WAIT_SECONDS)
        return output.splitlines()


@pytest.fixture
def simulator() -> Iterator[Simulator]:
    sim = Simulator(_built("OSTREL_WALLSIM", "tools/ostrel"))
    yield sim
    if sim._process.poll() is None:
        sim.stop()
