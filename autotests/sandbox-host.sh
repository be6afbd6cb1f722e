#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A host in a sandbox with a private home: camera-capture runs under bubblewrap, where its
# home is a folder the camera (outside, started by the bus) cannot even see, and asks for
# a photo in it. Only the descriptor the host hands over lets the camera write there.
#   sandbox-host.sh BUILD_DIR WORK_DIR
# Exit 77 (skipped) when bubblewrap is missing or cannot make namespaces here.
set -euo pipefail
build=$1 work=$2
if ! command -v bwrap >/dev/null; then
    echo "SKIP: bwrap is not installed (Debian package bubblewrap)"
    exit 77
fi
if ! why=$(bwrap --ro-bind / / --dev /dev --proc /proc true 2>&1); then
    echo "SKIP: bwrap cannot create namespaces here: $why"
    exit 77
fi
rm -rf "$work"
mkdir -p "$work/home/Pictures"
# The camera must not find the host's path: the home exists only inside the sandbox.
[ ! -e /home/sandboxed-app ] || { echo "/home/sandboxed-app exists outside the sandbox" >&2; exit 1; }
# One photo in seconds; a camera that never answers fails the test here.
timeout 30 dbus-run-session --config-file="$build/dbus/private-session.conf" -- \
    bwrap --ro-bind / / --dev /dev --proc /proc --tmpfs /home \
    --bind "$work/home" /home/sandboxed-app --setenv HOME /home/sandboxed-app --die-with-parent \
    "$build/bin/camera-capture" --quiet --photo --resolution 640x480 \
    --file /home/sandboxed-app/Pictures/p.jpg | tee "$work/out.log"
grep -q '^camera-capture: accepted, file location: /home/sandboxed-app/Pictures/p.jpg$' "$work/out.log"
# The photo is in the private home, as the host named it, and nothing else is left there.
head -c 3 "$work/home/Pictures/p.jpg" | od -An -tx1 | grep -q 'ff d8 ff'
[ "$(ls -A "$work/home/Pictures")" = p.jpg ]
echo "sandboxed host: the photo is in its private home"
