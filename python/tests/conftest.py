"""Shared set-up: the reference camera, started by hand on the test's private bus.

Run under CTest (see autotests/CMakeLists.txt), which provides a private session bus on
which nothing is activatable, CAMERAUISERVICE_LIBRARY (the build's library) and
CAMERAUISERVICE_TEST_CAMERA (the build's reference camera).
"""

import os
import subprocess

import pytest

SERVING = "on the session bus"
NAME_TAKEN = "another program already has it"


class Camera:
    """A reference camera owning org.kiv.Action.CameraUIService, the name the library calls."""

    def __init__(self, binary, output_dir, options):
        self.output = ""
        # The previous camera's name can outlive its process for a moment on the bus:
        # a camera that finds it taken exits at once, and the next one gets it.
        for _ in range(50):
            self.process = subprocess.Popen(
                [binary, "--output-dir", str(output_dir), *options],
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
            if not any(NAME_TAKEN in line for line in lines):
                raise RuntimeError("reference camera did not start:\n" + "".join(lines))
        raise RuntimeError("the camera's bus name stayed taken")

    def stop(self):
        """Stops the camera and returns everything it printed."""
        if self.process.poll() is None:
            self.process.terminate()
        rest, _ = self.process.communicate(timeout=120)
        self.output += rest
        return self.output


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
