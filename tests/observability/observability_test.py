#!/usr/bin/python3
"""What monitoring and a complaint desk see of a running recserver.

One recserver records two archives on virtual devices (a tone and silence)
with one-minute segments, on a clock 20 times faster than real time. The
/metrics page is read by Prometheus's own text parser and must move while
recording; `logrum-client export` must hand over the audio of a time range
across segments at the requested length (decoded by ffmpeg), and report a gap
made by stopping the archive for a while.
"""
import argparse
import datetime
import http.client
import json
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from station import Station  # noqa: E402

BUILD = None
SPEED = 20
LISTENER = ("listener", "listen")
LIVE_ONLY = ("liveonly", "onlylive")
NAME_TIME = "%Y.%m.%d-%H.%M.%S"


def segment_time(name):
    return datetime.datetime.strptime(name[:19], NAME_TIME)


def client_time(moment):
    return moment.strftime("%Y-%m-%dT%H:%M:%S")


def decoded_seconds(path):
    """The length of an MP3 file as ffmpeg decodes it."""
    rate = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                           "stream=sample_rate", "-of", "csv=p=0", path],
                          capture_output=True, text=True, check=True).stdout.strip()
    pcm = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "s16le", "-ac", "1", "-"],
                         capture_output=True, check=True).stdout
    return len(pcm) / 2 / int(rate)


class ObservabilityTest(unittest.TestCase):
    station = None

    @classmethod
    def setUpClass(cls):
        one_minute = {"SegmentSizeMinutes": 1, "AutoStart": 1}
        cls.station = Station(
            BUILD,
            archives={"Tone": dict(one_minute, source="ToneSrc"),
                      "Hush": dict(one_minute, source="HushSrc", LiveBitrateK=0)},
            sources={"ToneSrc": "3Tone", "HushSrc": "3Hush"},
            devices="Tone=tone:440;Hush=silence",
            users={LISTENER[0]: (LISTENER[1], {"Tone": 3, "Hush": 3}),
                   LIVE_ONLY[0]: (LIVE_ONLY[1], {"Tone": 2})},
            speed=SPEED, start="2026-06-01T10:00:00")
        cls.station.start()

    @classmethod
    def tearDownClass(cls):
        code = cls.station.stop()
        if code == 0:
            shutil.rmtree(cls.station.root, ignore_errors=True)
        else:
            print("recserver ended with %s; its folder stays: %s" % (code, cls.station.root))

    def metric(self, name, **labels):
        return Station.value(self.station.metrics(), name, **labels)

    def wait_metric(self, name, predicate, what, **labels):
        def reached():
            value = self.metric(name, **labels)
            return value is not None and predicate(value)
        self.station.wait_for(reached, what)

    def wait_segments(self, count, what):
        def enough():
            segments = self.index()
            return segments if len(segments) >= count else None
        return self.station.wait_for(enough, what)

    def command(self, command, archive):
        connection = http.client.HTTPConnection("127.0.0.1", self.station.console_port, timeout=30)
        connection.request("GET", "/api/session")
        answer = connection.getresponse()
        token = json.loads(answer.read())["token"]
        cookie = answer.getheader("Set-Cookie").split(";")[0]
        connection.request("POST", "/api/command/" + command, json.dumps({"archive": archive}),
                           {"Cookie": cookie, "X-Console-Token": token,
                            "Content-Type": "application/json"})
        answer = connection.getresponse()
        self.assertEqual(answer.status, 200, answer.read())
        connection.close()

    def index(self, archive="Tone"):
        return self.station.index(*LISTENER, archive, "2026-06-01T00:00:00", "2026-06-02T00:00:00")

    def export(self, start, end, name, user=LISTENER):
        path = os.path.join(self.station.root, name)
        result = self.station.client(*user, "export", "Tone", client_time(start),
                                     client_time(end), "-o", path)
        return result, path

    def test_1_metrics_parse_and_move_while_recording(self):
        text, content_type = self.station.metrics_text()
        self.assertTrue(content_type.startswith("text/plain; version=0.0.4"), content_type)
        self.wait_metric("logrum2_archive_recording", lambda v: v == 1, "Tone recording",
                         archive="Tone")
        samples = self.station.metrics()
        value = lambda name, **labels: Station.value(samples, name, **labels)  # noqa: E731
        self.assertEqual(value("logrum2_archive_state", archive="Tone", state="recording"), 1)
        self.assertEqual(value("logrum2_archive_state", archive="Tone", state="inactive"), 0)
        self.assertGreater(value("logrum2_archive_quota_bytes", archive="Tone"), 0)
        recorded = value("logrum2_archive_recorded_seconds_total", archive="Tone")
        segments = value("logrum2_archive_segments_written_total", archive="Tone")
        accepted = value("logrum2_client_connections_accepted_total")
        self.assertIsNotNone(recorded, text)
        self.assertIsNotNone(accepted, text)

        self.wait_metric("logrum2_archive_segments_written_total", lambda v: v >= segments + 1,
                         "a segment finished", archive="Tone")
        samples = self.station.metrics()
        self.assertGreaterEqual(value("logrum2_archive_recorded_seconds_total", archive="Tone"),
                                recorded + 30)
        self.assertGreater(value("logrum2_archive_used_bytes", archive="Tone"), 0)
        self.assertEqual(value("logrum2_archive_audio_dropped_seconds_total", archive="Tone"), 0)
        self.assertEqual(value("logrum2_archive_silence", archive="Tone"), 0)

        # Clients by what they do: one follows the status, one the live stream.
        status = subprocess.Popen(self.station.client_args(*LISTENER)
                                  + ["status", "Tone", "--count", "1000000"],
                                  env=self.station.env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        live = subprocess.Popen(self.station.client_args(*LISTENER)
                                + ["live", "Tone", "-o", "/dev/null", "--seconds", "100000"],
                                env=self.station.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        try:
            self.wait_metric("logrum2_client_connections", lambda v: v == 1, "a status client",
                             kind="status")
            self.wait_metric("logrum2_client_connections", lambda v: v == 1, "a live client",
                             kind="live")
            self.assertGreaterEqual(self.metric("logrum2_client_connections_accepted_total"),
                                    accepted + 2)
        finally:
            status.terminate()
            live.terminate()
            status.wait()
            live.wait()
        self.wait_metric("logrum2_client_connections", lambda v: v == 0, "the clients gone",
                         kind="status")

    def test_2_export_across_three_segments_has_the_requested_length(self):
        # Three whole segments after the first (partial) one.
        segments = self.wait_segments(5, "five segments")
        first, _, third = segments[1:4]
        start = segment_time(first[0]) + datetime.timedelta(seconds=20)
        end = segment_time(third[0]) + datetime.timedelta(seconds=35)
        result, path = self.export(start, end, "three.mp3")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn("gap", result.stderr)
        frame = 576 / 22050  # the archive's format: 22.05 kHz, 576 samples a frame
        wanted = (end - start).total_seconds()
        self.assertAlmostEqual(decoded_seconds(path), wanted, delta=frame)

    def test_3_export_reports_the_gap_of_a_stopped_archive(self):
        before = self.metric("logrum2_archive_recorded_seconds_total", archive="Tone")
        self.command("stop", "Tone")
        self.wait_metric("logrum2_archive_state", lambda v: v == 1, "Tone stopped",
                         archive="Tone", state="inactive")
        # Twenty seconds of the station's time without Tone, measured on Hush.
        hush = self.metric("logrum2_archive_recorded_seconds_total", archive="Hush")
        self.wait_metric("logrum2_archive_recorded_seconds_total", lambda v: v >= hush + 20,
                         "time passing", archive="Hush")
        self.command("start", "Tone")
        self.wait_metric("logrum2_archive_recording", lambda v: v == 1, "Tone again",
                         archive="Tone")
        after = self.metric("logrum2_archive_recorded_seconds_total", archive="Tone")
        self.assertGreaterEqual(after, before, "a counter never falls")

        def hole():
            """The segment before the stop, when two more follow the restart."""
            segments = self.index()
            for i in range(len(segments) - 3):
                end = segment_time(segments[i][0]) + datetime.timedelta(
                    milliseconds=segments[i][1])
                if (segment_time(segments[i + 1][0]) - end).total_seconds() > 10:
                    return segments[i], segments[i + 1]
            return None
        last_before, first_after = self.station.wait_for(hole, "two segments after the restart")
        gap_from = segment_time(last_before[0]) + datetime.timedelta(milliseconds=last_before[1])
        gap_to = segment_time(first_after[0])
        self.assertGreater((gap_to - gap_from).total_seconds(), 10)
        start = segment_time(last_before[0]) + datetime.timedelta(seconds=5)
        end = gap_to + datetime.timedelta(seconds=10)
        result, path = self.export(start, end, "gap.mp3")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("gap: nothing recorded from %s-S to %s-S"
                      % (gap_from.strftime(NAME_TIME), gap_to.strftime(NAME_TIME)), result.stderr)
        wanted = (end - start).total_seconds() - (gap_to - gap_from).total_seconds()
        self.assertAlmostEqual(decoded_seconds(path), wanted, delta=576 / 22050)

    def test_4_export_refusals(self):
        segments = self.wait_segments(2, "two segments")
        start = segment_time(segments[1][0])
        end = start + datetime.timedelta(seconds=30)
        result, path = self.export(start, end, "refused.mp3", user=LIVE_ONLY)
        self.assertEqual(result.returncode, 1)
        self.assertIn("Access denied: no right to this archive's recordings!", result.stderr)
        self.assertFalse(os.path.exists(path))
        result, path = self.export(datetime.datetime(2026, 5, 1), datetime.datetime(2026, 5, 2),
                                   "empty.mp3")
        self.assertEqual(result.returncode, 1)
        self.assertIn("no audio recorded between", result.stderr)
        self.assertFalse(os.path.exists(path))


def main():
    global BUILD
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    args, rest = parser.parse_known_args()
    BUILD = os.path.abspath(args.build)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
