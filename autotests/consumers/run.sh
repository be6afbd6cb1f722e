#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build into a temporary prefix, builds two hosts against it (CMake package
# and pkg-config), and runs each against the installed reference camera, activated on a
# private bus from the installed service file.
#   run.sh BUILD_DIR QT_MAJOR_VERSION
set -euo pipefail
build=$1 qt=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/common.sh"
work=$(mktemp -d /tmp/camerauiservice-consumers.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
echo "installed into $prefix"

cmake -S "$here/cmake-host" -B "$work/cmake-host" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_TYPE=Release >"$work/cmake-host.log" 2>&1 || { cat "$work/cmake-host.log"; exit 1; }
cmake --build "$work/cmake-host" >>"$work/cmake-host.log" 2>&1 || { cat "$work/cmake-host.log"; exit 1; }
echo "built the find_package host"

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
# Exactly the README's line: nothing but what pkg-config says (the library is found at run
# time through LD_LIBRARY_PATH below, as it would be from the system's library path).
cd "$work"
cp "$here/host.cpp" host.cpp
# shellcheck disable=SC2046
c++ host.cpp $(pkg-config --cflags --libs camerauiservice)
mv a.out pkgconfig-host
cd - >/dev/null
echo "built the pkg-config host: $(pkg-config --modversion camerauiservice), $(pkg-config --cflags --libs camerauiservice)"

# C hosts: the documented compile line, nothing else.
src=$(cd "$here/../.." && pwd)
for c in "$here/../capitest.c" "$src/examples/c-capture/c-capture.c"; do
    # shellcheck disable=SC2046
    cc -std=c99 -Wall -Wextra -pedantic -Werror -o "$work/$(basename "$c" .c)" "$c" \
        $(pkg-config --cflags --libs camerauiservice) -Wl,-rpath,"$prefix/lib"
done
echo "built the C hosts capitest and c-capture"

activation_bus_config "$prefix/share/dbus-1/services" >"$work/bus.conf"

# The installed camera writes into the Pictures folder of this HOME.
export HOME="$work/home"
mkdir -p "$HOME"
# The installed service file starts the camera with its defaults; this machine may have no
# camera, so its options file picks the test picture.
export XDG_CONFIG_HOME="$work/config"
mkdir -p "$XDG_CONFIG_HOME"
printf 'source = test\nrecord-ms = 500\n' >"$XDG_CONFIG_HOME/reference-camera.conf"
# Each host below takes a photo from an activated camera in seconds; one that never ends
# fails its step instead of holding the test to CTest's limit.
bounded=(timeout 30)
for host in "$work/cmake-host/cmake-host" "$work/pkgconfig-host"; do
    LD_LIBRARY_PATH="$prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
        "${bounded[@]}" dbus-run-session --config-file="$work/bus.conf" -- "$host" >"$work/trace.log"
    grep -aq ':exec:The user actionReturn is ACCEPTED' "$work/trace.log" \
        || { cat -v "$work/trace.log"; exit 1; }
    echo "ran $(basename "$host"): accepted"
done

# A log of its own: the camera this bus started keeps the log open as its standard error
# and may still write to it ("lost the session bus") while the next host runs.
timeout 60 dbus-run-session --config-file="$work/bus.conf" -- "$work/capitest" >"$work/capitest.log" 2>&1 \
    || { cat "$work/capitest.log"; exit 1; }
echo "ran capitest: $(tail -n 1 "$work/capitest.log")"
"${bounded[@]}" dbus-run-session --config-file="$work/bus.conf" -- "$work/c-capture" "$work/c.png" >"$work/trace.log"
# -a: the trace is text, but a stray byte must not turn grep's answer into "binary file".
grep -aq '^c-capture: outcome: Accepted' "$work/trace.log" || { cat -v "$work/trace.log"; exit 1; }
cmp -s <(grep -a '^c-capture: bytes:' "$work/trace.log") \
    <(echo "c-capture: bytes: $(stat -c %s "$work/c.png")") || { cat -v "$work/trace.log"; exit 1; }
echo "ran c-capture: accepted, $(stat -c %s "$work/c.png") bytes"

# Python: the installed package finds the installed library by the path it recorded.
pydir="$prefix/lib/python3/dist-packages"
python=(/usr/bin/python3)
if ldd "$prefix/lib/libcamerauiservice.so.1" | grep -q libasan; then
    # An instrumented library in an uninstrumented Python: the runtime goes first, and
    # Python's own allocations at exit are not ours to judge.
    python=(env LD_PRELOAD="$(cc -print-file-name=libasan.so)"
        ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:verify_asan_link_order=0 /usr/bin/python3)
fi
env -u CAMERAUISERVICE_LIBRARY PYTHONPATH="$pydir" "${bounded[@]}" dbus-run-session --config-file="$work/bus.conf" -- \
    "${python[@]}" -c '
import pathlib, sys
import camerauiservice as cus
target = pathlib.Path(sys.argv[1])
with cus.CameraUIService(cus.PHOTO) as cam:
    cam.file_location = str(target)
    assert cam.exec() and cam.outcome is cus.Outcome.ACCEPTED, cam.error_message
    assert cam.file_location == str(target) and cam.data() == target.read_bytes()
assert cus._library._name == sys.argv[2], cus._library._name
' "$work/py.png" "$prefix/lib/libcamerauiservice.so.1" >"$work/trace.log"
echo "ran the Python host: accepted"
passed=5

# The QML module from the install tree, when this build has one.
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
if [ "$(cached BUILD_QML_MODULE)" = ON ]; then
    qml_tool=$(cached CAMERAUISERVICE_QML_TOOL)
    [ -x "$qml_tool" ] || { echo "Qt 6's qml tool is missing (Debian: qml-qt6)" >&2; exit 1; }
    QML_IMPORT_PATH="$prefix/$(cached CAMERAUISERVICE_QML_INSTALL_DIR)" QT_QPA_PLATFORM=offscreen \
        QT_QUICK_BACKEND=software "${bounded[@]}" dbus-run-session --config-file="$work/bus.conf" -- \
        "$qml_tool" "$here/qml-host.qml" >"$work/qml.log" 2>&1 || { cat "$work/qml.log"; exit 1; }
    grep -q 'qml-host: accepted' "$work/qml.log"
    echo "ran qml-host.qml with QML_IMPORT_PATH=$prefix/$(cached CAMERAUISERVICE_QML_INSTALL_DIR): accepted"
    passed=6
fi
echo "consumers: $passed passed, 0 failed (Qt $qt)"
