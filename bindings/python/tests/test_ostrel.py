"""The ostrel package against a recording controller, the simulator and the C header."""
import os
import re
import shutil
import struct
import subprocess
import sys
import threading
from pathlib import Path
from typing import Any, Callable, List, Tuple

import pytest

import ostrel

Param = Tuple[str, bytes]


def frame(function: str, *params: Param) -> bytes:
    """The bytes a controller receives for a command whose values need no escaping."""
    lines = [b'<?xml version="1.0"?>', b"<iq type='command'>", b"<query xmlns='iq:command'>",
             b"<Command>", b"<Function>" + function.encode() + b"</Function>"]
    lines += [b"<%s>%s</%s>" % (name.encode(), value, name.encode()) for name, value in params]
    lines += [b"</Command>", b"</query>", b"</iq>"]
    document = b"".join(line + b"\r\n" for line in lines)
    return struct.pack("<I", len(document) + 4) + document


LATIN1 = "Salle é/ü"

COMMANDS: List[Tuple[str, str, Callable[[ostrel.Wall], int], bytes]] = [
    ("start str", "utf-8", lambda w: w.start_play("1", 2, "rtsp://cam/sub?fps=15&res=720"),
     frame("StartPlay", ("Vidout", b"1"), ("Area", b"2"),
           ("Url", b"rtsp://cam/sub?fps=15&amp;res=720"))),
    ("start bytes", "utf-8", lambda w: w.start_play(b"\xe9", -1, b"u\xff"),
     frame("StartPlay", ("Vidout", b"\xe9"), ("Area", b"-1"), ("Url", b"u\xff"))),
    ("start latin-1 str", "latin-1", lambda w: w.start_play(LATIN1, 0, "rtsp://é"),
     frame("StartPlay", ("Vidout", LATIN1.encode("latin-1")), ("Area", b"0"),
           ("Url", b"rtsp://\xe9"))),
    ("start utf-8 str", "utf-8", lambda w: w.start_play(LATIN1, 0, "u"),
     frame("StartPlay", ("Vidout", LATIN1.encode("utf-8")), ("Area", b"0"), ("Url", b"u"))),
    ("stop str", "utf-8", lambda w: w.stop_play("3", 2147483647),
     frame("StopPlay", ("Vidout", b"3"), ("Area", b"2147483647"))),
    ("stop latin-1 bytes", "ascii", lambda w: w.stop_play(b"\xc0\xff", 7),
     frame("StopPlay", ("Vidout", b"\xc0\xff"), ("Area", b"7"))),
    ("duplicate str", "latin-1", lambda w: w.duplicate("ü", 1, "b", -2147483648),
     frame("Duplicate", ("Vidoutf", b"\xfc"), ("Areaf", b"1"), ("Vidoutt", b"b"),
           ("Areat", b"-2147483648"))),
    ("duplicate bytes", "utf-8", lambda w: w.duplicate(b"a", 1, b"\x80", 4),
     frame("Duplicate", ("Vidoutf", b"a"), ("Areaf", b"1"), ("Vidoutt", b"\x80"),
           ("Areat", b"4"))),
]


@pytest.mark.parametrize("encoding,send,expected", [c[1:] for c in COMMANDS],
                         ids=[c[0] for c in COMMANDS])
def test_commands_arrive_byte_exact(lib: ostrel.Library, recorder: Any, encoding: str,
                                    send: Callable[[ostrel.Wall], int], expected: bytes) -> None:
    with lib.open("127.0.0.1", recorder.port, encoding=encoding) as wall:
        assert send(wall) == 0
    assert recorder.frames(1) == [expected]


def test_simulator_applies_the_three_commands(lib: ostrel.Library, simulator: Any) -> None:
    with lib.open("127.0.0.1", simulator.port, encoding="latin-1") as wall:
        wall.start_play("1", 2, "rtsp://caméra/7")
        wall.duplicate(b"1", 2, "3", 4)
        wall.stop_play("1", 2)
    # Each line: "wallsim: PEER COMMAND -> EFFECT".
    applied = [line.split(b" ", 2)[2] for line in simulator.read_lines(3)]
    assert applied == [
        b'StartPlay vidout="1" area=2 url="rtsp://cam\xe9ra/7" -> 1:2 plays rtsp://cam\xe9ra/7',
        b'Duplicate vidout="1" area=2 to vidout="3" area=4 -> 3:4 shows 1:2 (rtsp://cam\xe9ra/7)',
        b'StopPlay vidout="1" area=2 -> 1:2 stopped']
    assert b"wallsim: 3 commands applied, 0 connections dropped" in simulator.stop()


def _free_port() -> int:
    """A loopback port nothing listens on."""
    import socket
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


ERRORS: List[Tuple[str, Callable[[ostrel.Library, int], Any], type, int]] = [
    ("vidout of 64 bytes", lambda lib, p: lib.open("127.0.0.1", p).start_play("v" * 64, 1, "u"),
     ostrel.ArgumentError, 10022),
    ("url of 256 bytes", lambda lib, p: lib.open("127.0.0.1", p).start_play("1", 1, "u" * 256),
     ostrel.ArgumentError, 10022),
    ("address of 32 characters", lambda lib, p: lib.open("1" * 32, p),
     ostrel.ArgumentError, 10022),
    ("NUL in a str", lambda lib, p: lib.open("127.0.0.1", p).stop_play("a\0b", 1),
     ValueError, 0),
    ("NUL in bytes", lambda lib, p: lib.open("127.0.0.1", p).duplicate("a", 1, b"\0", 1),
     ValueError, 0),
    ("str the encoding lacks", lambda lib, p: lib.open("127.0.0.1", p, encoding="ascii")
     .start_play("1", 1, "é"), UnicodeEncodeError, 0),
    ("area beyond 32 bits", lambda lib, p: lib.open("127.0.0.1", p).stop_play("1", 2**31),
     ValueError, 0),
    ("port beyond 16 bits", lambda lib, p: lib.open("127.0.0.1", 65536), ValueError, 0),
    ("text of another type", lambda lib, p: lib.open("127.0.0.1", p).stop_play(1, 1),
     TypeError, 0),
]


@pytest.mark.parametrize("call,error,code", [e[1:] for e in ERRORS], ids=[e[0] for e in ERRORS])
def test_rejected_before_anything_is_sent(lib: ostrel.Library, recorder: Any,
                                          call: Callable[[ostrel.Library, int], Any],
                                          error: type, code: int) -> None:
    with pytest.raises(error) as raised:
        call(lib, recorder.port)
    if code:
        assert (raised.value.code, raised.value.text) == (code, "argument rejected")
    lib.open("127.0.0.1", recorder.port).stop_play("after", 1)
    assert recorder.frames(1) == [frame("StopPlay", ("Vidout", b"after"), ("Area", b"1"))]


def test_delivery_errors_and_check_false(lib: ostrel.Library) -> None:
    wall = lib.open("127.0.0.1", _free_port())
    with pytest.raises(ostrel.DeliveryError) as raised:
        wall.start_play("1", 2, "u")
    assert (raised.value.code, raised.value.text) == (10061, "connection refused")
    assert "10061" in str(raised.value)
    assert wall.stop_play("1", 2, check=False) == ostrel.Outcome.REFUSED
    wall.close()
    with pytest.raises(ValueError, match="closed"):
        wall.duplicate("1", 2, "3", 4, check=False)


def test_full_table_and_released_slots(library_path: str, recorder: Any) -> None:
    with ostrel.Library(library_path) as first:
        walls = [first.open("127.0.0.1", recorder.port) for _ in range(63)]
        with first.open("127.0.0.1", 1) as last:
            assert last.handle == 63
            with pytest.raises(ostrel.TableFullError) as raised:
                first.open("127.0.0.1", 2)
            assert raised.value.code == ostrel.Outcome.TABLE_FULL
        assert last.closed
        # A second Library shares the started library: the first one's walls stay registered.
        with ostrel.Library(library_path) as second:
            assert second.open("127.0.0.1", 3).handle == 63
        walls[5].stop_play("5", 5)
        assert recorder.frames(1) == [frame("StopPlay", ("Vidout", b"5"), ("Area", b"5"))]
    assert all(wall.closed for wall in walls)
    with pytest.raises(ValueError, match="closed"):
        first.open("127.0.0.1", 4)
    with ostrel.Library(library_path) as again:
        assert again.open("127.0.0.1", 5).handle == 0


def test_threads_share_one_library(lib: ostrel.Library, recorder: Any) -> None:
    threads, per_thread = 8, 5
    shared = lib.open("127.0.0.1", recorder.port)
    outcomes: List[int] = []

    def run(index: int) -> None:
        with lib.open("127.0.0.1", recorder.port) as own:
            for area in range(per_thread):
                outcomes.append(own.start_play(str(index), area, "u"))
                outcomes.append(shared.stop_play(str(index), area))

    workers = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    expected = [frame("StartPlay", ("Vidout", str(i).encode()), ("Area", str(a).encode()),
                      ("Url", b"u")) for i in range(threads) for a in range(per_thread)]
    expected += [frame("StopPlay", ("Vidout", str(i).encode()), ("Area", str(a).encode()))
                 for i in range(threads) for a in range(per_thread)]
    assert outcomes == [0] * len(expected)
    assert sorted(recorder.frames(len(expected))) == sorted(expected)


def test_outcome_list_matches_the_header(header_path: Path) -> None:
    header = header_path.read_text()
    codes = {name: int(code) for name, code in
             re.findall(r"#define OSTREL_(?:E_)?(\w+) (\d+)\b", header) if name != "OSTREL_H"}
    texts = dict(re.findall(r'case OSTREL_(?:E_)?(\w+):\s*return "([^"]*)";', header))
    assert {o.name: int(o) for o in ostrel.Outcome} == codes
    assert {o.name: ostrel.outcome_text(o) for o in ostrel.Outcome} == texts
    default = re.search(r'default:\s*return "([^"]*)";', header)
    assert default and ostrel.outcome_text(12345) == default.group(1)


SHIFT_JIS_SCRIPT = """
import sys, ostrel
with ostrel.Library(sys.argv[1]) as lib, lib.open("127.0.0.1", int(sys.argv[2])) as wall:
    print(wall.encoding)
    wall.start_play("表示", 1, "rtsp://ソース/ー")
"""


def test_shift_jis_under_a_japanese_locale(library_path: str, recorder: Any,
                                           tmp_path: Path) -> None:
    localedef = shutil.which("localedef")
    if localedef is None or not Path("/usr/share/i18n/locales/ja_JP").exists():
        pytest.skip("localedef or the ja_JP locale source (Debian package locales) is missing")
    # localedef warns that Shift-JIS is not ASCII-compatible and exits 1, but writes the locale.
    subprocess.run([localedef, "-c", "-i", "ja_JP", "-f", "SHIFT_JIS",
                    str(tmp_path / "ja_JP.SJIS")], capture_output=True)
    if not (tmp_path / "ja_JP.SJIS").exists():
        pytest.skip("localedef could not write a ja_JP.SJIS locale")
    environment = dict(os.environ, LOCPATH=str(tmp_path), LC_ALL="ja_JP.SJIS",
                       PYTHONPATH=os.pathsep.join(sys.path), PYTHONIOENCODING="ascii")
    script = tmp_path / "send.py"
    script.write_text(SHIFT_JIS_SCRIPT, encoding="utf-8")  # argv would be read as Shift-JIS
    run = subprocess.run([sys.executable, str(script), library_path,
                          str(recorder.port)], env=environment, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip().upper().replace("-", "_") == "SHIFT_JIS"
    assert recorder.frames(1) == [frame(
        "StartPlay", ("Vidout", "表示".encode("shift_jis")), ("Area", b"1"),
        ("Url", "rtsp://ソース/ー".encode("shift_jis")))]
