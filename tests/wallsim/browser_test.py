"""The simulator's web view in headless Chromium: commands sent through the library show on the
page (tiles and log) within a second, texts stay text, and a screenshot is kept for people.

Run with Debian's interpreter: OSTREL_CLI, OSTREL_LIBRARY and OSTREL_SCREENSHOT name the tool,
the shared library and where the screenshot goes.
"""
import ctypes
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import urllib.request

import pytest

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = None

if webdriver is None or not CHROMIUM or not CHROMEDRIVER:
    pytest.skip("needs chromium, chromium-driver and python3-selenium (scripts/deps.sh browser)",
                allow_module_level=True)

SHOW_LIMIT_S = 1.0
RESET = 10054
# The marker an injected script would set; the page must never run one.
HOSTILE_URL = "rtsp://x/<script>window.__ran=1</script><img src=x onerror='window.__ran=2'>"


@pytest.fixture(scope="module")
def simulator():
    process = subprocess.Popen(
        [os.environ["OSTREL_CLI"], "wallsim", "--port", "0", "--http", "127.0.0.1:0"],
        stdout=subprocess.PIPE, text=True)
    ports = {}
    for line in process.stdout:
        if m := re.search(r"listening on 127\.0\.0\.1:(\d+)", line):
            ports["command"] = int(m.group(1))
        if m := re.search(r"web view at (http://\S+)", line):
            ports["url"] = m.group(1)
            break
    yield ports
    process.terminate()
    process.wait(timeout=10)


@pytest.fixture(scope="module")
def library():
    lib = ctypes.CDLL(os.environ["OSTREL_LIBRARY"])
    lib.Ostrel_OpenTvWall.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
    lib.Ostrel_StartPlay.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p]
    lib.Ostrel_StopPlay.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int]
    lib.Ostrel_Duplicate.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int,
                                     ctypes.c_char_p, ctypes.c_int]
    lib.Ostrel_Initialize()
    yield lib
    lib.Ostrel_Finalize()


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    profile = tempfile.mkdtemp(prefix="wallsim-chromium-")
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--no-first-run", "--window-size=1500,900",
                 f"--user-data-dir={profile}"]:
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    yield driver
    driver.quit()
    shutil.rmtree(profile, ignore_errors=True)


def set_fault(url, text):
    request = urllib.request.Request(url + "faults", data=json.dumps({"fault": text}).encode(),
                                     headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=5) as response:
        assert response.status == 200


def page_state(driver):
    """Tiles as {(vidout, area): (url, copied-from text, shown text)} and the newest log line."""
    return driver.execute_script("""
        const tiles = {};
        for (const t of document.querySelectorAll('.tile')) {
          const from = t.querySelector('.from');
          tiles[t.dataset.vidout + ':' + t.dataset.area] =
              [t.dataset.url, from ? from.textContent : '', t.querySelector('.url').textContent,
               t.title];
        }
        const row = document.querySelector('#log .entry');
        return {tiles, log: row ? row.textContent : '', rows: document.querySelectorAll('#log .entry').length,
                fault: document.getElementById('fault-now').textContent, ran: window.__ran};
    """)


def test_page_follows_twenty_commands(simulator, library, browser):
    browser.get(simulator["url"])
    WebDriverWait(browser, 5).until(lambda d: d.find_element(By.ID, "status").text == "live")
    wall = ctypes.c_int(-1)
    assert library.Ostrel_OpenTvWall(b"127.0.0.1", simulator["command"], ctypes.byref(wall)) == 0
    h = wall.value
    long_url = "rtsp://cameras.example/" + "very-long-path/" * 8 + "stream"
    # (send, expected outcome codes, tile key, expected tile (url, from) or None, log words)
    steps = [
        (lambda: library.Ostrel_StartPlay(h, b"1", 1, b"rtsp://cam-lobby/main"), {0},
         "1:1", ("rtsp://cam-lobby/main", ""), "1:1 plays rtsp://cam-lobby/main"),
        (lambda: library.Ostrel_StartPlay(h, b"1", 2, b"rtsp://cam-gate/sub"), {0},
         "1:2", ("rtsp://cam-gate/sub", ""), "applied"),
        (lambda: library.Ostrel_StartPlay(h, b"1", 3, long_url.encode()), {0},
         "1:3", (long_url, ""), "applied"),
        (lambda: library.Ostrel_StartPlay(h, b"1", 4, b"http://media/news.m3u8"), {0},
         "1:4", ("http://media/news.m3u8", ""), "applied"),
        (lambda: library.Ostrel_StartPlay(h, b"2", 1, b"rtsp://cam-yard/1"), {0},
         "2:1", ("rtsp://cam-yard/1", ""), "applied"),
        (lambda: library.Ostrel_StartPlay(h, b"2", 2, HOSTILE_URL.encode()), {0},
         "2:2", (HOSTILE_URL, ""), "applied"),
        (lambda: library.Ostrel_Duplicate(h, b"1", 2, b"2", 3), {0},
         "2:3", ("rtsp://cam-gate/sub", "copy of 1:2"), "2:3 shows 1:2"),
        (lambda: library.Ostrel_Duplicate(h, b"1", 1, b"2", 4), {0},
         "2:4", ("rtsp://cam-lobby/main", "copy of 1:1"), "applied"),
        (lambda: library.Ostrel_StopPlay(h, b"1", 4), {0}, "1:4", ("", ""), "1:4 stopped"),
        (lambda: library.Ostrel_StartPlay(h, b"1", 5, b"rtsp://cam-dock/2"), {0},
         "1:5", ("rtsp://cam-dock/2", ""), "applied"),
        (lambda: library.Ostrel_StopPlay(h, b"2", 9), {0}, "2:9", ("", ""), "already dark"),
        (lambda: library.Ostrel_StartPlay(h, b"2", 5, b"rtsp://cam-roof/hd"), {0},
         "2:5", ("rtsp://cam-roof/hd", ""), "applied"),
        (lambda: library.Ostrel_Duplicate(h, b"2", 2, b"1", 6), {0},
         "1:6", (HOSTILE_URL, "copy of 2:2"), "applied"),
        (lambda: library.Ostrel_StartPlay(h, b"1", 1, b"rtsp://cam-lobby/alt"), {0},
         "1:1", ("rtsp://cam-lobby/alt", ""), "applied"),
        ("fault", {0, RESET}, "1:7", None, "refused: reset after accept [fault reset]"),
        (lambda: library.Ostrel_StartPlay(h, b"1", 8, b"rtsp://cam-hall/1"), {0},
         "1:8", ("rtsp://cam-hall/1", ""), "applied"),
        (lambda: library.Ostrel_StopPlay(h, b"2", 5), {0}, "2:5", ("", ""), "2:5 stopped"),
        (lambda: library.Ostrel_Duplicate(h, b"2", 5, b"2", 6), {0},
         "2:6", ("", ""), "now dark like 2:5"),
        (lambda: library.Ostrel_StartPlay(h, b"2", 7, b"udp://239.0.0.1:5004"), {0},
         "2:7", ("udp://239.0.0.1:5004", ""), "applied"),
        (lambda: library.Ostrel_StartPlay(h, b"2", 8, b"rtsp://cam-gate/hd"), {0},
         "2:8", ("rtsp://cam-gate/hd", ""), "applied"),
    ]
    assert len(steps) == 20
    for number, (send, codes, key, tile, words) in enumerate(steps, 1):
        if send == "fault":
            set_fault(simulator["url"], "reset")
            WebDriverWait(browser, SHOW_LIMIT_S).until(
                lambda d: page_state(d)["fault"] == "fault: reset")
            assert library.Ostrel_StartPlay(h, b"1", 7, b"rtsp://lost") == 0
        else:
            assert send() == 0
        code = library.Ostrel_LastErrorCode()
        sent_at = time.monotonic()
        assert code in codes, (number, code)

        def shown(driver):
            state = page_state(driver)
            if words not in state["log"] or state["rows"] != number:
                return False
            if tile is None:
                return key not in state["tiles"]
            got = state["tiles"].get(key)
            return got is not None and (got[0], got[1]) == tile and got[3] == (tile[0] or "dark")

        WebDriverWait(browser, SHOW_LIMIT_S, poll_frequency=0.02).until(
            shown, f"step {number}: {key} {tile} / {words}: {page_state(browser)}")
        assert time.monotonic() - sent_at <= SHOW_LIMIT_S
        if send == "fault":
            set_fault(simulator["url"], "off")

    state = page_state(browser)
    assert state["ran"] is None  # no text from a command ran as script
    assert state["tiles"]["2:2"][2].startswith("rtsp://x/<script>")  # shown, shortened, as text
    assert "\u2026" in state["tiles"]["1:3"][2]
    panels = browser.find_elements(By.CSS_SELECTOR, ".panel")
    assert [p.get_attribute("data-vidout") for p in panels] == ["1", "2"]
    screenshot = os.environ.get("OSTREL_SCREENSHOT", "wallsim-web-view.png")
    assert browser.save_screenshot(screenshot)

