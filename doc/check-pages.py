#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""What a newcomer reads matches the software: one row per fact a page once got wrong.

    check-pages.py SOURCE_DIR
"""
import re
import sys

# (file, kind, text, why): "has" the text must be there, "lacks" it must not, "regex" a
# pattern (multiline, dot matches newline) must match.
ROWS = [
    # Outcome names instead of numbers, in the README and the examples.
    ("README.md", "has", "GetCameraOutcomeName(GetCameraOutcome(camera))", "C prints a name"),
    ("README.md", "has", "photo.outcomeName(photo.outcome)", "QML prints a name"),
    ("README.md", "has", "cameraType: CameraCapture.Photo", "QML names the camera type"),
    ("README.md", "lacks", '"Outcome " + photo.outcome', "no bare outcome number"),
    ("examples/c-capture/c-capture.c", "has", "GetCameraOutcomeName", "no switch of its own"),
    ("examples/qml-capture/main.qml", "lacks", "cameraType: 2", "a named camera type"),
    # Today's camera in the pages.
    ("README.md", "lacks", "2002 bytes", "the photo of the former generated camera"),
    ("README.md", "has", "video.mp4", "the demo records an MP4"),
    ("README.md", "has", "doc/images/recorded-video-frame.png", "a frame of a recorded video"),
    ("doc/man/reference-camera.1.in", "lacks", "1600\\(mu1200", "former fixed tables"),
    ("doc/man/reference-camera.1.in", "lacks", "YUV4MPEG2 at", "former fixed tables"),
    ("include/camerauiservice/camerauiservice.h", "lacks", "1600x1200", "former sizes"),
    ("include/camerauiservice/camerauiservice.h", "lacks", '"width": 320', "former sizes"),
    ("python/camerauiservice/__init__.py", "lacks", "1600x1200", "former sizes"),
    ("doc/security.md", "lacks", "1600x1200", "former sizes"),
    ("doc/packaging.md", "lacks", "1600x1200", "former sizes"),
    ("include/camerauiservice/camerauiservice.h", "lacks", "There is no switch to silence it",
     "CAMERAUISERVICE_TRACE=0 exists"),
    ("include/camerauiservice/camerauiservice.h", "regex",
     r"\*/\ntypedef struct CameraUIService CameraUIService;", "the C handle is documented"),
    ("dbus/org.kiv.Action.xml", "lacks", '"image/png"', "the camera writes JPEG"),
    # The camera author's page.
    ("doc/integrators.md", "has", "`fileDescriptor`", "the descriptor"),
    ("doc/integrators.md", "has", "fileDescriptorUsed", "the descriptor's answer"),
    ("doc/integrators.md", "has", "`launchId`", "the launch's identity"),
    ("doc/integrators.md", "has", "CancelLaunch(s action, t launchId)", "one launch's cancel"),
    ("doc/integrators.md", "has", "def GetCapabilities", "a tested GetCapabilities"),
    ("doc/integrators.md", "has", "](security.md)", "links the security page"),
    ("doc/integrators.md", "has", "](capabilities.md)", "links the capabilities page"),
    ("src/CMakeLists.txt", "regex", r"install\(FILES[^)]*doc/security\.md[^)]*doc/capabilities\.md",
     "installs the pages it links"),
    # A machine without a camera.
    ("doc/getting-started.md", "has", "source = test", "what a bus-started camera reads"),
    # The two minimums, related.
    ("doc/capabilities.md", "regex", r"`minVideoSizeLimit` and `GetMinDataSize` are two different",
     "the device's minimum and the camera's"),
    ("README.md", "regex", r"GetMinDataSize`[^\n]*\n(?:[^\n]+\n)*?[^\n]*minVideoSizeLimit",
     "the demo's two minimums in one paragraph"),
    # The sandbox page.
    ("doc/sandbox.md", "has", "--talk-name=org.kiv.Action.CameraUIService", "the Flatpak name"),
]


def main(source):
    failed = 0
    for path, kind, text, why in ROWS:
        try:
            with open("%s/%s" % (source, path), encoding="utf-8") as page:
                content = page.read()
        except FileNotFoundError:
            content = None
        if content is None:
            ok = False
        elif kind == "has":
            ok = text in content
        elif kind == "lacks":
            ok = text not in content
        else:
            ok = re.search(text, content, re.S | re.M) is not None
        if not ok:
            failed += 1
            print("FAIL %s: %s %r (%s)" % (path, kind, text, why))
    # No control character but newline and tab in a public header's comments.
    for header in ("CameraUIService.h", "CameraUIServiceCWrapper.h", "CameraCapture.h",
                   "camerauiservice.h"):
        with open("%s/include/camerauiservice/%s" % (source, header), "rb") as raw:
            bad = [i for i, byte in enumerate(raw.read()) if byte < 0x20 and byte not in (9, 10)]
        if bad:
            failed += 1
            print("FAIL include/camerauiservice/%s: control character at byte %d" % (header, bad[0]))
    print("%d rows, %d failed" % (len(ROWS) + 4, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
