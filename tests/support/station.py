"""A whole station for tests and the soak run: a state folder with its
configuration (imported with logrum-reg), virtual devices, and recserver
running on an accelerated clock, with helpers to read its /metrics page and
to run logrum-client against it.

Every wait is on a condition with a deadline; nothing sleeps a fixed time.
"""
import ctypes
import os
import signal
import socket
import subprocess
import tempfile
import time
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


class Station:
    """archives: {name: {"source": SOURCE, registry value: int or str, ...}};
    sources: {source name: "3DEVICE"}; devices: "NAME=KIND[:ARG];...";
    users: {name: (password, {archive: rights})}."""

    def __init__(self, build, archives, sources, devices, users, speed, start=None,
                 root=None, patience=60):
        self.build = build
        self.bin = os.path.join(build, "bin")
        self.root = root or tempfile.mkdtemp(prefix="logrum-station-")
        self.home = os.path.join(self.root, "state")
        os.makedirs(self.home, exist_ok=True)
        self.port = free_port()
        self.console_port = free_port()
        self.patience = patience
        clock = "speed=%d" % speed
        if start:
            clock = "start=%s,%s" % (start, clock)
        self.env = dict(os.environ, LOGRUM2_HOME=self.home, TZ="UTC0", LOGRUM2_CLOCK=clock,
                        LOGRUM2_VIRTUAL_DEVICES=devices)
        self.env.pop("JOURNAL_STREAM", None)
        self.archives = archives
        self.users = users
        self.folders = {}
        self.configure(sources)
        self.process = None
        self.log = None

    def tool(self, *args, stdin=None, check=True):
        return subprocess.run([os.path.join(self.bin, args[0])] + list(args[1:]), env=self.env,
                              input=stdin, capture_output=True, text=True, check=check)

    def configure(self, sources):
        lines = ["Windows Registry Editor Version 5.00", "",
                 "[%s\\Server]" % SERVER_KEY,
                 '"ServerPort"=%s' % reg_value(self.port),
                 '"ConsoleAddress"="127.0.0.1:%d"' % self.console_port, "",
                 "[%s\\AudioDevices2]" % SERVER_KEY]
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
            digest = self.tool("logrum-client", "digest", name, password).stdout.strip()
            lines += ["[%s\\Users\\%s]" % (SERVER_KEY, name), '"UserName"="%s"' % name,
                      '"FullName"="%s"' % name, '"Password"="%s"' % digest,
                      '"Check"=%s' % reg_value(len(password) ^ 0xA5),
                      '"MaxConnections"=%s' % reg_value(16), "",
                      "[%s\\Users\\%s\\ArchiveRights]" % (SERVER_KEY, name)]
            lines += ['"%s"=%s' % (archive, reg_value(r)) for archive, r in rights.items()]
            lines.append("")
        path = os.path.join(self.root, "station.reg")
        with open(path, "w") as f:
            f.write("\n".join(lines))
        self.tool("logrum-reg", "import", path)

    def start(self):
        self.log = open(os.path.join(self.root, "recserver.log"), "w+")
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
        raise AssertionError("timed out waiting for %s" % what)

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
