#!/usr/bin/python3
"""recserver as it is installed: run from its installation with no help from
the build tree or LD_LIBRARY_PATH, it must find its plug-ins and its page,
tell a (fake) service manager READY=1 and ping the watchdog, record segments
on a virtual device with a configuration imported by logrum-reg, and stop in
order on SIGTERM.

  installed_server_test.py --build BUILD [--unit UNIT]
      installs BUILD into a temporary prefix (cmake --install) and runs it there
  installed_server_test.py --prefix PREFIX [--unit UNIT]
      runs an installation that is already there (an unpacked package's usr/)

--unit checks the systemd unit with systemd-analyze verify, with its ExecStart
pointed at the installed program (skipped where systemd-analyze is missing).
"""
import argparse
import glob
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import urllib.request

PLUGINS = ["archsvc.so", "audiosrc.so", "audenc.so", "gpiolink.so", "ftpxfer.so",
           "diaglog.so", "traceprov.so"]
PROGRAMS = ["recserver", "logrum-reg", "logrum-client", "logrum-logview", "logrum-segment",
            "logrum-capture"]
SERVER_KEY = r"HKEY_LOCAL_MACHINE\Software\Norvane Systems\Logrum2"
SPEED = 30           # the accelerated clock: a one-minute segment takes 2 s
PATIENCE = 60        # seconds; only a broken program waits this long


def fail(text):
    raise AssertionError(text)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def check_layout(prefix, build):
    for program in PROGRAMS:
        if not os.access(os.path.join(prefix, "bin", program), os.X_OK):
            fail("not installed: bin/" + program)
    found = glob.glob(os.path.join(prefix, "lib", "**", "archsvc.so"), recursive=True)
    if len(found) != 1:
        fail("expected one archsvc.so under lib/, found %s" % found)
    plugin_folder = os.path.dirname(found[0])
    if os.path.basename(plugin_folder) != "logrum2":
        fail("plug-ins are not in a private folder: " + plugin_folder)
    for plugin in PLUGINS:
        if not os.path.isfile(os.path.join(plugin_folder, plugin)):
            fail("not installed: %s/%s" % (plugin_folder, plugin))
    if not os.path.isfile(os.path.join(prefix, "share", "logrum2", "web", "index.html")):
        fail("the console's page is not in share/logrum2/web")
    # The run path leads from the program to its plug-ins, never back into the build.
    dynamic = subprocess.run(["readelf", "-d", os.path.join(prefix, "bin", "recserver")],
                             capture_output=True, text=True, check=True).stdout
    runpath = re.findall(r"\((?:RUNPATH|RPATH)\).*\[(.*)\]", dynamic)
    for entry in ":".join(runpath).split(":"):
        if entry and not entry.startswith("$ORIGIN"):
            fail("recserver's run path is not relative to the program: " + entry)
    if build and build in dynamic:
        fail("recserver's run path points into the build tree")
    return plugin_folder


def verify_unit(unit, prefix, root):
    analyze = shutil.which("systemd-analyze")
    if analyze is None:
        print("systemd-analyze not available: unit not verified")
        return
    with open(unit) as f:
        text = f.read()
    program = os.path.join(prefix, "bin", "recserver")
    text = re.sub(r"^ExecStart=\S+", "ExecStart=" + program, text, flags=re.M)
    copy = os.path.join(root, os.path.basename(unit))
    with open(copy, "w") as f:
        f.write(text)
    result = subprocess.run([analyze, "verify", copy], capture_output=True, text=True)
    complaints = [line for line in (result.stdout + result.stderr).splitlines()
                  if os.path.basename(unit) in line]
    if result.returncode != 0 or complaints:
        fail("systemd-analyze verify %s:\n%s%s" % (unit, result.stdout, result.stderr))
    print("unit verified: " + unit)


class FakeServiceManager:
    """The datagram socket that NOTIFY_SOCKET names."""

    def __init__(self, path):
        self.path = path
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.socket.bind(path)
        self.socket.settimeout(PATIENCE)
        self.messages = []

    def wait_for(self, assignment):
        """The first message holding `assignment` (e.g. "READY=1")."""
        while True:
            try:
                message = self.socket.recv(4096).decode()
            except socket.timeout:
                fail("no %s from recserver; got %s" % (assignment, self.messages))
            self.messages.append(message)
            if assignment in message.split("\n"):
                return message


def write_configuration(root, home, prefix, port, console_port):
    folder = os.path.join(root, "News")
    os.makedirs(folder)
    lines = ["Windows Registry Editor Version 5.00", "",
             "[%s\\Server]" % SERVER_KEY,
             '"ServerPort"=dword:%08x' % port,
             '"ConsoleAddress"="127.0.0.1:%d"' % console_port, "",
             "[%s\\AudioDevices2]" % SERVER_KEY, '"Studio"="3Tone"', "",
             "[%s\\Archives\\News]" % SERVER_KEY,
             '"ArchivePath"="%s"' % folder, '"LogPath"="%s"' % folder,
             '"SourceName"="Studio"', '"SegmentSizeMinutes"=dword:00000001',
             '"AutoStart"=dword:00000001', ""]
    path = os.path.join(root, "station.reg")
    with open(path, "w") as f:
        f.write("\n".join(lines))
    subprocess.run([os.path.join(prefix, "bin", "logrum-reg"), "import", path],
                   env=clean_env(home), check=True)
    return folder


def clean_env(home):
    # Nothing of the build's environment: no library path, no journal.
    return {"PATH": "/usr/bin:/bin", "TZ": "UTC0", "LOGRUM2_HOME": home,
            "LOGRUM2_CLOCK": "speed=%d" % SPEED, "LOGRUM2_VIRTUAL_DEVICES": "Tone=tone:440"}


def segments(folder):
    return sorted(glob.glob(os.path.join(folder, "**", "*.mp3"), recursive=True))


def run_server(prefix, root):
    home = os.path.join(root, "state")
    os.makedirs(home)
    port, console_port = free_port(), free_port()
    archive = write_configuration(root, home, prefix, port, console_port)
    manager = FakeServiceManager(os.path.join(root, "notify.sock"))
    # The UI loop's timers run in real time: a ping every second.
    env = dict(clean_env(home), NOTIFY_SOCKET=manager.path, WATCHDOG_USEC="2000000")
    log_path = os.path.join(root, "recserver.log")
    with open(log_path, "w+") as log:
        process = subprocess.Popen([os.path.join(prefix, "bin", "recserver")], env=env,
                                   stdout=log, stderr=log, cwd=root)
        try:
            ready = manager.wait_for("READY=1")
            if "1 archive(s) to start" not in ready:
                fail("READY=1 without the auto-start under way: %r" % ready)
            with socket.create_connection(("127.0.0.1", port), timeout=PATIENCE):
                pass
            page = urllib.request.urlopen("http://127.0.0.1:%d/" % console_port,
                                          timeout=PATIENCE).read().decode()
            if "<html" not in page.lower():
                fail("the console did not serve its page")
            manager.wait_for("WATCHDOG=1")
            manager.wait_for("WATCHDOG=1")
            # Recording: the first segment finished, the next one begun. The
            # files are polled, the deadline only ends a broken run.
            deadline = os.times().elapsed + PATIENCE
            while len(segments(archive)) < 2:
                if process.poll() is not None or os.times().elapsed > deadline:
                    fail("no finished segment in %s" % archive)
                manager.socket.settimeout(0.2)
                try:
                    manager.messages.append(manager.socket.recv(4096).decode())
                except socket.timeout:
                    pass
            manager.socket.settimeout(PATIENCE)
            process.send_signal(signal.SIGTERM)
            manager.wait_for("STOPPING=1")
            if process.wait(timeout=PATIENCE) != 0:
                fail("recserver ended with %d" % process.returncode)
        except BaseException:
            process.kill()
            process.wait()
            log.seek(0)
            sys.stderr.write("recserver's output:\n" + log.read())
            raise
        log.seek(0)
        text = log.read()
    for expected in ("listening for clients on port %d" % port, "archive News: Active", "stopped"):
        if expected not in text:
            fail("recserver did not say %r:\n%s" % (expected, text))
    for missing in ("not available", "library not found", "Unable to"):
        if missing in text:
            fail("recserver said %r:\n%s" % (missing, text))
    print("installed recserver ran: %d segment(s) in %s" % (len(segments(archive)), archive))


def main():
    parser = argparse.ArgumentParser()
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--build")
    where.add_argument("--prefix")
    parser.add_argument("--unit")
    args = parser.parse_args()
    root = tempfile.mkdtemp(prefix="logrum2-installed-")
    try:
        if args.build:
            prefix = os.path.join(root, "prefix")
            subprocess.run(["cmake", "--install", args.build, "--prefix", prefix],
                           check=True, stdout=subprocess.DEVNULL)
        else:
            prefix = os.path.abspath(args.prefix)
        plugin_folder = check_layout(prefix, args.build and os.path.abspath(args.build))
        print("layout: plug-ins in " + os.path.relpath(plugin_folder, prefix))
        if args.unit:
            verify_unit(args.unit, prefix, root)
        run_server(prefix, root)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
