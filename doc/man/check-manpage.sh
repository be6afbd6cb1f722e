#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks a manual page: groff formats it without a warning, man-db can read its NAME
# line, and every long option that the program's --help lists is documented.
#   check-manpage.sh PAGE PROGRAM
set -euo pipefail
page=$1 program=$2
name=$(basename "$page")
failed=0

warnings=$(LC_ALL=C.UTF-8 groff -ww -man -z -Tutf8 "$page" 2>&1)
if [ -n "$warnings" ]; then
    echo "$name: groff warnings:" >&2
    echo "$warnings" >&2
    failed=1
fi
if ! lexgrog "$page" >/dev/null; then
    echo "$name: lexgrog cannot read the NAME section" >&2
    failed=1
fi

# The OPTIONS section as plain text without line-length breaks, so every option is found
# as written (an option named only in the examples is not documented).
text=$(LC_ALL=C groff -man -Tascii -rLL=300n -P-cbou "$page" 2>/dev/null |
    awk '/^[A-Z]/ { on = ($0 == "OPTIONS") } on')
help=$("$program" --help 2>&1)
count=0
for option in $(grep -oE -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u); do
    count=$((count + 1))
    if ! grep -qE -- "(^|[^a-z0-9-])$option([^a-z0-9-]|\$)" <<<"$text"; then
        echo "$name: $(basename "$program") --help lists $option, the page does not" >&2
        failed=1
    fi
done
[ "$failed" = 0 ] || exit 1
echo "$name: formats cleanly, documents all $count options of --help"
