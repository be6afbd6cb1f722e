#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the library against an installed platform library, as on a device SDK: the
# bundled layer is installed into a temporary "SDK" prefix, then the library is built
# with CAMERAUISERVICE_SYSTEM_PLATFORM=ON against it and checked.
#   devicebuild.sh BUILD_DIR SOURCE_DIR QT_MAJOR_VERSION
set -euo pipefail
build=$1 src=$2 qt=$3
work=$(mktemp -d /tmp/camerauiservice-devicebuild.XXXXXX)
trap 'rm -rf "$work"' EXIT
sdk="$work/sdk"

cmake --install "$build/platform" --prefix "$sdk" >"$work/install.log"
# A platform library that offers only the action framework's basic operations: the
# library must still build (and report launches it cannot explain as Aborted).
sed -i -e '/#define AM_ACTIONDATA_HAS_LAUNCH_CONTROL/d' \
    -e '/#define AM_ACTIONDATA_HAS_FILE_DESCRIPTOR/d' "$sdk/include/kivappbase/AM_ActionData.h"
! grep -q 'AM_ACTIONDATA_HAS_\(LAUNCH_CONTROL\|FILE_DESCRIPTOR\)' \
    "$sdk/include/kivappbase/AM_ActionData.h"
echo "platform SDK: $(cd "$sdk" && find include lib -name '*.h' -o -name 'libkivappbase.so*' | sort | tr '\n' ' ')"

cmake -S "$src" -B "$work/build" -DQT_MAJOR_VERSION="$qt" -DCAMERAUISERVICE_SYSTEM_PLATFORM=ON \
    -DKIVAPPBASE_ROOT="$sdk" -DBUILD_REFERENCE_CAMERA=OFF -DBUILD_EXAMPLES=OFF \
    -DBUILD_BENCHMARKS=OFF -DBUILD_TOOLS=OFF -DCAMERAUISERVICE_WERROR=ON \
    >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
grep 'Platform SDK:' "$work/configure.log"
cmake --build "$work/build" -j "$(nproc)" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }

lib="$work/build/lib/libcamerauiservice.so.1"
[ ! -e "$work/build/lib/libkivappbase.so.1" ] || { echo "the bundled layer was built" >&2; exit 1; }
readelf -d "$lib" | grep -q 'NEEDED.*\[libkivappbase.so.1\]'
(cd "$work/build" && ctest --output-on-failure)
echo "devicebuild: 1 passed, 0 failed (Qt $qt)"
