# SPDX-License-Identifier: MIT
"""What bench/camera-memory and bench/camera-soak share: a private bus, a reference camera
on it with the test picture, and the camera's figures from /proc."""

import os
import queue
import re
import subprocess
import sys
import tempfile
import threading

BUS_MARK = "CAMERA_BENCH_PRIVATE_BUS"


def build_dir(path):
    """The build directory given, or ../build from here; exits 2 when it lacks a program."""
    build = os.path.abspath(path or os.path.join(os.path.dirname(__file__), "..", "build"))
    for need in ("bin/reference-camera", "dbus/test-session.conf"):
        if not os.path.exists(os.path.join(build, need)):
            sys.exit("%s: %s is missing; build first (cmake --build %s)"
                     % (os.path.basename(sys.argv[0]), os.path.join(build, need), build))
    return build


def on_private_bus(build):
    """Runs this script again under dbus-run-session with the tests' bus configuration,
    on which nothing is activatable, unless it already runs there."""
    if os.environ.get(BUS_MARK):
        return
    env = dict(os.environ, **{BUS_MARK: "1"})
    conf = os.path.join(build, "dbus", "test-session.conf")
    args = ["dbus-run-session", "--config-file=" + conf, "--", sys.executable] + sys.argv
    os.execvpe(args[0], args, env)


def scratch(build):
    """A scratch folder in the build dir, removed by the caller."""
    return tempfile.mkdtemp(prefix="camera-bench.", dir=build)


class Camera:
    """reference-camera --source test on the session bus, its output drained."""

    def __init__(self, build, out_dir, program=None, start_timeout=30):
        program = program or os.path.join(build, "bin", "reference-camera")
        args = [program, "--no-config", "--source", "test", "--output-dir", out_dir]
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)
        self.pid = self.process.pid
        self.tail = []
        self.requests = 0
        ready = queue.Queue()
        threading.Thread(target=self._drain, args=(ready,), daemon=True).start()
        try:
            ready.get(timeout=start_timeout)
        except queue.Empty:
            self.stop()
            sys.exit("the camera did not reach the bus within %d s:\n%s"
                     % (start_timeout, "\n".join(self.tail)))
        if self.process.poll() is not None:
            sys.exit("the camera exited at start (status %d):\n%s"
                     % (self.process.returncode, "\n".join(self.tail)))

    def _drain(self, ready):
        for line in self.process.stdout:
            self.tail = (self.tail + [line.rstrip()])[-40:]
            if re.search(r": request \d+ from ", line):
                self.requests += 1
            if "on the session bus" in line:
                ready.put(True)
        ready.put(False)

    def alive(self):
        return self.process.poll() is None

    def figures(self):
        """VmRSS, RssAnon, RssFile and VmHWM in KiB, open descriptors, threads, CPU seconds."""
        with open("/proc/%d/status" % self.pid) as f:
            status = f.read()

        def field(name):
            match = re.search(r"^%s:\s+(\d+)" % name, status, re.M)
            return int(match.group(1)) if match else 0

        with open("/proc/%d/stat" % self.pid) as f:
            stat = f.read().rsplit(")", 1)[1].split()
        cpu = (int(stat[11]) + int(stat[12])) / os.sysconf("SC_CLK_TCK")
        return {"rss": field("VmRSS"), "anon": field("RssAnon"), "file": field("RssFile"),
                "hwm": field("VmHWM"), "fds": len(os.listdir("/proc/%d/fd" % self.pid)),
                "threads": field("Threads"), "cpu": cpu}

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def mib(kib):
    return "%.1f MiB" % (kib / 1024.0)


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def machine_note(load_before):
    """Cores, and the load average before the run and now."""
    return "%d cores; load average %s before, %s after" % (os.cpu_count() or 0, load_before,
                                                          load_average())
