# SPDX-License-Identifier: MIT
# scripts/test --debs: builds the Debian packages in a copy of the tree, checks them with
# lintian, installs them, uses them as a host developer and a user would, and removes
# them again.
# shellcheck shell=bash

# Packages the package build and its checks need beyond base_packages.
deb_packages() {
    printf '%s\n' build-essential debhelper dh-python dpkg-dev lintian groff-base man-db \
        libglib2.0-dev python3 qt6-declarative-dev qml-qt6 qml6-module-qtquick
}

# The binary packages that were built, without the debug symbols.
_debs_built() {
    local deb
    for deb in "$DEBS_WORK"/*.deb; do
        case "$deb" in *-dbgsym_*) ;; *) echo "$deb" ;; esac
    done
}

_debs_names() {
    local deb
    for deb in $(_debs_built); do dpkg-deb -f "$deb" Package; done
}

_debs_installed() {
    local name
    for name in "$@"; do
        dpkg-query -W -f='${Status}\n' "$name" 2>/dev/null | grep -q 'install ok installed' \
            && echo "$name"
    done
    return 0
}

_debs_cleanup() {
    local status=$?
    if [ "${DEBS_INSTALLED:-0}" = 1 ]; then
        echo "==> removing the packages"
        # shellcheck disable=SC2046
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -q -o DPkg::Lock::Timeout=600 \
            $(_debs_installed $(_debs_names)) >"$DEBS_WORK/purge.log" 2>&1 \
            || cat "$DEBS_WORK/purge.log"
    fi
    if [ "$status" != 0 ]; then
        echo "scripts/test --debs: FAILED (work folder kept: $DEBS_WORK)" >&2
    else
        rm -rf "$DEBS_WORK"
    fi
}

# Runs a command with its output in a log; shows the log when it fails.
_debs_logged() {
    local log=$1
    shift
    "$@" >"$log" 2>&1 || {
        cat "$log"
        echo "failed: $* (log: $log)" >&2
        return 1
    }
}

run_debs_test() {
    local root start
    root=$(repo_root)
    start=$SECONDS
    if [ "$(id -u)" -ne 0 ]; then
        echo "scripts/test --debs installs packages on this machine: run it as root" >&2
        exit 1
    fi
    mapfile -t pkgs < <(base_packages 6; deb_packages)
    ensure_packages "${pkgs[@]}"

    local version
    version=$(sed -n 's/^project(CameraUIService VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
    DEBS_WORK=$(mktemp -d /tmp/camerauiservice-debs.XXXXXX)
    DEBS_INSTALLED=0
    trap _debs_cleanup EXIT
    local src="$DEBS_WORK/camerauiservice-$version"
    mkdir "$src"

    # The tree as it is checked out (with uncommitted changes), without build folders.
    if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        (cd "$root" && git ls-files -z --cached --others --exclude-standard |
            while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
            tar --null -T - -cf -) | tar -xf - -C "$src"
    else
        tar -C "$root" --exclude='./build*' --exclude='./debian/.debhelper' -cf - . |
            tar -xf - -C "$src"
    fi
    (cd "$src" && dpkg-checkbuilddeps)

    echo "==> dpkg-buildpackage -us -uc -b in $src"
    local t0=$SECONDS
    (cd "$src" && _debs_logged "$DEBS_WORK/build.log" \
        dpkg-buildpackage -us -uc -b -j"$(nproc)")
    grep -E '^[0-9]+/[0-9]+ Test|tests passed' "$DEBS_WORK/build.log" | sed 's/^/    /'
    echo "built in $((SECONDS - t0)) s: $(_debs_built | xargs -n1 basename | tr '\n' ' ')"

    local debversion
    debversion=$(dpkg-deb -f "$DEBS_WORK/libcamerauiservice1_"*.deb Version)
    if [ "${debversion%-*}" != "$version" ]; then
        echo "the packages are version $debversion, CMakeLists.txt says $version" >&2
        return 1
    fi

    echo "==> lintian --fail-on error,warning"
    lintian --fail-on error,warning --info "$DEBS_WORK"/*.changes 2>&1 |
        grep -v 'running with root privileges' || true
    lintian --fail-on error,warning "$DEBS_WORK"/*.changes >/dev/null 2>&1 || {
        echo "lintian reports errors or warnings" >&2
        return 1
    }
    echo "lintian: no errors or warnings"

    local names already
    mapfile -t names < <(_debs_names)
    already=$(_debs_installed "${names[@]}")
    if [ -n "$already" ]; then
        echo "already installed, remove them first: apt-get purge $(echo "$already" | tr '\n' ' ')" >&2
        return 1
    fi
    echo "==> apt-get install ./*.deb"
    apt-get update -q >"$DEBS_WORK/update.log" 2>&1 ||
        echo "warning: apt-get update failed, installing with the lists at hand"
    DEBS_INSTALLED=1
    # shellcheck disable=SC2046
    _debs_logged "$DEBS_WORK/install.log" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 $(_debs_built)
    echo "installed: ${names[*]}"

    _debs_use_installed "$root" "$version"

    echo "==> apt-get purge"
    _debs_logged "$DEBS_WORK/purge.log" env DEBIAN_FRONTEND=noninteractive \
        apt-get purge -y -q -o DPkg::Lock::Timeout=600 "${names[@]}"
    DEBS_INSTALLED=0
    if [ -e /usr/bin/camera-capture ] || [ -e /usr/share/dbus-1/services/org.kiv.Action.CameraUIService.service ]; then
        echo "files are left after the purge" >&2
        return 1
    fi
    echo "removed: ${names[*]}"
    echo "scripts/test --debs: passed in $((SECONDS - start)) s"
}

# The installed packages, used with no prefix or search path of ours anywhere.
_debs_use_installed() {
    local root=$1 version=$2 work=$DEBS_WORK/use
    mkdir -p "$work/home"
    unset CMAKE_PREFIX_PATH PKG_CONFIG_PATH LD_LIBRARY_PATH KIV_ROOT XDG_CONFIG_HOME XDG_DATA_HOME
    # A HOME of its own: no reference-camera.conf of the developer's, captures in here.
    export HOME="$work/home"
    # The installed activation file keeps the default source; this machine has no camera.
    mkdir -p "$HOME/.config"
    printf 'source = test\nrecord-ms = 500\n' >"$HOME/.config/reference-camera.conf"

    echo "==> hosts built against the installed development packages"
    cp -r "$root/autotests/consumers" "$work/consumers"
    _debs_logged "$work/cmake-host.log" cmake -S "$work/consumers/cmake-host" \
        -B "$work/cmake-host" -DCMAKE_BUILD_TYPE=Release
    _debs_logged "$work/cmake-host-build.log" cmake --build "$work/cmake-host"
    echo "find_package host: $(grep -o 'CameraUIService_DIR.*' "$work/cmake-host/CMakeCache.txt" | head -1)"
    local flags
    flags=$(pkg-config --cflags --libs camerauiservice)
    # shellcheck disable=SC2086
    c++ -std=c++17 -o "$work/pkgconfig-host" "$work/consumers/host.cpp" $flags
    echo "pkg-config host: c++ -std=c++17 host.cpp $flags"
    local host
    # (Output captured first: grep -q would end the pipe early, failing it under pipefail.)
    local dynamic
    for host in "$work/cmake-host/cmake-host" "$work/pkgconfig-host" /usr/bin/camera-capture \
        /usr/bin/reference-camera /usr/lib/*/libcamerauiservice.so.1 /usr/lib/*/libkivappbase.so.1 \
        /usr/lib/*/qt6/qml/CameraUIService/*.so; do
        dynamic=$(readelf -d "$host")
        if grep -qE 'RPATH|RUNPATH' <<<"$dynamic"; then
            echo "$host carries a run path" >&2
            return 1
        fi
    done
    for host in "$work/cmake-host/cmake-host" "$work/pkgconfig-host"; do
        dynamic=$(ldd "$host")
        grep -qE 'libcamerauiservice.so.1 => (/usr)?/lib/' <<<"$dynamic" || {
            echo "$host does not load the installed library:" >&2
            echo "$dynamic" >&2
            return 1
        }
    done

    echo "==> captures against the installed reference camera, activated from /usr/share/dbus-1/services"
    activation_bus_config /usr/share/dbus-1/services >"$work/bus.conf"
    local bus=(dbus-run-session --config-file="$work/bus.conf" --)
    for host in "$work/cmake-host/cmake-host" "$work/pkgconfig-host"; do
        _debs_logged "$work/host.log" "${bus[@]}" "$host"
        grep -q 'Activating service name=.org.kiv.Action.CameraUIService' "$work/host.log"
        echo "$(basename "$host"): $(grep '^host:' "$work/host.log")"
    done
    _debs_logged "$work/photo.log" "${bus[@]}" camera-capture --photo --resolution 64x48 \
        --file "$work/photo.png" --out "$work/photo-bytes.png"
    grep '^camera-capture:' "$work/photo.log"
    cmp "$work/photo.png" "$work/photo-bytes.png"
    [ "$(head -c 8 "$work/photo.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ]
    _debs_logged "$work/video.log" "${bus[@]}" camera-capture --video --quality MEDIUM \
        --file "$work/clip.y4m"
    grep '^camera-capture:' "$work/video.log"
    [ "$(head -c 9 "$work/clip.y4m")" = YUV4MPEG2 ]
    # The manual's example: the stock session configuration activates the camera too.
    _debs_logged "$work/stock.log" dbus-run-session -- camera-capture --photo \
        --file "$work/stock.png"
    grep -q '^camera-capture: accepted' "$work/stock.log"
    echo "dbus-run-session -- camera-capture --photo: $(grep '^camera-capture:' "$work/stock.log")"

    local printed
    printed=$(camera-capture --version)
    if [ "$printed" != "camera-capture $version" ]; then
        echo "camera-capture --version printed \"$printed\", the packages are $version" >&2
        return 1
    fi
    echo "camera-capture --version: $printed"

    echo "==> manual pages"
    local page
    for page in camera-capture reference-camera; do
        # man-db keeps formatted pages by the source's time stamp, and every rebuild of one
        # version has the changelog's: an earlier run's page would be shown.
        rm -f /var/cache/man/cat1/"$page".1.gz
        local file
        file=$(man -w "$page") || {
            grep -rs 'path-exclude.*/usr/share/man' /etc/dpkg/dpkg.cfg.d/ >&2 &&
                echo "dpkg is set to leave manual pages out (above): remove that line" >&2
            return 1
        }
        local warnings
        warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' man --warnings -l "$file" 2>&1 >/dev/null)
        if [ -n "$warnings" ]; then
            echo "$file: $warnings" >&2
            return 1
        fi
        local shown
        shown=$(MANWIDTH=80 man "$page" 2>/dev/null)
        if [ "$shown" != "$(MANWIDTH=80 man -l "$file" 2>/dev/null)" ]; then
            echo "man $page does not show the installed $file" >&2
            return 1
        fi
        echo "man $page: $file, $(wc -l <<<"$shown") lines, no warnings"
    done

    echo "==> Python binding"
    /usr/bin/python3 -c "import camerauiservice; print('import camerauiservice:', camerauiservice.__file__)"
    # Through the system loader (the package records no library path), on the same bus.
    _debs_logged "$work/python.log" "${bus[@]}" /usr/bin/python3 -c "
import camerauiservice as cus
with cus.CameraUIService(cus.PHOTO) as cam:
    cam.photo_resolution = '32x24'
    cam.file_location = '$work/python.png'
    assert cam.exec(), cam.outcome
    print('python capture:', cam.outcome.name, cam.file_location, len(cam.data()), 'bytes, library', cus.version())
"
    grep '^python capture:' "$work/python.log"

    echo "==> QML module"
    # From Qt's own module folder: no QML_IMPORT_PATH.
    unset QML_IMPORT_PATH QML2_IMPORT_PATH
    _debs_logged "$work/qml.log" env QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software \
        "${bus[@]}" /usr/lib/qt6/bin/qml "$work/consumers/qml-host.qml"
    grep -o 'qml-host: .*' "$work/qml.log"
}
