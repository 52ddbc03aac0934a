"""The ostrel package against a recording controller and the C header."""
import concurrent.futures
import os
import re
import socket
import struct
import subprocess
import sys
from pathlib import Path
from typing import Any, Callable, List, Tuple

import pytest

import ostrel
from conftest import SOURCE_ROOT


def frame(function: str, *params: Tuple[str, bytes]) -> bytes:
    """The bytes a controller receives for a command."""
    lines = [b'<?xml version="1.0"?>', b"<iq type='command'>", b"<query xmlns='iq:command'>",
             b"<Command>", b"<Function>%s</Function>" % function.encode()]
    lines += [b"<%s>%s</%s>" % (name.encode(), value, name.encode()) for name, value in params]
    document = b"\r\n".join(lines + [b"</Command>", b"</query>", b"</iq>", b""])
    return struct.pack("<I", len(document) + 4) + document


COMMANDS: List[Tuple[str, Callable[[ostrel.Wall], int], bytes]] = [
    ("utf-8", lambda w: w.start_play("Salle é", 2, "rtsp://cam/s?fps=15&res=720"),
     frame("StartPlay", ("Vidout", b"Salle \xc3\xa9"), ("Area", b"2"),
           ("Url", b"rtsp://cam/s?fps=15&amp;res=720"))),
    ("ascii", lambda w: w.start_play(b"\xe9", -1, b"u\xff"),  # bytes go as they are
     frame("StartPlay", ("Vidout", b"\xe9"), ("Area", b"-1"), ("Url", b"u\xff"))),
    ("latin-1", lambda w: w.stop_play("Salle é", 2**31 - 1),
     frame("StopPlay", ("Vidout", b"Salle \xe9"), ("Area", b"2147483647"))),
    ("latin-1", lambda w: w.duplicate("ü", 1, b"\x80", -2**31),
     frame("Duplicate", ("Vidoutf", b"\xfc"), ("Areaf", b"1"), ("Vidoutt", b"\x80"),
           ("Areat", b"-2147483648"))),
]


@pytest.mark.parametrize("encoding,send,expected", COMMANDS)
def test_commands_arrive_byte_exact(lib: ostrel.Library, recorder: Any, encoding: str,
                                    send: Callable[[ostrel.Wall], int], expected: bytes) -> None:
    with lib.open("127.0.0.1", recorder.port, encoding=encoding) as wall:
        assert send(wall) == 0
    assert recorder.frames(1) == [expected]


ERRORS: List[Tuple[Callable[[ostrel.Library, ostrel.Wall], Any], type]] = [
    (lambda lib, w: w.start_play("v" * 64, 1, "u"), ostrel.ArgumentError),
    (lambda lib, w: w.start_play("1", 1, "u" * 256), ostrel.ArgumentError),
    (lambda lib, w: lib.open("1" * 32, 80), ostrel.ArgumentError),
    (lambda lib, w: w.stop_play("a\0b", 1), ValueError),
    (lambda lib, w: w.duplicate("a", 1, b"\0", 1), ValueError),
    (lambda lib, w: w.start_play("1", 1, "\u8868"), UnicodeEncodeError),  # not in Latin-1
    (lambda lib, w: w.stop_play("1", 2**31), ValueError),
    (lambda lib, w: lib.open("127.0.0.1", 65536), ValueError),
]


@pytest.mark.parametrize("call,error", ERRORS)
def test_rejected_before_anything_is_sent(lib: ostrel.Library, recorder: Any,
                                          call: Callable[[ostrel.Library, ostrel.Wall], Any],
                                          error: type) -> None:
    wall = lib.open("127.0.0.1", recorder.port, encoding="latin-1")
    with pytest.raises(error) as raised:
        call(lib, wall)
    if error is ostrel.ArgumentError:
        assert (raised.value.code, raised.value.text) == (10022, "argument rejected")
    wall.stop_play("after", 1)
    assert recorder.frames(1) == [frame("StopPlay", ("Vidout", b"after"), ("Area", b"1"))]


def test_delivery_errors_and_check_false(lib: ostrel.Library) -> None:
    with socket.create_server(("127.0.0.1", 0)) as probe:
        closed_port = probe.getsockname()[1]
    wall = lib.open("127.0.0.1", closed_port)
    with pytest.raises(ostrel.DeliveryError) as raised:
        wall.start_play("1", 2, "u")
    assert (raised.value.code, raised.value.text) == (10061, "connection refused")
    assert wall.stop_play("1", 2, check=False) == ostrel.Outcome.REFUSED
    wall.close()
    with pytest.raises(ValueError, match="closed"):
        wall.duplicate("1", 2, "3", 4, check=False)


def test_context_managers_release_slots(library_path: str, recorder: Any) -> None:
    with ostrel.Library(library_path) as first:
        walls = [first.open("127.0.0.1", recorder.port) for _ in range(63)]
        with first.open("127.0.0.1", 1) as last:
            with pytest.raises(ostrel.TableFullError):
                first.open("127.0.0.1", 2)
        # A second Library shares the start: the first one's walls stay registered.
        with ostrel.Library(library_path) as second:
            assert second.open("127.0.0.1", 3).handle == last.handle == 63
            last.close()  # again: must not free the slot another wall now holds
            with pytest.raises(ostrel.TableFullError):
                second.open("127.0.0.1", 2)
        walls[5].stop_play("5", 5)
        assert recorder.frames(1) == [frame("StopPlay", ("Vidout", b"5"), ("Area", b"5"))]
    assert all(wall.closed for wall in walls)
    with ostrel.Library(library_path) as again:
        assert again.open("127.0.0.1", 4).handle == 0


def test_threads_share_one_library(lib: ostrel.Library, recorder: Any) -> None:
    shared = lib.open("127.0.0.1", recorder.port)

    def run(index: int) -> List[int]:
        with lib.open("127.0.0.1", recorder.port) as own:
            return [own.start_play(str(index), a, "u") + shared.stop_play(str(index), a)
                    for a in range(5)]

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        assert list(pool.map(run, range(8))) == [[0] * 5] * 8
    sent = [(str(i).encode(), str(a).encode()) for i in range(8) for a in range(5)]
    expected = [frame("StartPlay", ("Vidout", v), ("Area", a), ("Url", b"u")) for v, a in sent]
    expected += [frame("StopPlay", ("Vidout", v), ("Area", a)) for v, a in sent]
    assert sorted(recorder.frames(len(expected))) == sorted(expected)


def test_outcome_list_matches_the_header() -> None:
    header = (SOURCE_ROOT / "include" / "ostrel" / "ostrel.h").read_text()
    codes = dict(re.findall(r"#define OSTREL_(?:E_)?(\w+) (\d+)\b", header))
    texts = dict(re.findall(r'case OSTREL_(?:E_)?(\w+):\s*return "([^"]*)";', header))
    assert {o.name: str(int(o)) for o in ostrel.Outcome} == codes
    assert {o.name: ostrel.outcome_text(o) for o in ostrel.Outcome} == texts
    assert re.search(r'default:\s*return "%s";' % ostrel.outcome_text(12345), header)


SHIFT_JIS_SCRIPT = """import sys, ostrel
with ostrel.Library(sys.argv[1]) as lib, lib.open("127.0.0.1", int(sys.argv[2])) as wall:
    wall.start_play("表示", 1, "rtsp://ソース/ー")
"""


def test_shift_jis_under_a_japanese_locale(library_path: str, recorder: Any,
                                           tmp_path: Path) -> None:
    # localedef warns that Shift-JIS is not ASCII-compatible and exits 1, but writes the locale.
    subprocess.run(["localedef", "-c", "-i", "ja_JP", "-f", "SHIFT_JIS",
                    str(tmp_path / "ja_JP.SJIS")], capture_output=True)
    if not (tmp_path / "ja_JP.SJIS").exists():
        pytest.skip("localedef could not make a ja_JP.SJIS locale (Debian package locales)")
    script = tmp_path / "send.py"
    script.write_text(SHIFT_JIS_SCRIPT, encoding="utf-8")  # argv would be read as Shift-JIS
    environment = dict(os.environ, LOCPATH=str(tmp_path), LC_ALL="ja_JP.SJIS",
                       PYTHONPATH=os.pathsep.join(sys.path))
    subprocess.run([sys.executable, str(script), library_path, str(recorder.port)],
                   env=environment, check=True)
    # "表" is 0x95 0x5C: its second byte is a backslash.
    assert recorder.frames(1) == [frame(
        "StartPlay", ("Vidout", "表示".encode("shift_jis")), ("Area", b"1"),
        ("Url", "rtsp://ソース/ー".encode("shift_jis")))]
