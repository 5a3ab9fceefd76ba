#!/usr/bin/python3
"""The soak run: recserver for HOURS of the station's time on an accelerated
clock, and what a long run would show.

Three archives record virtual devices (two tones, one silence) in five-minute
segments on a small quota, so that recycling runs all along. Meanwhile
clients play archived segments, follow the live stream and the status, and
/metrics is read, each in a loop. Every finished segment is decoded with
ffmpeg soon after it is indexed (before recycling can take it), and at the
end the run reports:

  - gaps: holes in each archive's timeline by the decoded lengths, audio
    the decoder found silent inside the tone archives, decoding errors, and
    the audio the server counted as dropped;
  - memory: peak and final resident size, and the growth after warm-up;
  - open descriptors and threads over time;
  - the database against the files, after the orderly stop.

It exits 0 when all of these are clean (no gap, flat memory, stable
descriptors and threads, the database equal to the files), else 1.
"""
import argparse
import datetime
import json
import os
import random
import shutil
import sqlite3
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "support"))
from station import Station  # noqa: E402

START = datetime.datetime(2026, 3, 28, 22, 0, 0)  # UTC: a day across a month's end
SEGMENT_MINUTES = 5
QUOTA_KB = 3000  # about 12 minutes of 32 kbit/s audio per archive: recycling runs early
GAP_TOLERANCE_S = 1.5  # starts are whole seconds
TONES = ("Tone", "Duo")
USER = ("soak", "soak")
WARM_UP_FRACTION = 0.25  # from here on memory, descriptors and threads must stay flat


def linear_to_datetime(linear):
    return datetime.datetime(1601, 1, 1) + datetime.timedelta(microseconds=linear // 10)


def time_text(moment):
    return moment.strftime("%Y-%m-%d %H:%M:%S.%f")[:-3]


def segment_path(folder, linear):
    t = linear_to_datetime(linear)
    return os.path.join(folder, t.strftime("%Y.%m.%d"), t.strftime("%Y.%m.%d-%H.%M.%S") + "-S.mp3")


class Soak:
    def __init__(self, args):
        self.args = args
        self.hours = args.hours
        self.speed = args.speed
        quota = {"DiskSpaceToUseKB": QUOTA_KB, "SegmentSizeMinutes": SEGMENT_MINUTES,
                 "RecyclePeriodMsec": 10000}
        self.station = Station(
            os.path.abspath(args.build),
            archives={"Tone": dict(quota, source="ToneSrc"),
                      "Duo": dict(quota, source="DuoSrc", LiveBitrateK=0),
                      "Hush": dict(quota, source="HushSrc", LiveBitrateK=0)},
            sources={"ToneSrc": "3Tone", "DuoSrc": "3Duo", "HushSrc": "3Hush"},
            devices="Tone=tone:440;Duo=tone:330,550;Hush=silence",
            users={USER[0]: (USER[1], {"Tone": 3, "Duo": 3, "Hush": 3})},
            speed=self.speed, start=START.strftime("%Y-%m-%dT%H:%M:%S"), patience=120)
        self.stop_event = threading.Event()
        self.lock = threading.Lock()
        self.decoded = {name: {} for name in self.station.archives}  # start -> facts
        self.samples = []  # (simulated hours, rss kB, fds, threads)
        self.peak_kb = 0
        self.client_runs = {"play": 0, "live": 0, "status": 0, "metrics": 0}
        self.client_failures = []
        self.t0 = None

    # ---- time
    def simulated_hours(self):
        return (time.monotonic() - self.t0) * self.speed / 3600

    # ---- the process
    def sample(self):
        pid = self.station.process.pid
        rss = hwm = threads = 0
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    rss = int(line.split()[1])
                elif line.startswith("VmHWM:"):
                    hwm = int(line.split()[1])
                elif line.startswith("Threads:"):
                    threads = int(line.split()[1])
        fds = len(os.listdir("/proc/%d/fd" % pid))
        with self.lock:
            self.peak_kb = max(self.peak_kb, hwm, rss)
            self.samples.append((self.simulated_hours(), rss, fds, threads))

    # ---- the recordings
    def rows(self, name):
        path = os.path.join(self.station.folders[name], "archive.db3")
        if not os.path.exists(path):
            return []
        # Without locks (immutable): a reader's lock would make the server's
        # writes fail with "database is locked", which is not what is measured.
        db = sqlite3.connect("file:%s?mode=ro&immutable=1" % path, uri=True, timeout=10)
        try:
            return db.execute("select starttime, durationmsec, sizebytes from segments "
                              "order by starttime").fetchall()
        except sqlite3.DatabaseError:
            return []  # caught in the middle of a write: the next round reads it
        finally:
            db.close()

    def decode(self, name, start, duration_ms, size):
        path = segment_path(self.station.folders[name], start)
        try:
            with open(path, "rb") as f:
                audio = f.read(size)
        except FileNotFoundError:
            return None  # recycled before it was read: counted as not decoded
        command = ["ffmpeg", "-v", "error", "-f", "mp3", "-i", "-"]
        if name in TONES:
            command += ["-af", "silencedetect=noise=-50dB:d=0.3"]
        command += ["-f", "s16le", "-ac", "1", "-ar", "22050", "-"]
        # Beneath the server in priority: the soak must not starve what it measures.
        result = subprocess.run(command, input=audio, capture_output=True,
                                preexec_fn=lambda: os.nice(10))
        errors = result.stderr.decode(errors="replace")
        silences = [line for line in errors.splitlines() if "silence_start" in line]
        problems = [line for line in errors.splitlines()
                    if line and "silence_" not in line and "silencedetect" not in line]
        decoded_ms = len(result.stdout) / 2 / 22050 * 1000
        return {"duration_ms": duration_ms, "decoded_ms": decoded_ms, "silences": silences,
                "errors": problems[:3]}

    def decode_new(self):
        for name in self.station.archives:
            for start, duration_ms, size in self.rows(name):
                if start in self.decoded[name]:
                    continue
                facts = self.decode(name, start, duration_ms, size or 0)
                with self.lock:
                    self.decoded[name][start] = facts

    def decode_loop(self):
        while not self.stop_event.wait(1):
            self.decode_new()

    # ---- clients
    def client_loop(self, kind, body):
        while not self.stop_event.is_set():
            try:
                result = body()
                with self.lock:
                    self.client_runs[kind] += 1
                    if result is not None and result.returncode != 0:
                        self.client_failures.append((kind, result.stderr_text.strip()[-300:]))
            except Exception as e:  # a broken loop must show, not end the soak silently
                with self.lock:
                    self.client_failures.append((kind, repr(e)))
                self.stop_event.wait(1)

    def client(self, *args):
        """Runs logrum-client; ends it when the soak stops."""
        process = subprocess.Popen(self.station.client_args(*USER) + list(args),
                                   env=self.station.env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, text=True)
        while process.poll() is None:
            if self.stop_event.wait(0.2):
                process.terminate()
                process.wait()
                return None
        process.stderr_text = process.stderr.read()
        process.stderr.close()
        return process

    def play_once(self):
        name = random.choice(list(self.station.archives))
        rows = self.rows(name)
        if len(rows) < 2:
            self.stop_event.wait(1)
            return None
        start, duration_ms, _ = random.choice(rows[:-1])
        t = linear_to_datetime(start).strftime("%Y.%m.%d-%H.%M.%S")
        offset = random.randrange(0, max(1, duration_ms - 30000))
        return self.client("play", name, t, str(offset), "30000", "-o", "/dev/null")

    def live_once(self):
        return self.client("live", "Tone", "--seconds", "600", "-o", "/dev/null")

    def status_once(self):
        name = random.choice(list(self.station.archives))
        return self.client("status", name, "--count", "3")

    def metrics_once(self):
        Station.value(self.station.metrics(), "logrum2_client_connections_accepted_total")
        self.stop_event.wait(1)
        return None

    # ---- the run
    def run(self):
        self.station.start()
        self.t0 = time.monotonic()
        for name in self.station.archives:
            self.station.wait_for(lambda: Station.value(self.station.metrics(),
                                                        "logrum2_archive_recording",
                                                        archive=name) == 1,
                                  "archive %s recording" % name)
        threads = [threading.Thread(target=self.client_loop, args=(kind, body), daemon=True)
                   for kind, body in (("play", self.play_once), ("live", self.live_once),
                                      ("status", self.status_once),
                                      ("metrics", self.metrics_once))]
        threads.append(threading.Thread(target=self.decode_loop, daemon=True))
        for thread in threads:
            thread.start()
        next_report = 0
        try:
            while self.simulated_hours() < self.hours:
                if self.station.process.poll() is not None:
                    raise RuntimeError("recserver ended:\n" + self.station.log_text()[-3000:])
                self.sample()
                if self.simulated_hours() >= next_report:
                    rss, fds, nthreads = self.samples[-1][1:]
                    print("soak: %5.2f h of %g: rss %d kB, %d fds, %d threads"
                          % (self.simulated_hours(), self.hours, rss, fds, nthreads), flush=True)
                    next_report += max(self.hours / 12, 0.25)
                self.stop_event.wait(1)
        finally:
            self.stop_event.set()
            for thread in threads:
                thread.join(timeout=120)
        self.final_metrics = self.station.metrics()
        self.sample()
        self.exit_code = self.station.stop()
        self.decode_new()  # what the stop finished
        return self.report()

    # ---- the report
    def timeline_gaps(self, name):
        gaps = []
        entries = sorted((start, facts) for start, facts in self.decoded[name].items() if facts)
        for (start, facts), (next_start, _) in zip(entries, entries[1:]):
            end = start + int(facts["decoded_ms"] * 10000)
            hole = (next_start - end) / 1e7
            if hole > GAP_TOLERANCE_S:
                gaps.append((linear_to_datetime(end), linear_to_datetime(next_start), hole))
        return gaps

    def files_against_database(self, name):
        folder = self.station.folders[name]
        rows = {segment_path(folder, start) for start, _, _ in self.rows(name)}
        files = set()
        for day, _, names in os.walk(folder):
            files |= {os.path.join(day, n) for n in names if n.endswith(".mp3")}
        return sorted(rows - files), sorted(files - rows), len(rows)

    def report(self):
        ok = True
        lines = ["soak: %g h of station time at speed %d (%.0f s real)"
                 % (self.hours, self.speed, time.monotonic() - self.t0)]
        v = lambda name, **labels: Station.value(self.final_metrics, name, **labels)  # noqa: E731

        lines.append("gaps (decoded timeline; tone archives also by silence inside):")
        for name in self.station.archives:
            decoded = [f for f in self.decoded[name].values() if f]
            missed = sum(1 for f in self.decoded[name].values() if f is None)
            gaps = self.timeline_gaps(name)
            silences = sum(len(f["silences"]) for f in decoded)
            errors = [e for f in decoded for e in f["errors"]]
            short = [f for f in decoded if abs(f["decoded_ms"] - f["duration_ms"]) > 60]
            dropped = v("logrum2_archive_audio_dropped_seconds_total", archive=name)
            lines.append("  %-5s %4d segments decoded (%.2f h), %d recycled before decoding, "
                         "%d gaps, %d silent stretches, %d decode errors, %d length mismatches, "
                         "%s s dropped, %d written, %d recycled"
                         % (name, len(decoded), sum(f["decoded_ms"] for f in decoded) / 3.6e6,
                            missed, len(gaps), silences, len(errors), len(short), dropped,
                            v("logrum2_archive_segments_written_total", archive=name) or 0,
                            v("logrum2_archive_segments_recycled_total", archive=name) or 0))
            for start, end, hole in gaps[:10]:
                lines.append("        gap %s to %s (%.1f s)" % (time_text(start), time_text(end), hole))
            for error in errors[:3]:
                lines.append("        decode error: %s" % error)
            if gaps or silences or errors or short or missed or dropped:
                ok = False

        warm = [s for s in self.samples if s[0] >= self.hours * WARM_UP_FRACTION]
        if not warm:
            warm = self.samples[-1:]
        final = self.samples[-1]
        rss_warm = warm[0][1]
        growth_kb = final[1] - rss_warm
        memory_flat = growth_kb <= max(8192, rss_warm * 0.10)
        fds = [s[2] for s in warm]
        threads = [s[3] for s in warm]
        # Clients come and go, each with a thread and a socket: allow for them.
        fds_stable = final[2] - fds[0] <= 6 and max(fds) - min(fds) <= 16
        threads_stable = final[3] - threads[0] <= 4 and max(threads) - min(threads) <= 12
        lines.append("memory: peak %.1f MB, after warm-up %.1f MB, final %.1f MB (%+.1f MB): %s"
                     % (self.peak_kb / 1024, rss_warm / 1024, final[1] / 1024, growth_kb / 1024,
                        "flat" if memory_flat else "GROWING"))
        lines.append("descriptors after warm-up: %d to %d, final %d: %s"
                     % (min(fds), max(fds), final[2], "stable" if fds_stable else "GROWING"))
        lines.append("threads after warm-up: %d to %d, final %d: %s"
                     % (min(threads), max(threads), final[3],
                        "stable" if threads_stable else "GROWING"))
        lines.append("  hours    rss MB   fds  threads")
        step = max(1, len(self.samples) // 12)
        for hours, rss, nfds, nthreads in self.samples[::step] + [final]:
            lines.append("  %6.2f  %8.1f  %4d  %7d" % (hours, rss / 1024, nfds, nthreads))
        ok = ok and memory_flat and fds_stable and threads_stable

        lines.append("database against the files (after the stop):")
        for name in self.station.archives:
            missing, unindexed, count = self.files_against_database(name)
            lines.append("  %-5s %d rows, %d rows without a file, %d files without a row"
                         % (name, count, len(missing), len(unindexed)))
            for path in (missing + unindexed)[:5]:
                lines.append("        %s" % path)
            ok = ok and not missing and not unindexed

        with self.lock:
            lines.append("clients: %s; %d failures" % (
                ", ".join("%s %d" % item for item in self.client_runs.items()),
                len(self.client_failures)))
            for kind, text in self.client_failures[:5]:
                lines.append("  %s: %s" % (kind, text))
            # A client refused while the server is busy is the server's answer,
            # not a fault of the recording; only a run that never worked counts.
            ok = ok and all(count > 0 for count in self.client_runs.values())
        lines.append("recserver exit status %s" % self.exit_code)
        ok = ok and self.exit_code == 0
        lines.append("soak: %s" % ("PASSED" if ok else "FAILED"))
        print("\n".join(lines), flush=True)
        if self.args.json:
            with open(self.args.json, "w") as f:
                json.dump({"ok": ok, "report": lines, "samples": self.samples}, f, indent=1)
        return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("hours", type=float)
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    parser.add_argument("--speed", type=int, default=60)
    parser.add_argument("--keep", action="store_true", help="keep the station's folder")
    parser.add_argument("--json", help="also write the report and the samples here")
    args = parser.parse_args()
    if args.hours <= 0 or args.speed < 1:
        parser.error("HOURS and --speed must be positive")
    soak = Soak(args)
    ok = False
    try:
        ok = soak.run()
    finally:
        if soak.station.process is not None and soak.station.process.poll() is None:
            soak.station.stop()
        if args.keep or not ok:
            print("soak: the station's folder stays: %s" % soak.station.root)
        else:
            shutil.rmtree(soak.station.root, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
