#!/usr/bin/python3
"""The station's setup dialogs of the web console in headless Chromium
against a real recserver: an audio source on a virtual device, a switch input
against a loopback text server with its status followed live, a user with
rights who then logs in with logrum-client, and the server options with
start at boot through a stand-in systemctl. Then the configuration goes
through `logrum-reg export` into a fresh state folder and a new recserver
there behaves the same. Every wait is on a condition.
"""
import os
import shutil
import socket
import sys
import tempfile
import threading
import unittest

from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import console_test  # noqa: E402  (its password and patience)
import station  # noqa: E402
from station import SERVER_KEY, HttpSession, chromium, free_port, log_in_page, reg_value  # noqa: E402

PASSWORD = console_test.PASSWORD
PATIENCE = console_test.PATIENCE
CONFIG_ROOT = r"HKEY_LOCAL_MACHINE\Software\Norvane Systems"

FAKE_SYSTEMCTL = """#!/bin/sh
cd '%s'
echo "$@" >> calls
state=$(cat state)
case "$1" in
is-enabled) echo "$state"; [ "$state" = enabled ]; exit $?;;
enable|disable) echo "$1d" > state;;
esac
"""


class TextServer:
    """A peer that prints status lines to every client connected."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.address = "127.0.0.1:%d" % self.listener.getsockname()[1]
        self.clients = []
        self.changed = threading.Condition()
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            with self.changed:
                self.clients.append(client)
                self.changed.notify_all()

    def wait_for_clients(self, count):
        with self.changed:
            assert self.changed.wait_for(lambda: len(self.clients) >= count, PATIENCE), "no client"

    def send(self, text):
        with self.changed:
            for client in self.clients:
                try:
                    client.sendall(text.encode())
                except OSError:
                    pass

    def close(self):
        self.listener.close()
        for client in self.clients:
            client.close()


class Station(station.Recserver):
    """A state folder and a recserver on it; `configure` false keeps what
    the folder's store holds."""

    def __init__(self, root, name, systemctl, configure=True):
        super().__init__(console_test.BUILD, root, os.path.join(root, name),
                         "Tone=tone:440;Desk=tone:880", env={"LOGRUM2_SYSTEMCTL": systemctl},
                         log_path=os.path.join(root, name + ".log"), patience=PATIENCE)
        self.console_password = PASSWORD
        if configure:
            self.configure()

    def configure(self):
        self.port = free_port()
        self.console_port = free_port()
        lines = self.server_lines() + ["[%s\\AudioDevices2]" % SERVER_KEY, '"ToneSrc"="3Tone"', ""]
        for name in ("News", "Talk"):
            folder = os.path.join(self.root, "archives", name)
            os.makedirs(folder, exist_ok=True)
            lines += ["[%s\\Archives\\%s]" % (SERVER_KEY, name), '"ArchivePath"="%s"' % folder,
                      '"LogPath"="%s"' % folder, '"SourceName"="ToneSrc"',
                      '"AutoStart"=%s' % reg_value(1), ""]
        self.import_reg(lines, os.path.join(self.root, "station.reg"))


class StationDialogsTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="logrum-station-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        fake = os.path.join(self.root, "systemd")
        os.makedirs(fake)
        with open(os.path.join(fake, "state"), "w") as f:
            f.write("disabled\n")
        self.systemctl = os.path.join(fake, "systemctl")
        with open(self.systemctl, "w") as f:
            f.write(FAKE_SYSTEMCTL % fake)
        os.chmod(self.systemctl, 0o755)
        self.peer = TextServer()
        self.addCleanup(self.peer.close)
        self.station = Station(self.root, "first", self.systemctl)
        self.addCleanup(self.station.stop)
        self.station.start(self.station.console_port)
        self.driver, profile = chromium()
        self.addCleanup(shutil.rmtree, profile, ignore_errors=True)
        self.addCleanup(self.driver.quit)

    def wait(self, condition, message=""):
        try:
            return WebDriverWait(self.driver, PATIENCE, ignored_exceptions=(
                NoSuchElementException, StaleElementReferenceException)).until(lambda d: condition())
        except Exception as error:
            raise AssertionError("%s\n%s" % (message, self.station.log_text()[-4000:])) from error

    def by_id(self, element_id):
        return self.driver.find_element(By.ID, element_id)

    def is_open(self, dialog):
        return self.by_id(dialog).get_attribute("open") is not None

    def row_texts(self, table):
        return [[td.text for td in tr.find_elements(By.TAG_NAME, "td")]
                for tr in self.driver.find_elements(By.CSS_SELECTOR, "#%s tbody tr" % table)]

    def click_row(self, table, key):
        self.driver.find_element(By.CSS_SELECTOR, '#%s tbody tr[data-key="%s"]' % (table, key)).click()

    def type_into(self, element_id, text):
        field = self.by_id(element_id)
        field.clear()
        field.send_keys(text)

    def client(self, station, port, *command):
        return station.tool("logrum-client", "--port", str(port), "--user", "anna", "--password",
                            "pw1", *command, check=False)

    def listed(self, station, port, *command):
        """The archives the user may play (or follow live), once both run
        (the list names active archives only)."""
        def both_running():
            return "Talk" in self.client(station, port, "list", "--live").stdout
        self.wait(both_running, "archives running")
        run = self.client(station, port, "list", *command)
        self.assertEqual(run.returncode, 0, run.stderr)
        return run.stdout

    def test_setup_through_the_dialogs_survives_an_export_to_a_fresh_state_folder(self):
        log_in_page(self.driver, self.station)

        # An audio source on the virtual device "Desk".
        self.by_id("btn-audio-sources").click()
        self.wait(lambda: self.is_open("sources"), "audio source manager")
        self.assertEqual(self.row_texts("sources-list"), [["ToneSrc", "Tone", "Left & Right"]])
        self.by_id("sources-add").click()
        self.wait(lambda: self.is_open("source-add"), "add dialog")
        self.type_into("source-add-name", "DeskSrc")
        Select(self.by_id("source-add-device")).select_by_visible_text("Desk")
        self.assertEqual(Select(self.by_id("source-add-channels")).first_selected_option.text, "Left + Right")
        self.by_id("source-add-ok").click()
        self.wait(lambda: ["DeskSrc", "Desk", "Left & Right"] in self.row_texts("sources-list"),
                  "the new source")
        self.assertFalse(self.is_open("source-add"))

        # Its switch input 5 against the text server, followed live.
        self.click_row("sources-list", "DeskSrc")
        skim = self.by_id("sources-skim")
        self.wait(lambda: skim.is_displayed() and skim.is_enabled(), "Configure Source Skim Inputs...")
        skim.click()
        self.wait(lambda: self.is_open("gpio"), "GPIO Configuration")
        self.assertEqual(self.by_id("gpio-device").text, "Desk")
        self.assertEqual([self.by_id("gpio-status-%d" % n).text for n in range(5, 9)], ["Inactive!"] * 4)
        self.by_id("gpio-configure-5").click()
        self.wait(lambda: self.is_open("gpio-input"), "input dialog")
        self.assertEqual(self.by_id("gpio-input-caption").text, "Logical TCP/IP Input 5 Configuration")
        self.type_into("gpio-host", self.peer.address)
        self.type_into("gpio-on", "MIC ON")
        self.type_into("gpio-off", "MIC OFF")
        self.type_into("gpio-test-text", "mic on")
        self.by_id("gpio-test").click()
        self.wait(lambda: self.by_id("gpio-test-result").get_attribute("value") == "ON", "test result")
        self.by_id("gpio-input-ok").click()
        status = self.by_id("gpio-status-5")
        self.wait(lambda: status.text == "OFF (%s)" % self.peer.address, "connected, OFF")
        self.assertTrue(self.by_id("gpio-enable-5").is_selected())
        self.peer.wait_for_clients(1)
        self.peer.send("MIC ON\r\n")
        self.wait(lambda: status.text == "ON (%s)" % self.peer.address, "ON, live")
        self.by_id("gpio-ok").click()
        self.by_id("sources-done").click()
        self.wait(lambda: not self.is_open("sources"), "manager closed")

        # A user whose rights are set in the rights dialog that follows.
        self.by_id("btn-users").click()
        self.wait(lambda: self.is_open("users"), "user manager")
        self.by_id("users-add").click()
        self.wait(lambda: self.is_open("user"), "user dialog")
        self.assertEqual(self.by_id("user-caption").text, "Add User")
        self.type_into("user-name", "anna")
        self.type_into("user-full-name", "Anna Example")
        self.type_into("user-password", "pw1")
        self.type_into("user-confirm", "pw1")
        self.by_id("user-ok").click()
        self.wait(lambda: self.is_open("rights"), "rights dialog")
        self.assertEqual(self.row_texts("rights-list"), [["News", "Yes", "Yes"], ["Talk", "Yes", "Yes"]])
        self.click_row("rights-list", "Talk")
        self.by_id("rights-access").click()  # Talk: live stream only
        self.assertEqual(self.row_texts("rights-list")[1], ["Talk", "No", "Yes"])
        self.by_id("rights-done").click()
        self.wait(lambda: not self.is_open("rights"), "rights saved")
        self.assertIn(["anna", "Anna Example"], self.row_texts("users-list"))
        self.by_id("users-done").click()
        listed = self.listed(self.station, self.station.port)
        self.assertIn("News", listed)
        self.assertNotIn("Talk", listed)

        # The server options: a new port for the next start, and start at boot.
        new_port = free_port()
        self.by_id("btn-server-options").click()
        self.wait(lambda: self.is_open("server-options"), "server options")
        self.assertEqual(self.by_id("server-port").get_attribute("value"), str(self.station.port))
        self.type_into("server-port", str(new_port))
        self.by_id("server-boot").click()
        self.by_id("server-options-ok").click()
        self.wait(lambda: self.by_id("message-text").text ==
                  "NOTE: The server port change will not take effect until you restart the server!",
                  "restart note")
        with open(os.path.join(self.root, "systemd", "calls")) as f:
            self.assertIn("enable logrum2.service", f.read())

        # Round trip: export, a fresh state folder, import, a new server.
        exported = os.path.join(self.root, "export.reg")
        self.station.tool("logrum-reg", "export", CONFIG_ROOT, exported)
        console_port = self.station.console_port
        self.station.stop()
        fresh = Station(self.root, "second", self.systemctl, configure=False)
        self.addCleanup(fresh.stop)
        fresh.tool("logrum-reg", "import", exported)
        fresh.start(console_port)
        self.station = fresh
        listed = self.listed(fresh, new_port)
        self.assertIn("News", listed)
        self.assertNotIn("Talk", listed)
        session = HttpSession(fresh)
        session.login()
        status, sources = session.get("/api/audio-sources")
        self.assertEqual(status, 200, sources)
        self.assertIn({"name": "DeskSrc", "device": "Desk", "channels": "Left & Right", "code": 3},
                      sources["rows"])
        # The input runs again from the imported configuration and follows its peer.
        self.peer.wait_for_clients(2)

        def input_status():
            return session.get("/api/gpio?device=Desk")[1]["inputs"][0]["status"]

        self.wait(lambda: input_status() == "OFF (%s)" % self.peer.address, "reconnected, OFF")
        self.peer.send("MIC ON\n")
        self.wait(lambda: input_status() == "ON (%s)" % self.peer.address, "ON after the import")


if __name__ == "__main__":
    console_test.main()
