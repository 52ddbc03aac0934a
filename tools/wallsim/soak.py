"""Soak of the wall controller simulator: host threads send random commands through the shared
library while fault modes (each for 10% of connections) take turns; a probe measures how long a
command takes from the host's call to the simulator's log line. A run without a browser comes
first, then one with headless Chromium showing the web view. Prints RSS, descriptors and probe
latency of both; exits 1 when RSS or descriptors grow or the latency with the browser is more
than twice that without.

Usage: /usr/bin/python3 soak.py --cli ostrel --library libostrel.so [--minutes 10]
"""
import argparse
import ctypes
import json
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

FAULTS = ["reset@0.1", "drop@0.1", "delay:200@0.1", "slow:2000@0.1", "stall@0.1", "refuse@0.1"]
FAULT_TURN_S = 20
SAMPLE_S = 5
PROBE_EVERY_S = 0.1
# Pause between one host thread's commands; each command is a new connection, and the host's
# closed connections wait in TIME_WAIT, so the rate must stay under what the port range allows.
HOST_PAUSE_S = 0.06
WARM_UP_S = 60
RSS_GROWTH_LIMIT = 1.25
LATENCY_RATIO_LIMIT = 2.0


def load_library(path):
    lib = ctypes.CDLL(path)
    lib.Ostrel_OpenTvWall.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
    lib.Ostrel_StartPlay.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p]
    lib.Ostrel_StopPlay.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int]
    lib.Ostrel_Duplicate.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int,
                                     ctypes.c_char_p, ctypes.c_int]
    return lib


def post_fault(url, text):
    request = urllib.request.Request(url + "faults", data=json.dumps({"fault": text}).encode(),
                                     headers={"Content-Type": "application/json"})
    urllib.request.urlopen(request, timeout=5).close()


def process_figures(pid):
    with open(f"/proc/{pid}/status") as f:
        rss_kb = int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))
    return rss_kb, len(os.listdir(f"/proc/{pid}/fd"))


def open_browser(url):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    profile = tempfile.mkdtemp(prefix="wallsim-soak-")
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--no-first-run", f"--user-data-dir={profile}"]:
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
    driver.get(url)
    return driver, profile


class Run:
    def __init__(self, args, lib, seconds, with_browser):
        self.args, self.lib, self.seconds, self.with_browser = args, lib, seconds, with_browser
        self.stop = threading.Event()
        self.sent = {}        # probe number -> time of the call
        self.latencies = []   # seconds from call to log line
        self.samples = []     # (seconds into the run, RSS kB, descriptors)
        self.commands = 0
        self.lock = threading.Lock()

    def read_log(self, stream):
        for line in stream:
            if m := re.search(r'url="probe-(\d+)"', line):
                arrived = time.monotonic()
                with self.lock:
                    sent = self.sent.pop(int(m.group(1)), None)
                if sent is not None:
                    self.latencies.append(arrived - sent)

    def host(self, handle, seed):
        rng = random.Random(seed)
        lib = self.lib
        while not self.stop.is_set():
            vidout = str(rng.randint(1, 8)).encode()
            area = rng.randint(1, 64)
            kind = rng.random()
            if kind < 0.6:
                url = ("rtsp://cam/" + "x" * rng.randint(0, 200)).encode()
                lib.Ostrel_StartPlay(handle, vidout, area, url)
            elif kind < 0.8:
                lib.Ostrel_StopPlay(handle, vidout, area)
            else:
                lib.Ostrel_Duplicate(handle, vidout, area, str(rng.randint(1, 8)).encode(),
                                     rng.randint(1, 64))
            with self.lock:
                self.commands += 1
            time.sleep(HOST_PAUSE_S)

    def probe(self, handle):
        number = 0
        while not self.stop.is_set():
            number += 1
            with self.lock:
                self.sent[number] = time.monotonic()
            self.lib.Ostrel_StartPlay(handle, b"probe", 1, f"probe-{number}".encode())
            time.sleep(PROBE_EVERY_S)

    def go(self):
        sim = subprocess.Popen([self.args.cli, "wallsim", "--port", "0", "--http", "127.0.0.1:0"],
                               stdout=subprocess.PIPE, text=True, errors="replace")
        port = url = None
        for line in sim.stdout:
            if m := re.search(r"listening on 127\.0\.0\.1:(\d+)", line):
                port = int(m.group(1))
            if m := re.search(r"web view at (http://\S+)", line):
                url = m.group(1)
                break
        threading.Thread(target=self.read_log, args=(sim.stdout,), daemon=True).start()
        driver = profile = None
        if self.with_browser:
            driver, profile = open_browser(url)
        handle = ctypes.c_int(-1)
        self.lib.Ostrel_OpenTvWall(b"127.0.0.1", port, ctypes.byref(handle))
        workers = [threading.Thread(target=self.host, args=(handle.value, i))
                   for i in range(self.args.threads)]
        workers.append(threading.Thread(target=self.probe, args=(handle.value,)))
        for worker in workers:
            worker.start()
        start = time.monotonic()
        turn = -1
        while (elapsed := time.monotonic() - start) < self.seconds:
            if int(elapsed // FAULT_TURN_S) != turn:
                turn = int(elapsed // FAULT_TURN_S)
                post_fault(url, FAULTS[turn % len(FAULTS)])
            self.samples.append((elapsed, *process_figures(sim.pid)))
            time.sleep(SAMPLE_S)
        self.samples.append((time.monotonic() - start, *process_figures(sim.pid)))
        snapshots = driver.execute_script("return document.body.dataset.snapshots") if driver else None
        self.stop.set()
        for worker in workers:
            worker.join()
        if driver:
            driver.quit()
            shutil.rmtree(profile, ignore_errors=True)
        sim.terminate()
        sim.wait(timeout=30)
        return snapshots

    def report(self, name, snapshots):
        warm = [s for s in self.samples if s[0] >= min(WARM_UP_S, self.seconds / 2)]
        first, last = warm[0], warm[-1]
        lat = sorted(self.latencies)
        p = lambda q: lat[min(len(lat) - 1, int(q * len(lat)))] * 1000
        print(f"{name}: {self.seconds / 60:.1f} min, {self.commands} commands "
              f"({self.commands / self.seconds:.0f}/s), {len(lat)} probes applied")
        print(f"  RSS {first[1] / 1024:.1f} MB at {first[0]:.0f} s -> {last[1] / 1024:.1f} MB at "
              f"{last[0]:.0f} s (max {max(s[1] for s in warm) / 1024:.1f} MB); descriptors "
              f"{first[2]} -> {last[2]} (max {max(s[2] for s in warm)})")
        print(f"  probe latency ms: median {statistics.median(lat) * 1000:.2f}, p90 {p(0.9):.2f}, "
              f"p99 {p(0.99):.2f}" + (f"; page (re)connected {snapshots} times" if snapshots else ""))
        return first, last, statistics.median(lat), p(0.9)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--baseline-minutes", type=float, default=2)
    parser.add_argument("--threads", type=int, default=16)
    args = parser.parse_args()
    lib = load_library(args.library)
    lib.Ostrel_Initialize()
    baseline = Run(args, lib, args.baseline_minutes * 60, False)
    base = baseline.report("without browser", baseline.go())
    soak = Run(args, lib, args.minutes * 60, True)
    with_browser = soak.report("with browser", soak.go())
    lib.Ostrel_Finalize()
    first, last = with_browser[0], with_browser[1]
    ratio = with_browser[2] / base[2]
    print(f"median latency with/without browser: {ratio:.2f}x; "
          f"p90 {with_browser[3] / base[3]:.2f}x")
    flat = last[1] <= first[1] * RSS_GROWTH_LIMIT and last[2] <= first[2] * RSS_GROWTH_LIMIT + 16
    ok = flat and ratio <= LATENCY_RATIO_LIMIT
    print("soak: " + ("passed" if ok else "FAILED") + (" (RSS or descriptors grew)" if not flat else ""))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
