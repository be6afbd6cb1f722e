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
# Exactly the README's line: nothing but what pkg-config says (the library is found at run
# time through LD_LIBRARY_PATH below, as it would be from the system's library path).
cd "$work"
cp "$here/host.cpp" host.cpp
# shellcheck disable=SC2046
c++ host.cpp $(pkg-config --cflags --libs camerauiservice)
mv a.out pkgconfig-host
cd - >/dev/null
echo "built the pkg-config host: $(pkg-config --modversion camerauiservice), $(pkg-config --cflags --libs camerauiservice)"

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
    LD_LIBRARY_PATH="$prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
        dbus-run-session --config-file="$work/bus.conf" -- "$host" >"$work/trace.log"
    grep -q ':exec:The user actionReturn is ACCEPTED' "$work/trace.log"
    echo "ran $(basename "$host"): accepted"
done
echo "consumers: 2 passed, 0 failed (Qt $qt)"
