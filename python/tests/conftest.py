# SPDX-License-Identifier: MIT
"""Shared set-up: the reference camera, started by hand on the test's private bus.

Run under CTest (see autotests/CMakeLists.txt), which provides a private session bus on
which nothing is activatable, CAMERAUISERVICE_LIBRARY (the build's library) and
CAMERAUISERVICE_TEST_CAMERA (the build's reference camera).
"""

import os
import pathlib
import re
import subprocess

import pytest


def _camera_bus_name():
    """The camera's bus name, read from the wire contract's names header."""
    header = pathlib.Path(__file__).resolve().parents[2] / "dbus" / "kivaction_names_p.h"
    text = header.read_text(encoding="utf-8")
    prefix = re.search(r'busNamePrefix\(\)\s*\{\s*return QStringLiteral\("([^"]+)"\)', text)
    action = re.search(r'cameraAction\(\)\s*\{\s*return QStringLiteral\("([^"]+)"\)', text)
    return prefix.group(1) + action.group(1)


CAMERA_NAME = _camera_bus_name()
SERVING = "on the session bus"
# Seconds a step may take on a loaded machine; a fault fails here, not at ctest's limit.
BOUND_S = 20


class Camera:
    """A reference camera owning CAMERA_NAME, the name the library calls."""

    def __init__(self, binary, output_dir, options):
        self.process = subprocess.Popen(
            [binary, "--source", "test", "--output-dir", str(output_dir), *options],
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
        )
        lines = []
        for line in self.process.stdout:
            lines.append(line)
            if SERVING in line:
                self.output = "".join(lines)
                return
        self.process.wait()
        raise RuntimeError("reference camera did not start:\n" + "".join(lines))

    def stop(self):
        """Stops the camera, waits until the bus has freed its name, and returns everything
        it printed."""
        if self.process.poll() is None:
            self.process.terminate()
        rest, _ = self.process.communicate(timeout=BOUND_S)
        self.output += rest
        wait_until_name_free()
        return self.output


def name_has_owner():
    reply = subprocess.run(
        ["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
         "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:" + CAMERA_NAME],
        capture_output=True, text=True, check=True, timeout=BOUND_S,
    )
    return "boolean true" in reply.stdout


def wait_until_name_free():
    # The bus drops a dead camera's name when it notices the closed connection; each
    # question is a round trip through its loop, so this ends after a step or two.
    for _ in range(1000):
        if not name_has_owner():
            return
    raise RuntimeError("%s stayed owned after its camera exited" % CAMERA_NAME)


@pytest.fixture
def cus():
    import camerauiservice

    return camerauiservice


@pytest.fixture
def start_camera(tmp_path):
    binary = os.environ.get("CAMERAUISERVICE_TEST_CAMERA")
    if not binary:
        pytest.fail("CAMERAUISERVICE_TEST_CAMERA is not set: run these tests through ctest")
    if not os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
        pytest.fail("no session bus: run these tests through ctest (dbus-run-session)")
    cameras = []

    def start(*options):
        camera = Camera(binary, tmp_path / "captures", list(options))
        cameras.append(camera)
        return camera

    yield start
    for camera in cameras:
        camera.stop()
