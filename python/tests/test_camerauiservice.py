# SPDX-License-Identifier: MIT
"""The Python binding end to end against the reference camera on a private bus."""

import ast
import os
import pathlib
import re
import struct
import subprocess
import sys
import textwrap
import threading

import pytest

# Seconds a step may take on a loaded machine (as in conftest.py).
BOUND_S = 20

PACKAGE = pathlib.Path(__file__).resolve().parents[1] / "camerauiservice" / "__init__.py"
HEADER = (
    pathlib.Path(__file__).resolve().parents[2] / "include" / "camerauiservice" / "camerauiservice.h"
)


def png_size(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


@pytest.mark.parametrize("name", ["shot.png", "café 1.png"], ids=["ascii", "latin-1"])
def test_accepted_capture(cus, start_camera, tmp_path, capfd, name):
    start_camera()
    target = tmp_path / name
    with cus.CameraUIService(cus.PHOTO) as cam:
        cam.file_location = str(target)
        cam.photo_resolution = "64x48"
        assert cam.exec() is True
        assert cam.outcome is cus.Outcome.ACCEPTED
        assert (cam.action_return, cam.error_message) == ("ACCEPTED", "")
        # The location comes back as the str the camera wrote, ready for open().
        assert cam.file_location == str(target)
        data = cam.data()
    assert data == target.read_bytes()
    assert png_size(data) == (64, 48)
    # The library's trace goes to descriptor 1, past sys.stdout.
    assert ":handleResults:actionReturn = ACCEPTED" in capfd.readouterr().out


@pytest.mark.parametrize(
    "options, timeout_ms, outcome, action_return, why",
    [
        (["--action-return", "REJECTED"], 0, "REJECTED", "REJECTED", "rejected by the user"),
        (["--action-return", "ACCEPTED "], 0, "REJECTED", "ACCEPTED ", ""),
        (None, 0, "NO_CAMERA", "REJECTED", "ServiceUnknown"),
        (["--delay", "60000"], 300, "TIMED_OUT", "REJECTED", "no answer within 300 ms"),
        (["--error", "org.kiv.Action.Error.Busy"], 0, "CAMERA_FAILED", "REJECTED", "Busy"),
    ],
    ids=["rejected", "near miss", "no camera", "timed out", "camera error"],
)
def test_not_accepted(cus, start_camera, tmp_path, options, timeout_ms, outcome, action_return, why):
    if options is not None:
        start_camera(*options)
    with cus.CameraUIService(cus.PHOTO) as cam:
        cam.file_location = str(tmp_path / "none.png")
        cam.timeout_ms = timeout_ms
        assert cam.exec() is False
        assert cam.outcome is cus.Outcome[outcome]
        assert cam.action_return == action_return
        assert why in cam.error_message
        assert bool(cam.error_message) == bool(why)
        if why and outcome != "REJECTED":
            # No answer, no capture: nothing to read.
            assert cam.data() == b""
            assert not (tmp_path / "none.png").exists()


SETTINGS = ["file_location", "photo_resolution", "video_quality", "has_post_captured_screen"]
WIRE_KEYS = dict(zip(SETTINGS, ["fileLocation", "photoResolution", "videoQuality",
                                "hasPostCapturedScreen"]))


@pytest.mark.parametrize("bad", ["caf\u00e9 \u20ac", "a\0b"], ids=["euro", "nul"])
@pytest.mark.parametrize("setting", SETTINGS)
def test_unsendable_setting_sends_nothing(cus, start_camera, tmp_path, setting, bad):
    camera = start_camera()
    good = str(tmp_path / "keep.png") if setting == "file_location" else "KEEP\u00e9"
    with cus.CameraUIService(cus.VIDEO) as cam:
        setattr(cam, setting, good)
        with pytest.raises(ValueError, match=setting):
            setattr(cam, setting, bad)
        assert getattr(cam, setting) == good
        assert cam.exec() is True
    sent = re.search(r'^  %s \(s\) = "(.*)"$' % WIRE_KEYS[setting], camera.stop(), re.M)
    assert sent and sent.group(1) == good


CLOSED_USES = {
    "exec": lambda cam: cam.exec(),
    "data": lambda cam: cam.data(),
    "min_data_size": lambda cam: cam.min_data_size(),
    "auto_post_setting": lambda cam: cam.auto_post_setting(1),
    "outcome": lambda cam: cam.outcome,
    "action_return": lambda cam: cam.action_return,
    "error_message": lambda cam: cam.error_message,
    "read file_location": lambda cam: cam.file_location,
    "set file_location": lambda cam: setattr(cam, "file_location", "/tmp/x.png"),
    "read video_quality": lambda cam: cam.video_quality,
    "set photo_resolution": lambda cam: setattr(cam, "photo_resolution", "MAX"),
    "set timeout_ms": lambda cam: setattr(cam, "timeout_ms", 10),
    "with": lambda cam: cam.__enter__(),
}


@pytest.mark.parametrize("use", CLOSED_USES.values(), ids=CLOSED_USES.keys())
def test_use_after_close(cus, use):
    with cus.CameraUIService(cus.PHOTO) as cam:
        pass
    cam.close()  # again: nothing happens
    with pytest.raises(ValueError, match="closed"):
        use(cam)


@pytest.mark.parametrize(
    "make, error, name",
    [
        (lambda cus: cus.CameraUIService(2**31), ValueError, "camera_type"),
        (lambda cus: cus.CameraUIService("1"), TypeError, "camera_type"),
        (lambda cus: cus.CameraUIService(1, -(2**31) - 1), ValueError, "video_size_limitation"),
        (lambda cus: setattr(cus.CameraUIService(1), "timeout_ms", 2**40), ValueError, "timeout_ms"),
        (lambda cus: setattr(cus.CameraUIService(1), "video_quality", b"LOW"), TypeError,
         "video_quality"),
        (lambda cus: cus.CameraUIService(1).auto_post_setting(None), TypeError, "camera_type"),
        (lambda cus: setattr(cus.CameraUIService(2), "video_duration_limit", "10s"), TypeError,
         "video_duration_limit"),
        (lambda cus: setattr(cus.CameraUIService(2), "video_duration_limit", 2**31), ValueError,
         "video_duration_limit"),
    ],
    ids=["type too big", "type not int", "limit too small", "timeout too big", "bytes setting",
         "query type not int", "duration not int", "duration too big"],
)
def test_bad_arguments(cus, make, error, name):
    with pytest.raises(error, match=name):
        make(cus)


def test_other_thread_is_refused(cus):
    with cus.CameraUIService(cus.PHOTO) as cam:
        errors = []

        def use():
            try:
                cam.exec()
            except RuntimeError as e:
                errors.append(e)

        thread = threading.Thread(target=use)
        thread.start()
        thread.join()
        assert len(errors) == 1 and "thread" in str(errors[0])


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)


@pytest.mark.parametrize(
    "camera_type, quality, model, expected",
    [
        ("VIDEO", "HIGHEST", "KIV-KR41-EU", 102534),
        ("VIDEO", "MEDIUM", "KIV-TJ72", 52618),
        ("VIDEO", "HIGHEST", "KIV-X1", 28618),
        ("PHOTO", "HIGHEST", "KIV-KR41-EU", 0),
    ],
)
def test_min_data_size(cus, tmp_path, monkeypatch, camera_type, quality, model, expected):
    write(tmp_path / "usr/securesetup/tq_phonemodel.cfg", "[PHONE_MODEL]\nPhoneModelID = %s\n" % model)
    monkeypatch.setenv("KIV_ROOT", str(tmp_path))
    with cus.CameraUIService(getattr(cus, camera_type)) as cam:
        cam.video_quality = quality
        assert cam.min_data_size() == expected


@pytest.mark.parametrize(
    "content, photo, video",
    [
        ("photoAutoBlog = true\nvideoAutoBlog = off\n", True, False),
        ("photoAutoBlog = no\nvideoAutoBlog = YES\n", False, True),
        (None, False, False),
    ],
    ids=["photo on", "video on", "no file"],
)
def test_auto_post_setting(cus, tmp_path, monkeypatch, content, photo, video):
    if content is not None:
        write(tmp_path / "kivlocal/download/appwrite/setup/kiv_camera_resource.cfg",
              "[cameraSetting]\n" + content)
    monkeypatch.setenv("KIV_ROOT", str(tmp_path))
    with cus.CameraUIService(cus.ALL) as cam:
        assert cam.auto_post_setting(cus.PHOTO) is photo
        assert cam.auto_post_setting(cus.VIDEO) is video
        assert cam.auto_post_setting(cus.ALL) is video


def header_enum(name):
    body = re.search(r"enum %s\s*\{(.*?)\}" % name, HEADER.read_text(), re.S).group(1)
    return {k: int(v) for k, v in re.findall(r"(\w+)\s*=\s*(\d+)", body)}


def snake(camel):
    return re.sub(r"(?<!^)(?=[A-Z])", "_", camel).upper()


def test_constants_match_the_c_header(cus):
    outcomes = {snake(k[len("CameraOutcome"):]): v for k, v in header_enum("CameraOutcome").items()}
    assert {m.name: m.value for m in cus.Outcome} == outcomes
    types = {k[len("CameraType"):].upper(): v for k, v in header_enum("CameraTypeValue").items()}
    assert {"PHOTO": cus.PHOTO, "VIDEO": cus.VIDEO, "ALL": cus.ALL} == types


def qml_enum_values(qmltypes, name):
    body = re.search(r'name: "%s"\s*values: \[(.*?)\]' % name, qmltypes, re.S).group(1)
    return re.findall(r'"(\w+)"', body)


def test_qml_outcomes_match_the_c_header():
    # CameraCapture::Outcome is tied to the C values by static_asserts; this catches a C
    # value that the C++ and QML enum lack. QML numbers them in declaration order.
    c_values = header_enum("CameraOutcome")
    assert sorted(c_values.values()) == list(range(len(c_values)))
    expected = [k[len("CameraOutcome"):] for k in sorted(c_values, key=c_values.get)]
    expected[0] = "NoOutcome"  # CameraOutcomeNone
    cxx = (HEADER.parent / "CameraCapture.h").read_text()
    cxx_body = re.search(r"enum Outcome\s*\{(.*?)\}", cxx, re.S).group(1)
    assert re.findall(r"^\s*(\w+)", cxx_body, re.M) == expected
    # The QML module's type description, when this build has one (Qt 6 with Qt Qml).
    qmltypes = os.environ.get("CAMERAUISERVICE_TEST_QMLTYPES")
    if qmltypes:
        text = pathlib.Path(qmltypes).read_text()
        assert qml_enum_values(text, "Outcome") == expected


@pytest.mark.parametrize("limit, sent", [(2000, 2000), (0, 0), (-5, 0)],
                         ids=["two seconds", "none", "negative"])
def test_video_duration(cus, start_camera, tmp_path, limit, sent):
    start_camera("--record-ms", "300")
    with cus.CameraUIService(cus.VIDEO) as cam:
        cam.file_location = str(tmp_path / "v.mp4")
        cam.video_quality = "LOWEST"
        cam.video_duration_limit = limit
        assert cam.video_duration_limit == sent
        assert cam.exec() is True
        # The camera records the limit when one is sent, its own --record-ms otherwise.
        expected = sent or 300
        assert abs(cam.video_duration - expected) <= 200
        assert cam.video_ended_by == "DURATION_LIMIT"
        assert str(cam.outcome) == "ACCEPTED"


def test_version(cus):
    assert cus.version() == os.environ["CAMERAUISERVICE_TEST_VERSION"]


def test_package_parses_as_python_3_9():
    ast.parse(PACKAGE.read_text(), str(PACKAGE), feature_version=(3, 9))


@pytest.mark.parametrize("close", [True, False], ids=["closed", "left open"])
def test_interpreter_exit(close):
    # The application object the binding made goes at exit, after the services in it.
    script = textwrap.dedent(
        """
        import camerauiservice as cus
        cam = cus.CameraUIService(cus.PHOTO)
        cam.timeout_ms = 1
        if %r:
            cam.close()
        print("script done", flush=True)
        """ % close
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=BOUND_S)
    assert run.returncode == 0, run.stderr
    assert run.stdout.count("~CameraUIService:exit") == 1
    gone = run.stdout.index("~CameraUIService:exit")
    assert (gone < run.stdout.index("script done")) == close


@pytest.mark.parametrize(
    "on_main",
    ["", "main = cus.CameraUIService(cus.PHOTO); main.timeout_ms = 1; main.exec()"],
    ids=["worker only", "worker, then main thread"],
)
@pytest.mark.parametrize("close", [True, False], ids=["closed there", "left open"])
def test_first_service_on_a_worker_thread(close, on_main):
    # The application object then lives on the worker thread: nothing of Qt may be torn
    # down from the main thread's exit hook, and nothing is parented across threads.
    script = textwrap.dedent(
        """
        import threading
        import camerauiservice as cus
        def work():
            global cam
            cam = cus.CameraUIService(cus.PHOTO)
            cam.timeout_ms = 1
            cam.exec()
            if %r:
                cam.close()
        thread = threading.Thread(target=work)
        thread.start()
        thread.join()
        if %r:
            exec(%r)
        print("script done", flush=True)
        """ % (close, bool(on_main), on_main)
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=BOUND_S)
    assert run.returncode == 0, run.stderr
    assert "script done" in run.stdout
    for warning in ["different thread", "Timers can only be used", "CRITICAL"]:
        assert warning not in run.stderr, run.stderr
class Lines:
    """The lines of a child's text pipe, read on a thread so a wait can have a deadline."""

    def __init__(self, stream):
        import queue

        self._queue = queue.Queue()
        self._seen = []
        reader = threading.Thread(target=self._read, args=(stream,), daemon=True)
        reader.start()

    def _read(self, stream):
        for line in stream:
            self._queue.put(line)
        self._queue.put(None)

    def until(self, text, deadline_s=BOUND_S):
        """Everything read up to the first line that holds text."""
        import queue

        while True:
            try:
                line = self._queue.get(timeout=deadline_s)
            except queue.Empty:
                line = None
            if line is None:
                raise AssertionError("%r never came; got:\n%s" % (text, "".join(self._seen)))
            self._seen.append(line)
            if text in line:
                return "".join(self._seen)


CTRL_C_SCRIPT = textwrap.dedent(
    """
    import signal, sys, threading
    import camerauiservice as cus

    def usr1(signum, frame):
        print("usr1 handled", flush=True)

    signal.signal(signal.SIGUSR1, usr1)
    cam = cus.CameraUIService(cus.PHOTO)
    cam.file_location = sys.argv[1]
    cam.photo_resolution = "16x16"
    try:
        cam.exec()
        print("exec returned", flush=True)
    except KeyboardInterrupt:
        print("KeyboardInterrupt", threading.current_thread() is threading.main_thread(),
              cam.outcome.name, flush=True)
    """
)


def test_ctrl_c_cancels_exec(start_camera, tmp_path):
    # A camera that never answers; SIGUSR1 keeps the script's handler and the wait goes
    # on, SIGINT ends the wait with KeyboardInterrupt, and the camera is told.
    import signal
    import time

    camera = start_camera("--delay", "600000")
    target = tmp_path / "never.png"
    environment = dict(os.environ, CAMERAUISERVICE_TRACE="0")
    script = subprocess.Popen([sys.executable, "-c", CTRL_C_SCRIPT, str(target)],
                              stdout=subprocess.PIPE, text=True, env=environment)
    camera_lines = Lines(camera.process.stdout)
    script_lines = Lines(script.stdout)
    try:
        camera_lines.until("answering request 1 in")
        script.send_signal(signal.SIGUSR1)
        script_lines.until("usr1 handled")
        sent = time.monotonic()
        script.send_signal(signal.SIGINT)
        printed = script_lines.until("KeyboardInterrupt")
        # A figure, not a verdict: the machine may be loaded.
        print("KeyboardInterrupt %.3f s after SIGINT" % (time.monotonic() - sent))
        assert printed.splitlines()[-1] == "KeyboardInterrupt True CANCELLED"
        assert script.wait(timeout=BOUND_S) == 0
        log = camera_lines.until("CANCELLED")
        assert "cancel from " in log
    finally:
        if script.poll() is None:
            script.kill()
            script.wait()
    assert not target.exists()


@pytest.mark.parametrize(
    "camera_type, settings, used, why",
    [
        (1, {"photo_resolution": "99999x99999"}, {"photoResolution": "MAX"}, None),
        (1, {"photo_resolution": "12xabc"}, {"photoResolution": "MAX"}, None),
        (2, {"video_quality": "FOO"}, {"videoQuality": "HIGHEST"}, None),
        (1, {"photo_resolution": "16x16"}, {}, None),
        (1, {"photo_resolution": "16x16", "file_location": "{tmp}/missing/x.png"}, {},
         "does not exist"),
    ],
    ids=["too large", "not understood", "unknown quality", "honoured", "missing folder"],
)
def test_camera_says_what_it_did(cus, start_camera, tmp_path, camera_type, settings, used, why):
    start_camera()
    with cus.CameraUIService(camera_type) as cam:
        for name, value in settings.items():
            setattr(cam, name, value.replace("{tmp}", str(tmp_path)))
        assert cam.exec() is (why is None)
        assert cam.settings_used == used
        if why:
            assert cam.action_return == "FAILED"
            assert cam.outcome is cus.Outcome.FAILED
            assert why in cam.error_message
            assert str(tmp_path / "missing") in cam.error_message
        else:
            assert cam.error_message == ""


@pytest.mark.parametrize("value, traced", [("0", False), ("1", True), (None, True)],
                         ids=["0", "1", "unset"])
def test_trace_switch(start_camera, tmp_path, value, traced):
    # With the switch, standard output carries the script's bytes and nothing else.
    start_camera()
    script = textwrap.dedent(
        """
        import sys
        import camerauiservice as cus
        with cus.CameraUIService(cus.PHOTO) as cam:
            cam.photo_resolution = "16x16"
            cam.file_location = sys.argv[1]
            assert cam.exec()
            sys.stdout.buffer.write(cam.data())
        """
    )
    environment = dict(os.environ)
    environment.pop("CAMERAUISERVICE_TRACE", None)
    if value is not None:
        environment["CAMERAUISERVICE_TRACE"] = value
    target = tmp_path / "stdout.png"
    run = subprocess.run([sys.executable, "-c", script, str(target)], capture_output=True,
                         env=environment, timeout=BOUND_S)
    assert run.returncode == 0, run.stderr
    assert (b"Camera LOG in " in run.stdout) == traced
    if not traced:
        assert run.stdout == target.read_bytes()


# What the reference camera's test source offers: the same values the C tests check.
REFERENCE_CAPABILITIES = {
    "interfaceVersion": 1,
    "cameraTypes": ["PHOTO", "VIDEO"],
    "photoResolutions": ["MAX", "1920x1080", "1280x720", "640x480"],
    "videoQualities": ["HIGHEST", "MEDIUM", "LOWEST"],
    "videoFormats": {
        "HIGHEST": {"width": 1920, "height": 1080, "fps": 30, "bitRate": 5000000,
                    "mime": "video/mp4"},
        "MEDIUM": {"width": 1280, "height": 720, "fps": 30, "bitRate": 2500000,
                   "mime": "video/mp4"},
        "LOWEST": {"width": 640, "height": 480, "fps": 15, "bitRate": 600000,
                   "mime": "video/mp4"},
    },
    "photoMime": "image/jpeg",
    "minVideoSizeLimit": 477293,
    "maxVideoDuration": 3600000,
    "fileDescriptor": True,
    "source": "test",
}


def test_capabilities(cus, start_camera):
    camera = start_camera()
    with cus.CameraUIService(cus.VIDEO) as cam:
        cam.timeout_ms = BOUND_S * 1000
        answer = cam.capabilities()
        assert answer == REFERENCE_CAPABILITIES
        assert type(answer["interfaceVersion"]) is int
        assert type(answer["fileDescriptor"]) is bool
        assert cam.outcome is cus.Outcome.NONE
    assert "capabilities for" in camera.stop()


def test_capabilities_without_camera(cus):
    with cus.CameraUIService(cus.PHOTO) as cam:
        with pytest.raises(cus.CameraError) as raised:
            cam.capabilities()
        assert raised.value.outcome is cus.Outcome.NO_CAMERA
        assert "ServiceUnknown" in raised.value.message
        assert cam.outcome is cus.Outcome.NO_CAMERA
