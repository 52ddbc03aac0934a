"""The ostrel tool run as a user runs it: exit statuses, progress, Ctrl-C, retries, scenes.

OSTREL_CLI names the tool. Controllers are simulators started with `ostrel wallsim --port 0`;
a refusing controller is a loopback port bound but not listening.
"""
import os
import pty
import re
import signal
import socket
import subprocess
import time

import pytest

OSTREL = os.environ.get("OSTREL_CLI", "ostrel")


def run(*args, **kwargs):
    return subprocess.run([OSTREL, *args], capture_output=True, text=True, timeout=60, **kwargs)


@pytest.fixture
def wallsim():
    """Starts simulators on demand; yields a function that returns a new one's port."""
    started = []

    def start():
        sim = subprocess.Popen([OSTREL, "wallsim", "--port", "0", "--quiet"], stdout=subprocess.PIPE,
                               text=True)
        started.append(sim)
        first = sim.stdout.readline()
        return int(re.search(r"listening on 127\.0\.0\.1:(\d+)", first).group(1))

    yield start
    for sim in started:
        sim.send_signal(signal.SIGINT)
        sim.communicate(timeout=10)


@pytest.fixture
def refusing_port():
    """A loopback port where nothing listens, held so that nobody else takes it."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        yield sock.getsockname()[1]


# Arguments -> exit status and the first line (stderr, or stdout for status 0). Port 1 on
# loopback: nothing listens there.
EXIT_CASES = [
    ([], 2, "ostrel: no command given"),
    (["frobnicate"], 2, "ostrel: unknown command 'frobnicate'"),
    (["--frobnicate"], 2, "ostrel: The following argument was not expected: --frobnicate"),
    (["start-play"], 2, "ostrel: start-play: controller is required"),
    (["stop-play", "127.0.0.1:5000", "1", "x"], 2, "ostrel: stop-play: Could not convert"),
    (["stop-play", "localhost:5000", "1", "2"], 2, "ostrel: stop-play: bad controller 'localhost"),
    (["stop-play", "[::1]:5000", "1", "2"], 2, "ostrel: stop-play: bad controller '\\[::1\\]"),
    (["stop-play", "127.0.0.1:0", "1", "2"], 2, "ostrel: stop-play: bad controller .*port must"),
    (["stop-play", "127.0.0.1:5000", "1", "2", "--repeat", "0"], 2, "ostrel: stop-play: --repeat"),
    (["duplicate", "127.0.0.1:5000", "1", "2", "3", "4", "5"], 2, "ostrel: duplicate: .*5"),
    (["start-play", "127.0.0.1:5000", "v" * 64, "1", "u"], 2, "ostrel: start-play: video output"),
    (["apply"], 2, "ostrel: apply: scene is required"),
    (["stop-play", "127.0.0.1:1", "1", "2"], 1,
     "ostrel: stop-play to 127.0.0.1:1 not delivered: connection refused \\(10061\\)$"),
    (["--version"], 0, "ostrel \\d+\\.\\d+\\.\\d+ \\(library V\\d+\\.\\d+\\)$"),
    (["stop-play", "127.0.0.1:1", "1", "2", "--dry-run", "-q"], 0, "frame: 183 bytes"),
]


@pytest.mark.parametrize("args,status,first_line", EXIT_CASES)
def test_exit_status_and_first_line(args, status, first_line):
    result = run(*args)
    lines = (result.stdout if status == 0 else result.stderr).splitlines()
    assert result.returncode == status, result.stderr
    assert re.match(first_line, lines[0]), lines[0]
    if status == 2:  # one line, then where to find help
        assert re.match(r"Try 'ostrel( [a-z-]+)? --help' for more information\.", lines[1])
        assert len(lines) == 2 and result.stdout == ""


def test_retries_are_counted_and_verbose_shows_each_attempt(refusing_port):
    result = run("-v", "stop-play", f"127.0.0.1:{refusing_port}", "1", "2", "--retry", "2",
                 "--retry-delay", "1")
    assert result.returncode == 1
    assert "1 command: 0 delivered, 1 failed (1 connection refused), 2 retries" in result.stderr
    assert len(re.findall(r" info 127\.0\.0\.1:\d+ StopPlay .*outcome=10061", result.stderr)) == 3


def test_progress_only_on_a_terminal(refusing_port):
    # Each command waits out 100 + 200 ms of back-off, so the line is drawn more than once.
    args = ["stop-play", f"127.0.0.1:{refusing_port}", "1", "2", "--repeat", "3", "--retry", "2",
            "--retry-delay", "100"]
    piped = run(*args)
    assert "\r" not in piped.stderr and piped.returncode == 1

    controller, terminal = pty.openpty()
    with subprocess.Popen([OSTREL, *args], stdout=subprocess.DEVNULL, stderr=terminal) as tool:
        os.close(terminal)
        seen = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # the tool closed its end
                break
            if not chunk:
                break
            seen += chunk
    os.close(controller)
    assert re.search(rb"\r2/3  delivered 0  failed 2 \(2 connection refused\)  \S+/s", seen), seen
    assert tool.returncode == 1


def test_interrupt_prints_the_partial_summary(wallsim):
    port = wallsim()
    tool = subprocess.Popen([OSTREL, "stop-play", f"127.0.0.1:{port}", "1", "2", "--repeat",
                             "1000000"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(0.5)
    tool.send_signal(signal.SIGINT)
    out, err = tool.communicate(timeout=30)
    assert tool.returncode == 130, err
    match = re.search(r"interrupted after (\d+) commands: (\d+) delivered, 0 failed", err)
    assert match and 0 < int(match.group(1)) < 1000000 and match.group(1) == match.group(2), err


SCENE = """\
# The lobby: two screens and the gate.

[[wall]]
address = "127.0.0.1:{0}"
[[wall.play]]
vidout = "1"
area = 1
url = "rtsp://cam-lobby/main"
[[wall.stop]]
vidout = "1"
area = 2
[[wall.duplicate]]
source_vidout = "1"
source_area = 1
target_vidout = "2"
target_area = 4

[[wall]]
address = "127.0.0.1:{1}"
[[wall.stop]]
vidout = "2"
area = 1

[[wall]]
address = "127.0.0.1:{2}"
[[wall.play]]
vidout = "1"
area = 1
url = "rtsp://cam-gate/sub"
[[wall.stop]]
vidout = "1"
area = 1
"""


def test_scene_drives_three_walls_and_tables_the_outcome(tmp_path, wallsim, refusing_port):
    first, second = wallsim(), wallsim()
    scene = tmp_path / "lobby.toml"
    scene.write_text(SCENE.format(first, second, refusing_port))
    result = run("apply", str(scene))
    assert result.returncode == 1, result.stderr
    rows = [re.split(r"\s{2,}", line) for line in result.stdout.splitlines()]
    assert [row[:5] for row in rows] == [
        ["wall", "commands", "delivered", "failed", "retries"],
        [f"127.0.0.1:{first}", "3", "3", "0", "0"],
        [f"127.0.0.1:{second}", "1", "1", "0", "0"],
        [f"127.0.0.1:{refusing_port}", "2", "0", "2 (2 connection refused)", "0"],
    ]


@pytest.mark.parametrize("line7,what", [
    ('aera = 2', "unknown key 'aera' in [[wall.play]]"),
    ('area = "2"', "area must be an integer"),
    ('area = = 2', ""),
])
def test_scene_with_a_mistake_is_refused_naming_the_line(tmp_path, line7, what):
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        lines = SCENE.format(listener.getsockname()[1], 1, 1).splitlines()
        lines[6] = line7  # the seventh line
        scene = tmp_path / "bad.toml"
        scene.write_text("\n".join(lines) + "\n")
        result = run("apply", str(scene))
        assert result.returncode == 2
        assert result.stderr.startswith(f"ostrel: apply: {scene}:7: {what}"), result.stderr
        listener.setblocking(False)
        with pytest.raises(BlockingIOError):
            listener.accept()  # nothing was sent
