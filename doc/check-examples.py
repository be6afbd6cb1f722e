#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Builds and runs the programs the documentation shows, against an install tree.

A fenced code block is a program to check when the line before its fence is a marker
    <!-- doctest: NAME [camera] -->
NAME's extension says what to do: .c and .cpp are compiled with the documented
pkg-config line and run, .py is run with /usr/bin/python3, .qml with Qt's qml tool on
the offscreen platform. Each runs on a private session bus that activates the installed
reference camera through XDG_DATA_DIRS, as doc/getting-started.md says. "camera" marks a
camera application instead: it is started on its own bus, and camera-capture must
capture through it.

    check-examples.py BUILD_DIR SOURCE_DIR [QML_TOOL [QML_DIR]] -- PAGE...
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

MARKER = re.compile(r"^<!-- doctest: (\S+)((?: \w+)*) -->$")
TIMEOUT = 120


def blocks(page):
    """(name, roles, code, line) of every marked block of a page."""
    found = []
    lines = open(page, encoding="utf-8").read().split("\n")
    for at, line in enumerate(lines):
        match = MARKER.match(line.strip())
        if not match:
            continue
        if at + 1 >= len(lines) or not lines[at + 1].startswith("```"):
            raise SystemExit("%s:%d: a doctest marker must stand right before a fence"
                             % (page, at + 1))
        end = at + 2
        while end < len(lines) and not lines[end].startswith("```"):
            end += 1
        found.append((match[1], match[2].split(), "\n".join(lines[at + 2:end]) + "\n",
                      "%s:%d" % (os.path.basename(page), at + 3)))
    return found


def run(command, **kwargs):
    kwargs.setdefault("timeout", TIMEOUT)
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        raise AssertionError("%s exited with %d\n--- stdout\n%s--- stderr\n%s" % (
            " ".join(command), result.returncode, result.stdout, result.stderr))
    return result


def main():
    separator = sys.argv.index("--")
    build, source, *qml = sys.argv[1:separator]
    pages = sys.argv[separator + 1:]
    qml_tool = qml[0] if qml else ""
    qml_dir = qml[1] if len(qml) > 1 else ""
    work = tempfile.mkdtemp(prefix="camerauiservice-docs-")
    try:
        return check(build, source, qml_tool, qml_dir, pages, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def check(build, source, qml_tool, qml_dir, pages, work):
    prefix = os.path.join(work, "prefix")
    run(["cmake", "--install", build, "--prefix", prefix])
    print("installed into", prefix)

    # What the getting-started page tells a newcomer to set, and nothing from the build.
    env = {key: value for key, value in os.environ.items()
           if not key.startswith(("CAMERAUISERVICE_", "DBUS_", "QML", "QT_", "LD_"))}
    env.update({
        "HOME": os.path.join(work, "home"),
        "PKG_CONFIG_PATH": os.path.join(prefix, "lib", "pkgconfig"),
        "PYTHONPATH": os.path.join(prefix, "lib", "python3", "dist-packages"),
        "XDG_DATA_DIRS": os.path.join(prefix, "share") + ":/usr/local/share:/usr/share",
        "PATH": os.path.join(prefix, "bin") + ":" + os.environ.get("PATH", "/usr/bin:/bin"),
    })
    os.makedirs(env["HOME"])
    # No camera device on a build machine: the activated reference camera shows its test
    # picture (its options file, read also when the bus starts it).
    env["XDG_CONFIG_HOME"] = os.path.join(work, "config")
    os.makedirs(env["XDG_CONFIG_HOME"])
    with open(os.path.join(env["XDG_CONFIG_HOME"], "reference-camera.conf"), "w") as conf:
        conf.write("source = test\n")
    bus = ["dbus-run-session", "--"]
    flags = run(["pkg-config", "--cflags", "--libs", "camerauiservice"], env=env).stdout.split()
    # Interpreters are not instrumented: with a sanitizer build of the library its runtime
    # goes first, and what Python or Qt keep at exit is not ours to judge.
    interpreter = []
    library = os.path.join(prefix, "lib", "libcamerauiservice.so.1")
    if "libasan" in run(["ldd", library]).stdout:
        asan = run(["cc", "-print-file-name=libasan.so"]).stdout.strip()
        interpreter = ["env", "LD_PRELOAD=" + asan,
                       "ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:verify_asan_link_order=0"]
    rpath = "-Wl,-rpath," + os.path.join(prefix, "lib")

    passed = 0
    for page in pages:
        for name, roles, code, where in blocks(os.path.join(source, page)):
            path = os.path.join(work, name)
            with open(path, "w", encoding="utf-8") as out:
                out.write(code)
            extension = os.path.splitext(name)[1]
            try:
                if "camera" in roles:
                    check_camera(path, env, work)
                elif extension == ".c":
                    binary = path[:-2]
                    run(["cc", "-std=c99", "-Wall", "-Wextra", "-pedantic", "-Werror", "-o",
                         binary, path, *flags, rpath], env=env)
                    run(bus + [binary], env=env)
                elif extension == ".cpp":
                    binary = path[:-4]
                    run(["c++", "-std=c++17", "-Wall", "-Wextra", "-Werror", "-o", binary,
                         path, *flags, rpath], env=env)
                    run(bus + [binary], env=env)
                elif extension == ".py":
                    run(bus + interpreter + ["/usr/bin/python3", path], env=env)
                elif extension == ".qml":
                    if not qml_tool:
                        print("%s: %s not run: this build has no QML module" % (where, name))
                        continue
                    qml_env = dict(env, QML_IMPORT_PATH=os.path.join(prefix, qml_dir),
                                   QT_QPA_PLATFORM="offscreen")
                    run(bus + interpreter + [qml_tool, path], env=qml_env)
                else:
                    raise AssertionError("no way to check a %s block" % extension)
            except AssertionError as error:
                print("%s: %s FAILED\n%s" % (where, name, error))
                return 1
            print("%s: %s passed" % (where, name))
            passed += 1
    if passed == 0:
        print("no marked blocks found")
        return 1
    print("docs-examples: %d passed, 0 failed" % passed)
    return 0


def check_camera(path, env, work):
    """Starts a camera block on a bus of its own and captures through it."""
    target = os.path.join(work, "camera-shot.png")
    result = run(["dbus-run-session", "--", "/usr/bin/python3", os.path.abspath(__file__),
                  "--through-camera", path, work, target], env=env)
    lines = result.stdout.splitlines()
    expected = [
        "camera-capture: the camera used photoResolution MAX instead of the one asked for",
        "camera-capture: accepted, file location: " + target,
        "camera-capture: failed (cannot save %s/no-such-folder/x.png: the folder "
        "%s/no-such-folder does not exist)" % (work, work),
        "camera-capture: failed (this camera takes photos only)",
        '{"cameraTypes":["PHOTO"],"fileDescriptor":true,"interfaceVersion":1,'
        '"photoMime":"image/png","photoResolutions":["MAX","640x480"]}',
    ]
    if lines != expected:
        raise AssertionError("camera-capture printed\n%s\nexpected\n%s"
                             % ("\n".join(lines), "\n".join(expected)))
    with open(target, "rb") as shot:
        if shot.read(8) != b"\x89PNG\r\n\x1a\n":
            raise AssertionError("%s is not a PNG" % target)


def through_camera(path, work, target):
    """On the bus of dbus-run-session: the camera, then three captures through it."""
    camera = subprocess.Popen(["/usr/bin/python3", path], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
    try:
        # It prints this once it owns its name.
        for line in camera.stdout:
            if "camera: serving" in line:
                break
        else:
            raise SystemExit("the camera did not start")
        captures = [
            (["--photo", "--resolution", "99999x1", "--file", target], 0),
            (["--photo", "--file", os.path.join(work, "no-such-folder", "x.png")], 1),
            (["--video"], 1),
            (["--capabilities", "--json"], 0),
        ]
        for arguments, status in captures:
            done = subprocess.run(["camera-capture", "--quiet", *arguments], timeout=TIMEOUT)
            if done.returncode != status:
                raise SystemExit("camera-capture %s exited with %d"
                                 % (" ".join(arguments), done.returncode))
    finally:
        camera.kill()
        camera.wait()
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--through-camera"]:
        sys.exit(through_camera(*sys.argv[2:5]))
    sys.exit(main())
