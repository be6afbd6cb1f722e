#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds two hosts against it (CMake package
# and pkg-config), and runs each against the installed reference camera, activated on a
# private bus from the installed service file.
#   run.sh BUILD_DIR QT_MAJOR_VERSION
set -euo pipefail
build=$1 qt=$2
here=$(cd "$(dirname "$0")" && pwd)
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
# shellcheck disable=SC2046
c++ -std=c++17 -fPIC -o "$work/pkgconfig-host" "$here/host.cpp" \
    $(pkg-config --cflags --libs camerauiservice) -Wl,-rpath,"$prefix/lib"
echo "built the pkg-config host: $(pkg-config --modversion camerauiservice), $(pkg-config --libs camerauiservice)"

cat >"$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$prefix/share/dbus-1/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF

# The installed camera writes into the Pictures folder of this HOME.
export HOME="$work/home"
mkdir -p "$HOME"
for host in "$work/cmake-host/cmake-host" "$work/pkgconfig-host"; do
    dbus-run-session --config-file="$work/bus.conf" -- "$host" >"$work/trace.log"
    grep -q ':exec:The user actionReturn is ACCEPTED' "$work/trace.log"
    echo "ran $(basename "$host"): accepted"
done
passed=2

# The QML module from the install tree, when this build has one.
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
if [ "$(cached BUILD_QML_MODULE)" = ON ]; then
    qml_tool=$(cached CAMERAUISERVICE_QML_TOOL)
    [ -x "$qml_tool" ] || { echo "Qt 6's qml tool is missing (Debian: qml-qt6)" >&2; exit 1; }
    QML_IMPORT_PATH="$prefix/$(cached CAMERAUISERVICE_QML_INSTALL_DIR)" QT_QPA_PLATFORM=offscreen \
        QT_QUICK_BACKEND=software dbus-run-session --config-file="$work/bus.conf" -- \
        "$qml_tool" "$here/qml-host.qml" >"$work/qml.log" 2>&1 || { cat "$work/qml.log"; exit 1; }
    grep -q 'qml-host: accepted' "$work/qml.log"
    echo "ran qml-host.qml with QML_IMPORT_PATH=$prefix/$(cached CAMERAUISERVICE_QML_INSTALL_DIR): accepted"
    passed=3
fi
echo "consumers: $passed passed, 0 failed (Qt $qt)"
