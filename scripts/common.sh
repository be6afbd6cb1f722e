# SPDX-License-Identifier: MIT
# Shared by scripts/test and scripts/demo: Debian packages and the build.
# shellcheck shell=bash

repo_root() { cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd; }

# ensure_packages PKG...: installs what is missing, or says what to run when not root.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local line="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "These Debian packages are missing. As root, run:" >&2
        echo "    $line" >&2
        exit 1
    fi
    echo "==> installing ${missing[*]}"
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
}

# Packages for a Qt 6 (default) or Qt 5 build, with the private test bus.
base_packages() {
    local qt=$1
    local pkgs=(cmake make g++ pkg-config dbus dbus-bin dbus-daemon libbenchmark-dev)
    # The C hosts' GLib main loop test and the Python binding's tests.
    pkgs+=(libglib2.0-dev python3 python3-pytest)
    # The documentation's minimal camera in Python (the docs-examples test).
    pkgs+=(python3-dbus python3-gi)
    # A host in a sandbox with a private home (the sandbox test, doc/sandbox.md).
    pkgs+=(bubblewrap)
    # The manual pages' checks; the API reference, linked to Qt's (Qt 5's tag file is the
    # one Debian ships, and the class pages have the same names in Qt 6).
    pkgs+=(groff-base man-db doxygen qtbase5-doc-dev)
    # The reference camera captures through GStreamer; the tests decode what it wrote.
    pkgs+=(libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base
        gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly
        gstreamer1.0-plugins-base-apps gstreamer1.0-tools)
    # An EXIF reader that shares nothing with the camera's writer.
    pkgs+=(libimage-exiftool-perl)
    # The camera through PipeWire and the Camera portal, tested against a private PipeWire
    # and WirePlumber, and xdg-desktop-portal (pipewiretest, portaltest).
    pkgs+=(pipewire pipewire-bin wireplumber gstreamer1.0-pipewire libspa-0.2-modules
        xdg-desktop-portal)
    if [ "$qt" = 5 ]; then
        pkgs+=(qtbase5-dev)
        # The reference camera's screen is Qt Quick with Controls.
        pkgs+=(qtdeclarative5-dev qml-module-qtquick2 qml-module-qtquick-controls2
            qml-module-qtquick-templates2 qml-module-qtquick-window2 qml-module-qtquick-layouts)
    else
        pkgs+=(qt6-base-dev)
        # The QML module, its Qt Quick tests and the example run with the qml tool.
        pkgs+=(qt6-declarative-dev qml-qt6 qml6-module-qtqml qml6-module-qtqml-models
            qml6-module-qtqml-workerscript qml6-module-qttest qml6-module-qtquick
            qml6-module-qtquick-controls qml6-module-qtquick-layouts
            qml6-module-qtquick-templates qml6-module-qtquick-window)
    fi
    printf '%s\n' "${pkgs[@]}"
}

# configure_and_build BUILD_DIR QT [extra cmake args...]
configure_and_build() {
    local dir=$1 qt=$2
    shift 2
    cmake -S "$(repo_root)" -B "$dir" -DQT_MAJOR_VERSION="$qt" -DCAMERAUISERVICE_WERROR=ON "$@"
    cmake --build "$dir" -j "$(nproc)"
}

# activation_bus_config SERVICEDIR: a private session bus configuration, as permissive as
# the stock one, on which only the services in SERVICEDIR are activatable.
activation_bus_config() {
    cat <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$1</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
}
