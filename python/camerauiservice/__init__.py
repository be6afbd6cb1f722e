# SPDX-License-Identifier: MIT
"""Capture photos and videos through the platform's camera application.

A binding over the C entry points of ``libcamerauiservice.so.1``, in pure Python
(ctypes and the standard library only, Python 3.9 or later)::

    import camerauiservice as cus

    with cus.CameraUIService(cus.PHOTO) as cam:
        cam.file_location = "/tmp/shot.png"
        cam.timeout_ms = 60000
        if cam.exec():                      # blocks until the camera answers
            png = cam.data()                # the captured file's bytes
            print(cam.file_location, len(png))
        else:
            print(cam.outcome.name, cam.error_message)

Settings are sent as Latin-1 (the library's 8-bit strings): a value that Latin-1
cannot encode, or that contains a NUL character, raises ValueError naming the
setting and nothing is sent (the earlier value stays). A setting that is not a str
raises TypeError; an integer outside 32 bits raises ValueError. Results come back
as str decoded from UTF-8, so ``file_location`` is the exact path the camera
returned, ready for open().

The library needs a Qt application object. The first CameraUIService creates one
(InitCameraApplication) when the process has none, and releases it at interpreter
exit after closing the services still open. A service belongs to the thread that
created it; use it there only. The application object belongs to the thread that
made the first service: when that is not the main thread, it is left in place at
exit (releasing it from another thread would crash), as are services still open
on other threads than the main one.

The library traces every operation on standard output, written with C stdio to
file descriptor 1 and flushed when each call returns. It bypasses sys.stdout: the
binding flushes sys.stdout before each call so that the lines keep their order, and
pytest's capfd (not capsys) sees them. ``CAMERAUISERVICE_TRACE=0`` in the environment
silences the trace (read once, at the first trace line: set it before the first
service is created, e.g. ``os.environ["CAMERAUISERVICE_TRACE"] = "0"`` at the top of
the script), so a script can write data to standard output.

exec() waits for the camera in short slices of the library's event loop, so
Python's signal handlers run while it waits: Ctrl-C (KeyboardInterrupt) cancels the
launch, the camera is told, and the exception leaves exec(). Other signals keep
whatever handlers the script gave them. Bound the wait with ``timeout_ms``.

A camera may say why it did not take the capture (``error_message``) and which
settings it replaced (``settings_used``, e.g. ``{"photoResolution": "MAX"}``).

The library is found, in this order, at the path in the environment variable
CAMERAUISERVICE_LIBRARY, at the path recorded when the package was installed
(``_libpath.py``, written by ``cmake --install`` for the final prefix, also under
DESTDIR), and through the system loader as ``libcamerauiservice.so.1``.
``cmake --install`` puts the package in ``<prefix>/lib/python3/dist-packages``
(the cache variable CAMERAUISERVICE_PYTHON_DIR changes that). From a source tree::

    PYTHONPATH=python CAMERAUISERVICE_LIBRARY=build/lib/libcamerauiservice.so.1 python3 ...

Names: PHOTO, VIDEO, ALL (camera types 1, 2, 0); Outcome; CameraUIService;
version(). The C reference (camerauiservice.h, or the API reference built by
``cmake --build build --target docs``) describes every rule in full.
"""

import atexit
import ctypes
import enum
import json
import os
import sys
import threading
import weakref

__all__ = ["PHOTO", "VIDEO", "ALL", "Outcome", "CameraError", "CameraUIService", "version"]

#: Camera type for a photo.
PHOTO = 1
#: Camera type for a video.
VIDEO = 2
#: Camera type for either (any value other than 1 and 2 means the same).
ALL = 0

_SONAME = "libcamerauiservice.so.1"
# exec() hands control back to the interpreter this often (milliseconds).
_WAIT_SLICE_MS = 100
# The request keys GetCameraSettingUsed answers for.
_SETTING_KEYS = ("photoResolution", "videoQuality")
_INT_MIN = -(2**31)
_INT_MAX = 2**31 - 1


class Outcome(enum.IntEnum):
    """How the last launch of a service ended (the C enum CameraOutcome, same values).

    NONE           no launch yet, or one is still waiting
    ACCEPTED       the camera answered with the action return "ACCEPTED"
    REJECTED       the user said no: the camera answered another action return
    CANCELLED      the host cancelled
    TIMED_OUT      timeout_ms ran out; the camera is told to stop
    INTERRUPTED    the event loop was left before an answer
    NO_CAMERA      no camera application serves the action
    CAMERA_FAILED  the camera left, crashed, or answered with an error or another signature
    FORGED         a reply came from a connection that does not own the camera's name
    NO_BUS         no session bus connection, or it was lost while waiting
    REFUSED        not started: no Qt application object
    ABORTED        the platform aborted without saying why, or the service was destroyed
    FAILED         the camera could not make or place the capture: it answered "FAILED",
                   or "ACCEPTED" without a file, or the host could not move it into place

    str() gives the name, e.g. "FAILED".
    """

    NONE = 0
    ACCEPTED = 1
    REJECTED = 2
    CANCELLED = 3
    TIMED_OUT = 4
    INTERRUPTED = 5
    NO_CAMERA = 6
    CAMERA_FAILED = 7
    FORGED = 8
    NO_BUS = 9
    REFUSED = 10
    ABORTED = 11
    FAILED = 12

    def __str__(self):
        return self.name


class CameraError(RuntimeError):
    """The camera could not be asked (CameraUIService.capabilities()).

    ``outcome`` is the Outcome, as after a failed launch (NO_CAMERA, NO_BUS, FORGED,
    TIMED_OUT, CAMERA_FAILED, ...); ``message`` is the library's error message.
    """

    def __init__(self, outcome, message):
        super().__init__("%s: %s" % (outcome, message) if message else str(outcome))
        self.outcome = outcome
        self.message = message


# name: (restype, argtypes)
_SIGNATURES = {
    "CreateCameraUIService": (ctypes.c_void_p, [ctypes.c_int, ctypes.c_int]),
    "DestroyCameraDlg": (None, [ctypes.c_void_p]),
    "Exec": (ctypes.c_int, [ctypes.c_void_p]),
    "SetCameraFileLocation": (None, [ctypes.c_void_p, ctypes.c_char_p]),
    "SetCameraPhotoResolution": (None, [ctypes.c_void_p, ctypes.c_char_p]),
    "SetCameraVideoQuality": (None, [ctypes.c_void_p, ctypes.c_char_p]),
    "SetCameraHasPostCapturedScreen": (None, [ctypes.c_void_p, ctypes.c_char_p]),
    "GetMinDataSize": (ctypes.c_uint, [ctypes.c_void_p]),
    "GetAutoPostSetting": (ctypes.c_bool, [ctypes.c_void_p, ctypes.c_int]),
    "GetCameraOutcome": (ctypes.c_int, [ctypes.c_void_p]),
    "GetCameraErrorMessage": (ctypes.c_char_p, [ctypes.c_void_p]),
    "SetCameraTimeout": (None, [ctypes.c_void_p, ctypes.c_int]),
    "SetCameraVideoDurationLimit": (None, [ctypes.c_void_p, ctypes.c_int]),
    "GetCameraVideoDuration": (ctypes.c_int, [ctypes.c_void_p]),
    "GetCameraVideoEndedBy": (ctypes.c_char_p, [ctypes.c_void_p]),
    "StartCamera": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]),
    "WaitCamera": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int]),
    "CancelCamera": (None, [ctypes.c_void_p]),
    "GetCameraSettingUsed": (ctypes.c_char_p, [ctypes.c_void_p, ctypes.c_char_p]),
    "GetCameraFileLocationUtf8": (ctypes.c_char_p, [ctypes.c_void_p]),
    "GetCameraDataBytes": (ctypes.c_void_p, [ctypes.c_void_p, ctypes.POINTER(ctypes.c_size_t)]),
    "GetCameraActionReturn": (ctypes.c_char_p, [ctypes.c_void_p]),
    "GetCameraCapabilities": (ctypes.c_char_p, [ctypes.c_void_p]),
    "InitCameraApplication": (ctypes.c_int, []),
    "ReleaseCameraApplication": (None, []),
    "GetCameraUIServiceVersion": (ctypes.c_char_p, []),
}

_lock = threading.Lock()
_library = None
_application_thread = None  # the thread that made the application object, if we did
_open_services = weakref.WeakSet()


def _recorded_path():
    try:
        from . import _libpath
    except ImportError:
        return None
    return getattr(_libpath, "LIBRARY", None)


def _load():
    explicit = os.environ.get("CAMERAUISERVICE_LIBRARY")
    if explicit:
        return ctypes.CDLL(explicit)
    recorded = _recorded_path()
    if recorded and os.path.exists(recorded):
        return ctypes.CDLL(recorded)
    try:
        return ctypes.CDLL(_SONAME)
    except OSError as error:
        where = "the path recorded at install time (%s) and " % recorded if recorded else ""
        raise OSError(
            "%s not found: tried %sthe system loader (%s). Install the library, or set "
            "CAMERAUISERVICE_LIBRARY to its path." % (_SONAME, where, error)
        ) from None


def _lib():
    global _library
    with _lock:
        if _library is None:
            library = _load()
            for name, (restype, argtypes) in _SIGNATURES.items():
                function = getattr(library, name)
                function.restype = restype
                function.argtypes = argtypes
            _library = library
        return _library


def _ensure_application():
    global _application_thread
    lib = _lib()
    with _lock:
        if lib.InitCameraApplication() == 1:
            _application_thread = threading.get_ident()


@atexit.register
def _release_at_exit():
    # Services before the application they live in, each only on its own thread: a Qt
    # object destroyed from another thread takes the process down. The exit hook runs on
    # the main thread, so what a worker thread made stays until the process is gone.
    here = threading.get_ident()
    for service in list(_open_services):
        if service._thread == here:
            service._destroy()
    if _application_thread == here and _library is not None:
        _library.ReleaseCameraApplication()


def _c_int(name, value):
    try:
        number = value.__index__()
    except (AttributeError, TypeError):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__)) from None
    if not _INT_MIN <= number <= _INT_MAX:
        raise ValueError("%s must fit in a 32-bit signed integer, got %d" % (name, number))
    return number


def _latin1(name, value):
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    if not isinstance(value, str):
        raise TypeError("%s must be a str, not %s" % (name, type(value).__name__))
    if "\0" in value:
        raise ValueError("%s contains a NUL character, which a C string cannot carry" % name)
    try:
        return value.encode("latin-1")
    except UnicodeEncodeError as error:
        raise ValueError(
            "%s cannot be encoded in Latin-1 (the library's 8-bit strings): %r at position %d"
            % (name, value[error.start], error.start)
        ) from None


def _text(raw):
    return raw.decode("utf-8") if raw else ""


def version():
    """Return the library's version, e.g. "1.1.0" (GetCameraUIServiceVersion)."""
    return _text(_lib().GetCameraUIServiceVersion())


class CameraUIService:
    """One capture job handed to the platform's camera application.

    ``camera_type`` is PHOTO, VIDEO or ALL; ``video_size_limitation`` is passed
    to the camera as it is. Use it as a context manager, or call close(): after
    that every method and property raises ValueError.

    Settings (str, sent at the next exec()): file_location, photo_resolution
    (default "MAX"), video_quality (default "HIGHEST"), has_post_captured_screen
    (default "YES"), timeout_ms and video_duration_limit (int milliseconds, 0 for
    none). Results: outcome, action_return, error_message, settings_used,
    file_location, data(), video_duration, video_ended_by. Queries:
    min_data_size(), auto_post_setting().

    Creating the first service creates the Qt application object when the process
    has none. The service belongs to the thread that created it: another thread
    gets RuntimeError.
    """

    def __init__(self, camera_type, video_size_limitation=0):
        camera_type = _c_int("camera_type", camera_type)
        video_size_limitation = _c_int("video_size_limitation", video_size_limitation)
        _ensure_application()
        self._lib = _lib()
        self._thread = threading.get_ident()
        self._settings = {
            "photo_resolution": "MAX",
            "video_quality": "HIGHEST",
            "has_post_captured_screen": "YES",
        }
        self._timeout_ms = 0
        self._video_duration_limit = 0
        self._handle = self._lib.CreateCameraUIService(camera_type, video_size_limitation)
        _open_services.add(self)

    def _h(self):
        handle = self._handle
        if handle is None:
            raise ValueError("the camera service is closed")
        if threading.get_ident() != self._thread:
            raise RuntimeError("a camera service is used only on the thread that created it")
        # The library's trace goes to descriptor 1 directly; ours first keeps the order.
        try:
            sys.stdout.flush()
        except (AttributeError, ValueError, OSError):
            pass
        return handle

    def _destroy(self):
        handle, self._handle = self._handle, None
        if handle is not None:
            self._lib.DestroyCameraDlg(handle)

    def close(self):
        """Destroy the service (DestroyCameraDlg). Calling it again does nothing."""
        if self._handle is not None:
            self._h()
        self._destroy()
        _open_services.discard(self)

    def __enter__(self):
        self._h()
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __del__(self):
        # Only on the owning thread: a Qt object must not be destroyed from another one.
        if getattr(self, "_handle", None) is not None and threading.get_ident() == self._thread:
            self._destroy()

    def __repr__(self):
        state = "closed" if self._handle is None else "outcome=%s" % Outcome(
            self._lib.GetCameraOutcome(self._handle)
        ).name
        return "<camerauiservice.CameraUIService %s>" % state

    def _set_string(self, name, setter, value):
        handle = self._h()
        encoded = _latin1(name, value)
        setter(handle, encoded)
        return encoded.decode("latin-1")

    @property
    def file_location(self):
        """The file the camera should write; after an accepted capture, the one it wrote.

        Set: a str (or path) in Latin-1; "" lets the camera choose. Read: the
        library's location decoded from UTF-8 (GetCameraFileLocationUtf8, which
        traces it).
        """
        return _text(self._lib.GetCameraFileLocationUtf8(self._h()))

    @file_location.setter
    def file_location(self, value):
        self._set_string("file_location", self._lib.SetCameraFileLocation, value)

    def _setting(name, setter_name, doc):
        def get(self):
            self._h()
            return self._settings[name]

        def set_(self, value):
            self._settings[name] = self._set_string(name, getattr(self._lib, setter_name), value)

        return property(get, set_, doc=doc)

    photo_resolution = _setting(
        "photo_resolution",
        "SetCameraPhotoResolution",
        'Photo resolution sent to the camera, e.g. "MAX" (the default) or "640x480".',
    )
    video_quality = _setting(
        "video_quality",
        "SetCameraVideoQuality",
        'Video quality: "HIGHEST" (the default), "MEDIUM" or "LOWEST".',
    )
    has_post_captured_screen = _setting(
        "has_post_captured_screen",
        "SetCameraHasPostCapturedScreen",
        'Whether the camera shows a screen after the capture, "YES" (the default) or "NO".',
    )
    del _setting

    @property
    def timeout_ms(self):
        """Limit in milliseconds for later launches; 0 (the default) or less is none.

        When it runs out the launch ends with Outcome.TIMED_OUT and the camera is
        told to stop.
        """
        self._h()
        return self._timeout_ms

    @timeout_ms.setter
    def timeout_ms(self, value):
        handle = self._h()
        milliseconds = _c_int("timeout_ms", value)
        self._lib.SetCameraTimeout(handle, milliseconds)
        self._timeout_ms = max(milliseconds, 0)

    @property
    def video_duration_limit(self):
        """Longest video in milliseconds the camera should record; 0 (the default): it decides.

        Sent as "videoDurationLimit" at the next exec() when above 0; a negative value
        is stored as 0. A camera that predates it ignores it.
        """
        self._h()
        return self._video_duration_limit

    @video_duration_limit.setter
    def video_duration_limit(self, value):
        handle = self._h()
        milliseconds = _c_int("video_duration_limit", value)
        self._lib.SetCameraVideoDurationLimit(handle, milliseconds)
        self._video_duration_limit = max(milliseconds, 0)

    @property
    def video_duration(self):
        """Length in milliseconds of the last accepted video as the camera said; 0 if not."""
        return int(self._lib.GetCameraVideoDuration(self._h()))

    @property
    def video_ended_by(self):
        """What ended the last video: "USER", "DURATION_LIMIT", "SIZE_LIMIT",
        "CAMERA_STOPPED", or "" when unknown."""
        return _text(self._lib.GetCameraVideoEndedBy(self._h()))

    def exec(self):
        """Launch the camera and wait for its answer; True when the user accepted.

        Blocks, running the library's event loop, until the launch ends. The
        outcome property says how it ended. Signal handlers run while it waits: an
        exception one raises (Ctrl-C's KeyboardInterrupt) cancels the launch, the
        camera is told, and the exception leaves exec() with outcome CANCELLED.
        """
        handle = self._h()
        # StartCamera and WaitCamera instead of Exec: between slices the interpreter
        # runs its signal handlers, which it cannot do while a C call blocks.
        try:
            if not self._lib.StartCamera(handle, None, None):
                return False
            while not self._lib.WaitCamera(handle, _WAIT_SLICE_MS):
                pass
        except BaseException:
            # Nothing waits after a refused start: then this does nothing.
            if self._handle is not None:
                self._lib.CancelCamera(handle)
            raise
        return self._lib.GetCameraOutcome(handle) == Outcome.ACCEPTED

    @property
    def outcome(self):
        """How the last launch ended, an Outcome (Outcome.NONE before any)."""
        value = self._lib.GetCameraOutcome(self._h())
        try:
            return Outcome(value)
        except ValueError:
            return value

    @property
    def action_return(self):
        """The camera's action return, e.g. "ACCEPTED" or "REJECTED" (str)."""
        return _text(self._lib.GetCameraActionReturn(self._h()))

    @property
    def error_message(self):
        """Why the last launch was not accepted (str).

        After an answer other than "ACCEPTED", the camera's reason (e.g. "cannot save
        /x/p.jpg: the folder /x does not exist"; "" when it gave none); after a launch that got
        no answer, what ended it. "" after an acceptance and before any launch.
        """
        return _text(self._lib.GetCameraErrorMessage(self._h()))

    @property
    def settings_used(self):
        """Settings the camera replaced in its last answer, a dict (a copy).

        Keys are "photoResolution" and "videoQuality", values what the camera used
        instead of what was asked, e.g. {"photoResolution": "MAX"}; {} when it used
        the settings as asked.
        """
        handle = self._h()
        used = {}
        for key in _SETTING_KEYS:
            value = _text(self._lib.GetCameraSettingUsed(handle, key.encode("ascii")))
            if value:
                used[key] = value
        return used

    def data(self):
        """Read the file at file_location and return its bytes (a copy).

        Follows GetCameraData: when the file cannot be opened the bytes of the
        previous read are returned again (b"" before any), and a short read gives b"".
        """
        size = ctypes.c_size_t(0)
        pointer = self._lib.GetCameraDataBytes(self._h(), ctypes.byref(size))
        return ctypes.string_at(pointer, size.value) if size.value else b""

    def min_data_size(self):
        """Minimum data size in bytes of a video recording at video_quality on this phone
        model (0 for a photo service, an unknown quality or a missing configuration)."""
        return int(self._lib.GetMinDataSize(self._h()))

    def auto_post_setting(self, camera_type):
        """Whether auto-posting is on for PHOTO (1) or VIDEO (any other value)."""
        return bool(self._lib.GetAutoPostSetting(self._h(), _c_int("camera_type", camera_type)))

    def capabilities(self):
        """Ask the camera what it can do, without launching it; return a dict.

        The keys are the camera's (see doc/capabilities.md): e.g.
        ``{"photoResolutions": ["MAX", "1920x1080", ...], "videoFormats": {"HIGHEST":
        {"width": 1920, ...}, ...}, ...}``; {} when the camera does not tell (an older
        one). Blocks for at most timeout_ms (25 s when it is 0). Raises CameraError
        with the outcome and message when the camera could not be asked; outcome and
        error_message then say the same.
        """
        handle = self._h()
        raw = self._lib.GetCameraCapabilities(handle)
        if raw is None:
            raise CameraError(self.outcome, self.error_message)
        return json.loads(raw.decode("utf-8"))
