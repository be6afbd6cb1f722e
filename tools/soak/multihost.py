#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Many hosts against one reference camera: each host runs launches with random time
limits (a time limit that runs out sends CancelLaunch, as a cancel does), and the camera's
resident memory and descriptors are sampled as the requests go by.

Run on a private bus, from the build tree:
  dbus-run-session --config-file=build/dbus/test-session.conf -- \\
      python3 tools/soak/multihost.py build [--hosts 50] [--launches 40]
Exit status 0 when every launch ended once, as expected, and nothing grew by more than 10 %.
"""

import argparse
import os
import random
import re
import subprocess
import sys
import tempfile
import threading
import time

HOST = r"""
import random, sys
import camerauiservice as cus
rng = random.Random(int(sys.argv[1]))
results = []
cam = cus.CameraUIService(cus.PHOTO)
cam.photo_resolution = "16x16"
for n in range(int(sys.argv[2])):
    cam.file_location = "%s/h%s-%d.png" % (sys.argv[3], sys.argv[1], n)
    limit = rng.choice([0, 0, rng.randint(1, 40)])
    cam.timeout_ms = limit
    accepted = cam.exec()
    results.append("%d %s %s" % (limit, cam.outcome.name, cam.action_return))
cam.close()
sys.stderr.write("\n".join(results) + "\n")
"""


def sample(pid):
    with open("/proc/%d/status" % pid) as status:
        rss = int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))
    return rss, len(os.listdir("/proc/%d/fd" % pid))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--hosts", type=int, default=50)
    parser.add_argument("--launches", type=int, default=40)
    parser.add_argument("--delay", type=int, default=20)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    out = tempfile.mkdtemp(prefix="multihost-")
    camera = subprocess.Popen(
        [build + "/bin/reference-camera", "--no-config", "--output-dir", out,
         "--source", "test", "--delay", str(args.delay)], stdout=subprocess.PIPE, text=True)
    for line in camera.stdout:
        if "on the session bus" in line:
            break
    samples = []  # (requests seen, rss KiB, fds)
    requests = [0]

    def read_log():
        for line in camera.stdout:
            match = re.search(r": request (\d+) from", line)
            if match:
                requests[0] = int(match.group(1))

    threading.Thread(target=read_log, daemon=True).start()
    env = dict(os.environ, PYTHONPATH=os.path.join(os.path.dirname(__file__), "..", "..", "python"),
               CAMERAUISERVICE_LIBRARY=build + "/lib/libcamerauiservice.so.1")
    hosts = [subprocess.Popen([sys.executable, "-c", HOST, str(i), str(args.launches), out],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
             for i in range(args.hosts)]
    while any(h.poll() is None for h in hosts):
        samples.append((requests[0],) + sample(camera.pid))
        time.sleep(0.2)
    samples.append((requests[0],) + sample(camera.pid))
    total = args.hosts * args.launches
    bad = 0
    counts = {}
    for host in hosts:
        lines = [l for l in host.stderr.read().splitlines() if re.match(r"^\d+ [A-Z_]+ ", l)]
        if host.returncode != 0 or len(lines) != args.launches:
            bad += 1
        for line in lines:
            limit, outcome, action_return = line.split(" ", 2)
            counts[outcome] = counts.get(outcome, 0) + 1
            # Without a time limit only the camera's own answer may end a launch: a
            # CANCELLED there would be another launch's cancel.
            if limit == "0" and outcome != "ACCEPTED":
                bad += 1
                print("cross-launch ending:", line)
    early = [s for s in samples if s[0] >= 200] or samples
    late = [s for s in samples if s[0] >= total - 200] or samples[-1:]
    print("launches %d, endings %s, bad %d" % (total, counts, bad))
    print("camera at request %d: RSS %d KiB, %d fds" % early[0])
    print("camera at request %d: RSS %d KiB, %d fds" % late[-1])
    camera.terminate()
    camera.wait()
    grew = late[-1][1] > early[0][1] * 1.1 or late[-1][2] > early[0][2] * 1.1
    return 1 if bad or grew else 0


if __name__ == "__main__":
    sys.exit(main())
