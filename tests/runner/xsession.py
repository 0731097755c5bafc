"""Display servers and application runs for the window tests.

XSession starts Xvfb on a free display (Xvfb picks it: -displayfd) plus openbox, and waits until
the window manager has announced itself, so the application sees a real non-GNOME window manager.
Given a window-manager name instead, it announces just that name (fake_wm_check) and runs no
window manager at all.
SessionBus starts a private D-Bus session bus. BroadwaySession starts broadwayd in a private
runtime directory and waits until it accepts clients. App runs pellark_app with a report file and a
plugin log in its own temporary directory and always ends the process it started.
"""

import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

BUNDLE = os.environ.get("PELLARK_BUNDLE", "")
FAKE_WM_CHECK = os.environ.get("PELLARK_FAKE_WM_CHECK", "")
TIMEOUT = 20.0  # seconds, for anything we wait on


def wait_for(predicate, timeout=TIMEOUT, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    return None


def stop(process, grace=3.0):
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(grace)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(grace)


def base_environment():
    env = dict(os.environ)
    # A private session: no session bus, no accessibility bus, no installer state of the caller.
    for name in ("DBUS_SESSION_BUS_ADDRESS", "APPIMAGE", "APPDIR", "ARGV0", "VELOPACK_DEBUG",
                 "VELOPACK_FIRSTRUN", "VELOPACK_RESTART", "PELLARK_RELEASE_FEED",
                 "PELLARK_UI_FIRST_FRAME_DELAY_MS", "WAYLAND_DISPLAY", "LD_LIBRARY_PATH"):
        env.pop(name, None)
    env["NO_AT_BRIDGE"] = "1"
    env["GTK_A11Y"] = "none"
    return env


class XSession:
    def __init__(self, wm_name=None):
        self.wm_name = wm_name
        self.xvfb = None
        self.wm = None
        self.display = None

    def start(self):
        read_fd, write_fd = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1600x1000x24", "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as r:
            number = r.readline().strip()
        if not number:
            self.stop()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number
        wm = ["openbox"] if self.wm_name is None else [FAKE_WM_CHECK, self.wm_name]
        # A window manager on a loaded machine can take a while; waiting longer costs nothing.
        # One that exits before announcing itself is started again, and its last words are kept
        # for the error.
        with tempfile.TemporaryFile(mode="w+") as log:
            for _ in range(3):
                self.wm = subprocess.Popen(wm, env=self.env(), stdout=subprocess.DEVNULL,
                                           stderr=log)
                if wait_for(lambda: self.wm_announced() or self.wm.poll() is not None,
                            timeout=3 * TIMEOUT) and self.wm_announced():
                    return self
                stop(self.wm)
            log.seek(0)
            words = log.read()[-2000:]
        self.stop()
        raise RuntimeError("%s did not start: %s" % (wm[0], words.strip() or "no output"))

    def wm_announced(self):
        try:
            return "window id" in self.xprop_root("_NET_SUPPORTING_WM_CHECK")
        except subprocess.TimeoutExpired:
            return False

    def stop(self):
        stop(self.wm)
        stop(self.xvfb)

    def env(self):
        env = base_environment()
        env["DISPLAY"] = self.display
        env["GDK_BACKEND"] = "x11"
        return env

    def run(self, *args, check=False):
        out = subprocess.run(list(args), env=self.env(), capture_output=True, text=True,
                             timeout=TIMEOUT)
        if check and out.returncode != 0:
            raise RuntimeError("%s failed: %s" % (args[0], out.stderr))
        return out.stdout

    def xprop_root(self, prop):
        return self.run("xprop", "-root", prop)

    def cardinals(self, window, prop):
        """A CARDINAL property as numbers, or None when the window does not have it. Forces plain
        32-bit output (xprop draws _NET_WM_ICON as a picture) and lifts xprop's length cap."""
        out = self.run("xprop", "-id", str(window), "-notype", "-len", str(1 << 26),
                       "-f", prop, "32c", prop)
        # xprop says "not found" for an atom some client has interned, and "no such atom on any
        # window" for one that nobody has; both mean the window lacks the property.
        if re.fullmatch(r"%s:\s+(not found|no such atom on any window)\.\s*" % prop, out):
            return None
        name, sep, values = out.partition("=")
        if not sep or name.strip() != prop:
            raise RuntimeError("xprop %s: unexpected output %r" % (prop, out[:200]))
        return [int(v) for v in re.findall(r"\d+", values)]

    def windows(self, pid, visible_only):
        # --all: xdotool ORs its conditions by default, which would also match GDK's unmapped
        # client-leader window (our pid) and other processes' "Pellark" windows.
        args = ["xdotool", "search", "--all"] + (["--onlyvisible"] if visible_only else []) + \
               ["--pid", str(pid), "--name", "^Pellark$"]
        return [int(w) for w in self.run(*args).split()]

    def map_state(self, window):
        for line in self.run("xwininfo", "-id", str(window)).splitlines():
            if "Map State:" in line:
                return line.split(":", 1)[1].strip()
        return None


class SessionBus:
    """A private D-Bus session bus: there a single-instance application would find an earlier
    instance and hand its start over to it, so several starts can be told apart."""

    def __init__(self):
        self.process = None
        self.address = None

    def start(self):
        read_fd, write_fd = os.pipe()
        self.process = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--nopidfile",
             "--print-address=%d" % write_fd],
            pass_fds=(write_fd,), env=base_environment(), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as r:
            self.address = r.readline().strip()
        if not self.address:
            self.stop()
            raise RuntimeError("dbus-daemon did not start")
        return self

    def stop(self):
        stop(self.process)

    def env(self):
        return {"DBUS_SESSION_BUS_ADDRESS": self.address}


class BroadwaySession:
    def __init__(self):
        self.process = None
        self.runtime = None
        self.display = None

    def start(self):
        self.runtime = tempfile.mkdtemp(prefix="pellark-broadway-")
        os.chmod(self.runtime, 0o700)
        # The display number only names the socket in our private runtime directory.
        self.display = ":7"
        env = base_environment()
        env["XDG_RUNTIME_DIR"] = self.runtime
        # The free HTTP port we pick can be taken before broadwayd binds it; then it exits and
        # we try another.
        for _ in range(3):
            with socket.socket() as s:
                s.bind(("127.0.0.1", 0))
                port = s.getsockname()[1]
            self.process = subprocess.Popen(
                ["broadwayd", "--address", "127.0.0.1", "--port", str(port), self.display],
                env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if wait_for(lambda: self.listening() or self.process.poll() is not None) and \
                    self.listening():
                return self
            stop(self.process)
        self.stop()
        raise RuntimeError("broadwayd did not start")

    def listening(self):
        """Whether broadwayd accepts clients. Its socket is in Linux's abstract namespace (named
        after the runtime directory, no file there), so look it up and connect as GDK will."""
        if self.process.poll() is not None:
            return False
        prefix = "@" + os.path.join(self.runtime, "broadway")
        with open("/proc/net/unix") as f:
            names = [line.split()[-1] for line in f.read().splitlines()[1:]
                     if len(line.split()) >= 8]
        for name in names:
            if name.startswith(prefix) and name.endswith(".socket"):
                with socket.socket(socket.AF_UNIX) as s:
                    try:
                        s.connect("\0" + name[1:])
                        return True
                    except OSError:
                        pass
        return False

    def stop(self):
        stop(self.process)
        if self.runtime:
            shutil.rmtree(self.runtime, ignore_errors=True)

    def env(self):
        env = base_environment()
        env.pop("DISPLAY", None)
        env["XDG_RUNTIME_DIR"] = self.runtime
        env["GDK_BACKEND"] = "broadway"
        env["BROADWAY_DISPLAY"] = self.display
        return env


def preload(library):
    """Environment additions that preload `library`. In a sanitizer build the AddressSanitizer
    runtime insists on being the first library; the executable still loads it before any of its
    own code runs, which is all the runtime needs."""
    options = os.environ.get("ASAN_OPTIONS", "")
    return {"LD_PRELOAD": library,
            "ASAN_OPTIONS": (options + ":" if options else "") + "verify_asan_link_order=0"}


def read_report(path):
    """The stand-in engine's key=value report; repeated keys (arg) collect into lists."""
    report = {}
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            key, _, value = line.partition("=")
            report.setdefault(key, []).append(value)
    return report


class App:
    """One run of pellark_app; use as a context manager so the process always ends."""

    def __init__(self, session, args=(), executable=None, extra_env=None, cwd=None):
        self.dir = tempfile.mkdtemp(prefix="pellark-app-")
        self.report_path = os.path.join(self.dir, "report")
        self.plugin_log = os.path.join(self.dir, "plugins")
        env = session.env()
        env["PELLARK_UI_REPORT"] = self.report_path
        env["PELLARK_PLUGIN_LOG"] = self.plugin_log
        env.update(extra_env or {})
        self.stdout = open(os.path.join(self.dir, "stdout"), "w+")
        self.stderr = open(os.path.join(self.dir, "stderr"), "w+")
        self.process = subprocess.Popen(
            [executable or os.path.join(BUNDLE, "pellark_app")] + list(args), env=env,
            cwd=cwd or self.dir, stdout=self.stdout, stderr=self.stderr)
        self.pid = self.process.pid

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        stop(self.process)
        self.stdout.close()
        self.stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def wait_report(self, timeout=TIMEOUT):
        if not wait_for(lambda: os.path.exists(self.report_path) or self.process.poll() is not None,
                        timeout):
            return None
        if not os.path.exists(self.report_path):
            return None
        return read_report(self.report_path)

    def wait_exit(self, timeout=TIMEOUT):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def plugin_lines(self):
        if not os.path.exists(self.plugin_log):
            return []
        with open(self.plugin_log) as f:
            return f.read().splitlines()

    def error_output(self):
        self.stderr.flush()
        with open(self.stderr.name, errors="replace") as f:
            return f.read()

    def output(self):
        self.stdout.flush()
        with open(self.stdout.name, errors="replace") as f:
            return f.read()


def copy_bundle(dest, updater=None):
    """A bundle of our own at `dest`: pellark_app, the engine and plugins, and `updater` (a
    library file, or None for none) as lib/libpellark_updater.so."""
    lib = os.path.join(dest, "lib")
    os.makedirs(lib, exist_ok=True)
    shutil.copy2(os.path.join(BUNDLE, "pellark_app"), dest)
    for name in os.listdir(os.path.join(BUNDLE, "lib")):
        if name != "libpellark_updater.so":
            shutil.copy2(os.path.join(BUNDLE, "lib", name), lib)
    if updater is not None:
        shutil.copy2(updater, os.path.join(lib, "libpellark_updater.so"))
    return os.path.join(dest, "pellark_app")


if __name__ == "__main__":
    # Screenshot of the running window: xsession.py OUTPUT.png
    import sys
    session = XSession().start()
    try:
        with App(session, ["--example", "argument"]) as app:
            if app.wait_report() is None:
                sys.exit("no first frame")
            window = wait_for(lambda: session.windows(app.pid, True))[0]
            time.sleep(0.5)
            session.run("import", "-window", str(window), sys.argv[1], check=True)
    finally:
        session.stop()
