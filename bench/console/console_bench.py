#!/usr/bin/python3
"""Cost of the web console's streams: CPU and memory of recserver per client,
and whether every level report and every live block reached every client.

Runs recserver on a tone device in real time, first with one event stream and
one live listener (the baseline), then with 50 of each, and prints the figures
of both runs and their ratios. A level report carries its number per archive,
so a stream that missed one shows a gap; a live listener must receive the
stream's bytes for the whole window.

  /usr/bin/python3 bench/console/console_bench.py --build build [--seconds 20] [--clients 50]
"""
import argparse
import http.client
import json
import os
import shutil
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests",
                                "support"))
from station import Recserver, free_port  # noqa: E402

KEY = r"HKEY_LOCAL_MACHINE\Software\Norvane Systems\Logrum2"
LIVE_KBPS = 32


class Server(Recserver):
    def __init__(self, build):
        root = tempfile.mkdtemp(prefix="logrum-console-bench-")
        super().__init__(build, root, os.path.join(root, "state"), "Tone=tone:440",
                         log_path=os.path.join(root, "log"), patience=30)
        self.port, self.console = free_port(), free_port()
        self.console_port = self.console
        folder = os.path.join(self.root, "News")
        os.makedirs(folder)
        digest = self.tool("logrum-client", "digest", "bench", "bench").stdout.strip()
        self.import_reg([
            "Windows Registry Editor Version 5.00", "",
            "[%s\\Server]" % KEY, '"ServerPort"=dword:%08x' % self.port,
            '"MaxClientConnections"=dword:00000100',
            '"ConsoleAddress"="127.0.0.1:%d"' % self.console, "",
            "[%s\\AudioDevices2]" % KEY, '"Studio"="3Tone"', "",
            "[%s\\Archives\\News]" % KEY, '"ArchivePath"="%s"' % folder, '"LogPath"="%s"' % folder,
            '"SourceName"="Studio"', '"AutoStart"=dword:00000001',
            '"LiveBitrateK"=dword:%08x' % LIVE_KBPS, "",
            "[%s\\Users\\bench]" % KEY, '"UserName"="bench"', '"Password"="%s"' % digest,
            '"Check"=dword:%08x' % (5 ^ 0xA5), '"MaxConnections"=dword:00000100', "",
            "[%s\\Users\\bench\\ArchiveRights]" % KEY, '"News"=dword:00000003', ""],
            os.path.join(self.root, "bench.reg"))
        self.start()
        self.wait_for(lambda: "archive News: Active" in self.log_text(), "News recording")

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.process.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def rss_kb(self):
        with open("/proc/%d/status" % self.process.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def stop(self):
        super().stop()
        shutil.rmtree(self.root, ignore_errors=True)


class EventClient(threading.Thread):
    def __init__(self, port):
        super().__init__(daemon=True)
        self.port, self.numbers, self.connected = port, [], threading.Event()
        self.stop_flag = False

    def run(self):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        c.request("GET", "/api/events")
        r = c.getresponse()
        self.connected.set()
        event = None
        while not self.stop_flag:
            line = r.fp.readline()
            if not line:
                break
            line = line.decode().rstrip("\n")
            if line.startswith("event: "):
                event = line[7:]
            elif line.startswith("data: ") and event == "level":
                self.numbers.append(json.loads(line[6:])["n"])
        c.close()


class LiveClient(threading.Thread):
    def __init__(self, port):
        super().__init__(daemon=True)
        self.port, self.bytes, self.connected, self.ended = port, 0, threading.Event(), False
        self.stop_flag = False

    def run(self):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        c.request("GET", "/api/archives/News/live")
        r = c.getresponse()
        self.connected.set()
        while not self.stop_flag:
            chunk = r.read1(65536) if hasattr(r, "read1") else r.read(4096)
            if not chunk:
                self.ended = True
                break
            self.bytes += len(chunk)
        c.close()


def measure(server, clients, seconds):
    events = [EventClient(server.console) for _ in range(clients)]
    lives = [LiveClient(server.console) for _ in range(clients)]
    for c in events + lives:
        c.start()
    for c in events + lives:
        c.connected.wait(30)
    time.sleep(2)  # let the streams settle before the window opens
    cpu0, rss0, t0 = server.cpu_seconds(), server.rss_kb(), time.monotonic()
    start_numbers = [len(c.numbers) for c in events]
    start_bytes = [c.bytes for c in lives]
    time.sleep(seconds)
    cpu1, rss1, t1 = server.cpu_seconds(), server.rss_kb(), time.monotonic()
    window = t1 - t0
    window_bytes = [c.bytes - b for c, b in zip(lives, start_bytes)]
    for c in events + lives:
        c.stop_flag = True
    gaps = 0
    counts = []
    for c, first in zip(events, start_numbers):
        n = c.numbers
        gaps += sum(1 for a, b in zip(n, n[1:]) if b != a + 1)
        counts.append(len(n) - first)
    expected_bytes = LIVE_KBPS * 1000 / 8 * window
    short = sum(1 for b in window_bytes if b < expected_bytes * 0.9)
    return {
        "clients": clients, "window_s": window, "cpu_s": cpu1 - cpu0, "rss_kb": rss1,
        "rss_growth_kb": rss1 - rss0, "levels_min": min(counts), "levels_max": max(counts),
        "level_gaps": gaps, "live_bytes_min": min(window_bytes), "live_expected": expected_bytes,
        "live_short": short, "live_ended": sum(1 for c in lives if c.ended),
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--clients", type=int, default=50)
    args = parser.parse_args()
    server = Server(os.path.abspath(args.build))
    try:
        idle_cpu0 = server.cpu_seconds()
        time.sleep(args.seconds / 2)
        idle_cpu = (server.cpu_seconds() - idle_cpu0) / (args.seconds / 2)
        idle_rss = server.rss_kb()
        base = measure(server, 1, args.seconds)
        load = measure(server, args.clients, args.seconds)
    finally:
        server.stop()
    print("recserver alone: %.1f%% CPU, %d KiB resident" % (idle_cpu * 100, idle_rss))
    for run in (base, load):
        cpu = run["cpu_s"] / run["window_s"]
        print("%3d pages + %3d live: %.1f%% CPU (%.2f%% per client), %d KiB resident (%+.0f KiB per client "
              "over idle); levels per page %d..%d, gaps %d; live bytes >= %d of %.0f, short %d, ended %d"
              % (run["clients"], run["clients"], cpu * 100, (cpu - idle_cpu) * 100 / (2 * run["clients"]),
                 run["rss_kb"], (run["rss_kb"] - idle_rss) / (2 * run["clients"]), run["levels_min"],
                 run["levels_max"], run["level_gaps"], run["live_bytes_min"], run["live_expected"],
                 run["live_short"], run["live_ended"]))
    per_base = (base["cpu_s"] / base["window_s"] - idle_cpu) / 2
    per_load = (load["cpu_s"] / load["window_s"] - idle_cpu) / (2 * load["clients"])
    print("ratio, CPU per client at %d against 1: %.2f" % (load["clients"], per_load / per_base if per_base > 0 else float("nan")))
    complete = load["level_gaps"] == 0 and load["live_short"] == 0 and load["live_ended"] == 0
    print("every level and block delivered: %s" % ("yes" if complete else "NO"))
    return 0 if complete else 1


if __name__ == "__main__":
    sys.exit(main())
