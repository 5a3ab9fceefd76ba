"""A whole station for tests and the soak run: a state folder with its
configuration (imported with logrum-reg), virtual devices, and recserver
running on an accelerated clock, with helpers to read its /metrics page and
to run logrum-client against it; and what the web console's browser tests
share: a session outside the browser, headless Chromium and its login.

Every wait is on a condition with a deadline; nothing sleeps a fixed time.
"""
import ctypes
import http.cookiejar
import json
import os
import signal
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

SERVER_KEY = r"HKEY_LOCAL_MACHINE\Software\Norvane Systems\Logrum2"


def end_with_parent():
    """In the child: SIGTERM when the parent ends, even when it is killed,
    so that no recserver outlives its test."""
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def reg_value(value):
    if isinstance(value, int):
        return "dword:%08x" % value
    return '"%s"' % value.replace("\\", "\\\\").replace('"', '\\"')


class Recserver:
    """A state folder `home` below `root` and recserver running on it in UTC,
    its output in `log_path` (default root/recserver.log). `clock` is
    LOGRUM2_CLOCK (None: real time); `env` adds to the environment."""

    def __init__(self, build, root, home, devices, clock=None, env=None, log_path=None,
                 patience=60):
        self.build = build
        self.bin = os.path.join(build, "bin")
        self.root = root
        self.home = home
        os.makedirs(self.home, exist_ok=True)
        self.patience = patience
        self.env = dict(os.environ, LOGRUM2_HOME=self.home, TZ="UTC0",
                        LOGRUM2_VIRTUAL_DEVICES=devices, **(env or {}))
        if clock:
            self.env["LOGRUM2_CLOCK"] = clock
        self.env.pop("JOURNAL_STREAM", None)
        self.log_path = log_path or os.path.join(root, "recserver.log")
        self.port = None
        self.console_port = None
        self.process = None
        self.log = None
        self.console_password = None  # the console's password, where it has one

    def tool(self, *args, stdin=None, check=True):
        return subprocess.run([os.path.join(self.bin, args[0])] + list(args[1:]), env=self.env,
                              input=stdin, capture_output=True, text=True, check=check)

    def server_lines(self, *values):
        """A registry file's first lines: the Server key with the ports, the
        console's password (hashed) where it has one, and `values`."""
        lines = ["Windows Registry Editor Version 5.00", "",
                 "[%s\\Server]" % SERVER_KEY,
                 '"ServerPort"=%s' % reg_value(self.port),
                 '"ConsoleAddress"="127.0.0.1:%d"' % self.console_port]
        if self.console_password is not None:
            password_hash = self.tool("recserver", "--hash-console-password",
                                      stdin=self.console_password + "\n").stdout.strip()
            lines.append('"ConsolePassword"="%s"' % password_hash)
        return lines + list(values) + [""]

    def user_lines(self, name, password, rights, full_name=None, max_connections=16):
        """A protocol user's keys as the server's user dialog writes them;
        rights: {archive: 1 recordings, 2 live stream, 3 both}."""
        digest = self.tool("logrum-client", "digest", name, password).stdout.strip()
        lines = ["[%s\\Users\\%s]" % (SERVER_KEY, name), '"UserName"="%s"' % name,
                 '"FullName"="%s"' % (full_name or name), '"Password"="%s"' % digest,
                 '"Check"=%s' % reg_value(len(password) ^ 0xA5),
                 '"MaxConnections"=%s' % reg_value(max_connections), "",
                 "[%s\\Users\\%s\\ArchiveRights]" % (SERVER_KEY, name)]
        lines += ['"%s"=%s' % (archive, reg_value(r)) for archive, r in rights.items()]
        return lines + [""]

    def import_reg(self, lines, path):
        """Writes the registry file `path` from `lines` and imports it."""
        with open(path, "w") as f:
            f.write("\n".join(lines))
        self.tool("logrum-reg", "import", path)

    def start(self, console_port=None):
        """Starts recserver (on `console_port` when the store names another,
        as after an import) and waits for its web console."""
        if console_port is not None:
            self.console_port = console_port
        self.log = open(self.log_path, "w+")
        self.process = subprocess.Popen([os.path.join(self.bin, "recserver")], env=self.env,
                                        stdout=self.log, stderr=self.log,
                                        preexec_fn=end_with_parent)
        self.wait_for(lambda: "web console on" in self.log_text(), "the web console")

    def stop(self):
        """SIGTERM and the orderly stop; the exit status."""
        if self.process is None:
            return None
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=self.patience)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        return self.process.returncode

    def log_text(self):
        self.log.flush()
        with open(self.log.name, errors="replace") as f:
            return f.read()

    def wait_for(self, condition, what, patience=None):
        deadline = time.monotonic() + (patience or self.patience)
        while time.monotonic() < deadline:
            if self.process is not None and self.process.poll() is not None:
                raise AssertionError("recserver ended while waiting for %s:\n%s"
                                     % (what, self.log_text()[-3000:]))
            value = condition()
            if value:
                return value
            time.sleep(0.1)  # polling interval of the condition, not a wait for an event
        raise AssertionError("timed out waiting for %s:\n%s" % (what, self.log_text()[-3000:]))

    def url(self, path="/"):
        return "http://127.0.0.1:%d%s" % (self.console_port, path)


class Station(Recserver):
    """archives: {name: {"source": SOURCE, registry value: int or str, ...}};
    sources: {source name: "3DEVICE"}; devices: "NAME=KIND[:ARG];...";
    users: {name: (password, {archive: rights})}."""

    def __init__(self, build, archives, sources, devices, users, speed, start=None,
                 root=None, patience=60):
        root = root or tempfile.mkdtemp(prefix="logrum-station-")
        clock = "speed=%d" % speed
        if start:
            clock = "start=%s,%s" % (start, clock)
        super().__init__(build, root, os.path.join(root, "state"), devices, clock=clock,
                         patience=patience)
        self.port = free_port()
        self.console_port = free_port()
        self.archives = archives
        self.users = users
        self.folders = {}
        self.configure(sources)

    def configure(self, sources):
        lines = self.server_lines() + ["[%s\\AudioDevices2]" % SERVER_KEY]
        lines += ['"%s"="%s"' % item for item in sources.items()]
        lines.append("")
        for name, values in self.archives.items():
            folder = os.path.join(self.root, "archives", name)
            os.makedirs(folder, exist_ok=True)
            self.folders[name] = folder
            lines.append("[%s\\Archives\\%s]" % (SERVER_KEY, name))
            merged = {"ArchivePath": folder, "LogPath": folder, "SourceName": values["source"],
                      "AutoStart": 1}
            merged.update({k: v for k, v in values.items() if k != "source"})
            lines += ['"%s"=%s' % (k, reg_value(v)) for k, v in merged.items()]
            lines.append("")
        for name, (password, rights) in self.users.items():
            lines += self.user_lines(name, password, rights)
        self.import_reg(lines, os.path.join(self.root, "station.reg"))

    def metrics_text(self, headers=None):
        request = urllib.request.Request("http://127.0.0.1:%d/metrics" % self.console_port,
                                         headers=headers or {})
        with urllib.request.urlopen(request, timeout=30) as answer:
            return answer.read().decode(), answer.headers.get("Content-Type")

    def metrics(self):
        """{(sample name, frozenset of labels): value}, parsed by prometheus_client."""
        samples = {}
        for family in text_string_to_metric_families(self.metrics_text()[0]):
            for sample in family.samples:
                samples[(sample.name, frozenset(sample.labels.items()))] = sample.value
        return samples

    @staticmethod
    def value(samples, name, **labels):
        return samples.get((name, frozenset(labels.items())))

    def client_args(self, user, password):
        return [os.path.join(self.bin, "logrum-client"), "--port", str(self.port),
                "--user", user, "--password", password]

    def client(self, user, password, *args, check=False):
        return subprocess.run(self.client_args(user, password) + list(args), env=self.env,
                              capture_output=True, text=True, check=check)

    def index(self, user, password, archive, start, end):
        """[(name time, duration ms)] of the segments starting in [start, end)."""
        out = self.client(user, password, "index", archive, start, end, check=True).stdout
        return [(line.split()[0], int(line.split()[1])) for line in out.splitlines()]


class HttpSession:
    """A console session outside the browser: cookie jar and token."""

    def __init__(self, station):
        self.station = station
        self.jar = http.cookiejar.CookieJar()
        self.opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(self.jar))
        self.token = self.get("/api/session")[1]["token"]

    def request(self, method, path, body=None, token=True, headers=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.station.url(path), data=data, method=method)
        request.add_header("Content-Type", "application/json")
        if token:
            request.add_header("X-Console-Token", self.token)
        for key, value in (headers or {}).items():
            request.add_header(key, value)
        try:
            with self.opener.open(request, timeout=self.station.patience) as response:
                raw = response.read()
                status = response.status
                kind = response.headers.get("Content-Type", "")
        except urllib.error.HTTPError as error:
            raw, status, kind = error.read(), error.code, error.headers.get("Content-Type", "")
        return status, (json.loads(raw) if raw and kind.startswith("application/json") else raw)

    def get(self, path):
        return self.request("GET", path, token=False)

    def post(self, path, body=None, token=True):
        return self.request("POST", path, body or {}, token=token)

    def login(self):
        """As the administrator, with the station's console password."""
        status, body = self.post("/api/login", {"password": self.station.console_password})
        assert status == 200, body
        self.token = body["token"]


def chromium():
    """Headless Chromium with a profile of its own: (driver, profile folder)."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    profile = tempfile.mkdtemp(prefix="logrum-chromium-")
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--autoplay-policy=no-user-gesture-required", "--user-data-dir=" + profile):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    return driver, profile


def log_in_page(driver, station):
    """Opens the station's console page and logs in as the administrator;
    returns once the page has its model."""
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    driver.get(station.url())
    wait = WebDriverWait(driver, station.patience)
    try:
        wait.until(lambda d: d.find_element(By.ID, "login").get_attribute("open") is not None)
        driver.find_element(By.ID, "login-password").send_keys(station.console_password)
        driver.find_element(By.ID, "login-submit").click()
        wait.until(lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-ready") == "true")
    except Exception as error:
        raise AssertionError("no logged-in page:\n" + station.log_text()[-4000:]) from error
