#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Compares the dynamic symbols a library defines with a committed list, so an
# accidental export or a lost one fails the build's tests.
#   check-exports.sh LIBRARY EXPECTED_LIST
set -euo pipefail
lib=$1 expected=$2
actual=$(nm -D --defined-only "$lib" | awk '{print $NF}' | c++filt | LC_ALL=C sort -u)
if diff -u <(grep -v '^#' "$expected" | LC_ALL=C sort -u) <(printf '%s\n' "$actual"); then
    echo "exports of $(basename "$lib") match $(basename "$expected") ($(printf '%s\n' "$actual" | wc -l) symbols)"
else
    echo "exports of $lib differ from $expected (- expected, + actual)" >&2
    exit 1
fi
