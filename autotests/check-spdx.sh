#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Lists the source files without an SPDX-License-Identifier line among their first five
# lines; exits 1 when there are any.
#   check-spdx.sh [SOURCE_DIR]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

is_source() {
    case "$1" in
    *.c | *.cpp | *.h | *.h.in | *.py | *.qml | *.js | *.sh | *.cmake | *.cmake.in | \
        */CMakeLists.txt | CMakeLists.txt | *.1.in | *.conf | *.conf.in | *.xml | \
        *.service.in | *.pc.in | *.map | debian/rules)
        return 0 ;;
    esac
    # Scripts without a suffix (scripts/test, .ci/run).
    [ -f "$1" ] && head -c 2 "$1" | grep -q '^#!'
}

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    files() { git ls-files --cached --others --exclude-standard; }
else
    files() { find . -type f -not -path './build*' -not -path './.git/*' | sed 's|^\./||'; }
fi

missing=0 total=0
while IFS= read -r f; do
    if [ ! -f "$f" ] || ! is_source "$f"; then
        continue
    fi
    total=$((total + 1))
    if ! head -n 5 "$f" | grep -q 'SPDX-License-Identifier:'; then
        echo "$f"
        missing=$((missing + 1))
    fi
done < <(files | LC_ALL=C sort)
echo "$missing of $total source files have no SPDX-License-Identifier line" >&2
[ "$missing" = 0 ]
