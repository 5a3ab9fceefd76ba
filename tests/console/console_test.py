#!/usr/bin/python3
"""The web console in headless Chromium against a real recserver.

One recserver runs for the whole suite, on virtual devices paced by an
accelerated clock (ten minutes of recording take a minute): "Tone" plays a
sine, "Hush" silence, "Gap" a file of five seconds of tone and eighty-five of
silence (so its silence alarm comes and goes), and "Idle" is started by hand.
Every wait is on a condition; nothing sleeps for a fixed time.
"""
import argparse
import http.client
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import wave
import math

from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import station  # noqa: E402
from station import SERVER_KEY, HttpSession, chromium, free_port, log_in_page, reg_value  # noqa: E402

BUILD = None
SPEED = 10
PASSWORD = "console secret"
PATIENCE = 60  # seconds; only a broken program waits this long


def write_gap_wav(path):
    rate = 22050
    frames = bytearray()
    for i in range(rate * 5):
        frames += struct.pack("<h", int(8000 * math.sin(2 * math.pi * 440 * i / rate)))
    frames += b"\0\0" * (rate * 85)
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(bytes(frames))


class Station(station.Recserver):
    """The suite's state folder, its configuration and recserver."""

    def __init__(self):
        root = tempfile.mkdtemp(prefix="logrum-console-")
        gap = os.path.join(root, "gap.wav")
        write_gap_wav(gap)
        super().__init__(BUILD, root, os.path.join(root, "state"),
                         "Tone=tone:440;Hush=silence;Gap=file:" + gap, clock="speed=%d" % SPEED,
                         patience=PATIENCE)
        self.port = free_port()
        self.console_port = free_port()
        self.console_password = PASSWORD
        self.configure()

    def configure(self):
        lines = self.server_lines() + ["[%s\\AudioDevices2]" % SERVER_KEY, '"ToneSrc"="3Tone"',
                                       '"HushSrc"="3Hush"', '"GapSrc"="3Gap"', ""]
        for name, source, auto in (("Tone", "ToneSrc", 1), ("Hush", "HushSrc", 1),
                                   ("Gap", "GapSrc", 1), ("Idle", "ToneSrc", 0),
                                   ("Spare", "HushSrc", 0)):
            folder = os.path.join(self.root, name)
            os.makedirs(folder)
            lines += ["[%s\\Archives\\%s]" % (SERVER_KEY, name),
                      '"ArchivePath"="%s"' % folder, '"LogPath"="%s"' % folder,
                      '"SourceName"="%s"' % source, '"SegmentSizeMinutes"=%s' % reg_value(1),
                      '"AutoStart"=%s' % reg_value(auto), ""]
        lines += self.user_lines("listener", "listen", {"Tone": 3, "Hush": 3, "Gap": 3, "Idle": 2},
                                 full_name="Listener", max_connections=8)
        self.import_reg(lines, os.path.join(self.root, "station.reg"))

    def archive_logs(self):
        """The tails of the archives' own log files, for a failure's message."""
        text = ""
        for name in ("Tone", "Hush", "Gap", "Idle"):
            for folder, _, files in os.walk(os.path.join(self.root, name)):
                for file in files:
                    if not file.endswith((".mp3", ".db3", ".db3-wal", ".db3-shm")):
                        with open(os.path.join(folder, file), errors="replace") as f:
                            text += "--- %s/%s\n%s" % (name, file, f.read()[-1500:])
        return text

    def stop(self):
        super().stop()
        shutil.rmtree(self.root, ignore_errors=True)


# The level graph's trace colour; rows of the canvas' plot area that hold it
# in the newest columns.
TRACE_ROWS_JS = """
const canvas = document.querySelector(`canvas.level-graph[data-archive="${arguments[0]}"]`);
const c = canvas.getContext('2d');
const left = 20, top = 10, width = canvas.width - 30, height = canvas.height - 35;
const image = c.getImageData(left + width - 40, top, 40, height).data;
const rows = new Set();
let pixels = 0;
for (let y = 0; y < height; ++y) for (let x = 0; x < 40; ++x) {
  const i = (y * 40 + x) * 4;
  if (image[i] === 215 && image[i + 1] === 230 && image[i + 2] === 215) { rows.add(y); ++pixels; }
}
return [rows.size, pixels];
"""


class ConsoleTest(unittest.TestCase):
    station = None
    driver = None

    @classmethod
    def setUpClass(cls):
        cls.station = Station()
        try:
            cls.station.start()
            cls.driver, cls.profile = chromium()
            log_in_page(cls.driver, cls.station)
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.driver is not None:
            cls.driver.quit()
            shutil.rmtree(cls.profile, ignore_errors=True)
        if cls.station is not None:
            cls.station.stop()

    def wait(self, condition, message=""):
        try:
            # The page renders the list afresh on every change: an element
            # found a moment ago may be gone, which only means "look again".
            return WebDriverWait(self.driver, PATIENCE, ignored_exceptions=(
                NoSuchElementException, StaleElementReferenceException)).until(lambda d: condition())
        except Exception as error:
            if callable(message):
                message = message()
            raise AssertionError("%s\n%s\n%s" % (message, self.station.log_text()[-4000:],
                                                   self.station.archive_logs())) from error

    def cell(self, archive, column):
        # Read in one step: the row may be rendered afresh at any moment.
        return self.driver.execute_script(
            "const cell = document.querySelector(arguments[0]); return cell ? cell.textContent : null;",
            'tr[data-archive="%s"] td[data-column="%s"]' % (archive, column))

    def button(self, element_id):
        return self.driver.find_element(By.ID, element_id)

    def open_panel(self, archive):
        panel = self.driver.find_element(By.CSS_SELECTOR, 'details.status[data-archive="%s"]' % archive)
        if panel.get_attribute("open") is None:
            panel.find_element(By.TAG_NAME, "summary").click()
            self.wait(lambda: panel.get_attribute("open") is not None, "panel of " + archive)
        return panel

    def segments(self, archive):
        session = HttpSession(self.station)
        session.login()
        day = time.strftime("%Y-%m-%d", time.gmtime())
        status, body = session.get("/api/archives/%s/days/%s" % (archive, day))
        self.assertEqual(status, 200, body)
        return body["segments"]

    def test_list_shows_the_archives_with_the_columns(self):
        headers = [th.text for th in self.driver.find_elements(By.CSS_SELECTOR, "#archives thead th")]
        self.assertEqual(headers, ["Archive Name", "Active", "Skim", "Used", "Total", "From", "To"])
        self.wait(lambda: self.cell("Tone", "Active") == "Yes", "Tone active")
        self.wait(lambda: self.cell("Tone", "Used") not in ("", "0.000"), "Tone used")
        self.assertRegex(self.cell("Tone", "Total"), r"^\d+\.\d{3}$")
        self.assertRegex(self.cell("Tone", "From"), r"^\d{4}\.[A-Z][a-z]{2}\.\d{2}$")
        self.assertEqual(self.cell("Tone", "Skim"), "OFF")
        self.assertEqual(self.cell("Idle", "Active"), "No")

    def test_about_answers_in_a_dialog(self):
        self.button("btn-about").click()
        report = self.button("about-report")
        self.wait(lambda: "Kernel:" in report.get_attribute("value"), "system report")
        text = report.get_attribute("value")
        self.assertEqual(self.button("about-caption").text, "iLogrum Server v2.5.9")
        for line in ("Processor: ", "Distribution: ", "Disk space on " + self.station.home,
                     "Available=", "archsvc.so /", "LAME ", "SQLite 3.", "ALSA ", "libcurl "):
            self.assertIn(line, text)
        self.button("about-ok").click()
        self.wait(lambda: self.button("about").get_attribute("open") is None, "dialog closed")

    def test_remove_asks_first(self):
        self.driver.find_element(By.CSS_SELECTOR, 'tr[data-archive="Spare"]').click()
        self.wait(lambda: self.button("btn-remove").is_enabled(), "Remove enabled for Spare")
        self.button("btn-remove").click()
        self.wait(lambda: self.button("confirm").get_attribute("open") is not None, "question")
        self.assertEqual(self.button("confirm-text").text, "Remove?")
        self.button("confirm-no").click()
        self.wait(lambda: self.button("confirm").get_attribute("open") is None, "question answered")
        self.assertEqual(self.cell("Spare", "Active"), "No")
        self.button("btn-remove").click()
        self.wait(lambda: self.button("confirm").get_attribute("open") is not None, "question again")
        self.button("confirm-yes").click()
        self.wait(lambda: self.cell("Spare", "Active") is None, "Spare removed")
        self.assertIsNotNone(self.cell("Idle", "Active"))

    def test_segments_are_served_without_their_trailer(self):
        self.wait(lambda: len(self.segments("Tone")) >= 2, "a finished segment")
        segment = self.segments("Tone")[0]
        files = []
        for folder, _, names in os.walk(os.path.join(self.station.root, "Tone")):
            files += [os.path.join(folder, n) for n in names if n.endswith(".mp3")]
        path = min(files)  # the first segment of the day
        size = os.path.getsize(path)
        session = HttpSession(self.station)
        session.login()
        url = "/api/archives/Tone/segments/%s.mp3" % segment["start"]
        status, audio = session.get(url)
        self.assertEqual(status, 200)
        with open(path, "rb") as f:
            whole = f.read()
        self.assertEqual(audio, whole[:size - 109])  # the trailer is 109 bytes
        status, tail = session.request("GET", url, token=False, headers={"Range": "bytes=%d-" % (size - 200)})
        self.assertEqual((status, tail), (206, whole[size - 200:size - 109]))
        status, _ = session.request("GET", url, token=False, headers={"Range": "bytes=%d-" % (size - 50)})
        self.assertEqual(status, 416)

    def test_start_and_stop_change_the_row_and_the_buttons(self):
        self.driver.find_element(By.CSS_SELECTOR, 'tr[data-archive="Idle"]').click()
        self.wait(lambda: self.button("btn-start").is_enabled(), "Start enabled for Idle")
        self.assertFalse(self.button("btn-stop").is_enabled())
        self.assertTrue(self.button("btn-remove").is_enabled())
        self.button("btn-start").click()
        self.wait(lambda: self.cell("Idle", "Active") == "Yes", "Idle started")
        self.wait(lambda: self.button("btn-stop").is_enabled(), "Stop enabled")
        self.assertFalse(self.button("btn-start").is_enabled())
        self.assertFalse(self.button("btn-remove").is_enabled())
        self.button("btn-stop").click()
        self.wait(lambda: self.cell("Idle", "Active") == "No", "Idle stopped")
        self.wait(lambda: self.button("btn-start").is_enabled(), "Start enabled again")
        state = self.open_panel("Idle").find_element(By.CSS_SELECTOR, '[data-field="state"]')
        self.wait(lambda: state.text == "Inactive", "Idle's state text")

    def test_level_graph_draws_the_tone_and_nothing_for_silence(self):
        self.open_panel("Tone")
        self.open_panel("Hush")
        # A -12 dBFS tone spans a quarter of the plot's height.
        self.wait(lambda: self.driver.execute_script(TRACE_ROWS_JS, "Tone")[0] > 10, "tone drawn")
        # Silence: the levels arrive, each only the zero line's pixel.
        self.wait(lambda: self.driver.execute_script(TRACE_ROWS_JS, "Hush")[1] >= 20, "silence levels")
        rows, _ = self.driver.execute_script(TRACE_ROWS_JS, "Hush")
        self.assertLessEqual(rows, 1)

    def test_silence_alarm_appears_and_clears(self):
        alarm = lambda: self.driver.find_element(
            By.CSS_SELECTOR, 'tr[data-archive="Gap"] .silence').text
        self.wait(lambda: alarm().startswith("Silence"), "alarm on Gap")
        self.assertIn("-50 dBFS for 60 s", alarm())
        self.wait(lambda: alarm() == "", "alarm cleared when the tone comes back")
        self.assertIn("archive Gap: Silence alarm cleared", self.station.log_text())

    def test_archive_browser_plays_a_segment_from_an_offset(self):
        self.wait(lambda: any(seg["duration_ms"] >= 30000 for seg in self.segments("Tone")),
                  "a finished segment of 30 s")
        Select = self.driver.find_element(By.ID, "browser-archive")
        self.driver.execute_script("arguments[0].value = 'Tone';", Select)
        self.driver.execute_script("arguments[0].value = arguments[1];",
                                   self.button("browser-day"), time.strftime("%Y-%m-%d", time.gmtime()))
        self.button("browser-load").click()
        long_item = lambda: next((li for li in self.driver.find_elements(By.CSS_SELECTOR, "#segments li")
                                  if int(li.get_attribute("data-duration-ms")) >= 30000), None)
        self.wait(long_item, "the list")
        long_item().click()
        player = self.button("player")
        self.wait(lambda: self.driver.execute_script("return arguments[0].readyState", player) >= 1,
                  "metadata")
        self.driver.execute_script("arguments[0].currentTime = 20;", player)
        self.wait(lambda: self.driver.execute_script("return arguments[0].currentTime", player) > 20.5,
                  "plays on from the offset")
        self.assertIsNone(self.driver.execute_script(
            "return arguments[0].error && arguments[0].error.message", player))

    def test_live_listening_plays(self):
        self.driver.execute_script("document.getElementById('browser-archive').value = 'Tone';")
        self.button("live-play").click()
        player = self.button("live-player")
        state = "return [arguments[0].currentTime, arguments[0].readyState, arguments[0].networkState, " \
                "arguments[0].paused, arguments[0].error && arguments[0].error.message, arguments[0].src]"
        self.wait(lambda: self.driver.execute_script("return arguments[0].currentTime", player) > 0.5,
                  lambda: "live audio plays: %s" % self.driver.execute_script(state, player))
        self.assertIsNone(self.driver.execute_script(
            "return arguments[0].error && arguments[0].error.message", player))
        self.button("live-stop").click()

    def test_export_across_two_segments_decodes_to_its_length(self):
        # Two whole one-minute segments in a row (the first of a recording
        # starts within its minute and is shorter).
        def whole_pair():
            segments = self.segments("Tone")
            for a, b in zip(segments, segments[1:]):
                if a["duration_ms"] >= 55000 and b["duration_ms"] >= 55000:
                    return a, b
            return None
        first, second = self.wait(whole_pair, "two whole segments")
        day = time.strftime("%Y-%m-%d", time.gmtime())

        def at(segment, plus):
            h, m, s = (int(p) for p in segment["time"].split(":"))
            t = h * 3600 + m * 60 + s + plus
            return "%sT%02d:%02d:%02d" % (day, t // 3600, t // 60 % 60, t % 60)

        session = HttpSession(self.station)
        session.login()
        query = urllib.parse.urlencode({"from": at(first, 10), "to": at(second, 10)})
        status, audio = session.get("/api/archives/Tone/export?" + query)
        self.assertEqual(status, 200, audio)
        decoded = subprocess.run(["ffmpeg", "-v", "error", "-i", "-", "-f", "s16le", "-ac", "1",
                                  "-ar", "22050", "-"], input=audio, capture_output=True, check=True)
        self.assertEqual(decoded.stderr, b"")
        seconds = len(decoded.stdout) / 2 / 22050
        # The rest of the first segment after its tenth second, then the
        # second segment's first ten seconds.
        expected = first["duration_ms"] / 1000 - 10 + min(10, second["duration_ms"] / 1000)
        # Whole blocks at both ends (26 ms each).
        self.assertAlmostEqual(seconds, expected, delta=0.1)

    def test_bad_host_missing_token_and_wrong_password_are_refused(self):
        connection = http.client.HTTPConnection("127.0.0.1", self.station.console_port, timeout=PATIENCE)
        connection.request("GET", "/api/session", headers={"Host": "rebound.example:%d" % self.station.console_port})
        self.assertEqual(connection.getresponse().status, 403)
        connection.close()

        session = HttpSession(self.station)
        status, body = session.post("/api/login", {"password": "not it"})
        self.assertEqual((status, body.get("error")), (401, "Login failed!"))
        status, _ = session.get("/api/model")
        self.assertEqual(status, 401)
        session.login()
        status, _ = session.post("/api/command/stop-all", token=False)
        self.assertEqual(status, 403)
        status, _ = session.request("POST", "/api/command/stop-all", {}, token=False,
                                    headers={"X-Console-Token": "0" * 32})
        self.assertEqual(status, 403)
        status, body = session.get("/api/model")
        self.assertEqual(status, 200)
        self.assertEqual(body["rows"][0]["cells"][0], "Gap")
        # A protocol user may listen but not run the server.
        user = HttpSession(self.station)
        status, body = user.post("/api/login", {"user": "listener", "password": "listen"})
        self.assertEqual((status, body.get("role")), (200, "user"))
        user.token = body["token"]
        status, _ = user.post("/api/command/stop-all")
        self.assertEqual(status, 403)
        # Its archive rights decide what it may play: Idle is live only.
        day = time.strftime("%Y-%m-%d", time.gmtime())
        self.assertEqual(user.get("/api/archives/Tone/days/" + day)[0], 200)
        status, body = user.get("/api/archives/Idle/days/" + day)
        self.assertEqual((status, body.get("error")), (403, "No right to the recordings of this archive"))


def main():
    """Runs the tests of the script that was started: --build names the build tree."""
    global BUILD
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    args, rest = parser.parse_known_args()
    BUILD = os.path.abspath(args.build)
    unittest.main(module="__main__", argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
