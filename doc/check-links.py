#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks that every relative link in the Markdown pages resolves.

A link is `[text](target)` or `![alt](target)` outside code. The target file must exist,
relative to the page; an `#anchor` must name a heading of the target page (GitHub's
rule for heading anchors). Links to other sites are not followed.

    check-links.py [SOURCE_DIR]
"""

import pathlib
import re
import sys

# Pages that other work adds; a link to one of them passes while it does not exist yet.
# Empty this once they have landed.
PENDING: set = set()

LINK = re.compile(r"!?\[(?:[^\]\[]|\[[^\]]*\])*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
FENCE = re.compile(r"^(```|~~~).*?^\1\s*$", re.M | re.S)
INLINE_CODE = re.compile(r"`[^`\n]*`")


def pages(root):
    yield from sorted(root.glob("*.md"))
    yield from sorted((root / "doc").glob("*.md"))
    yield from sorted((root / "bench").glob("*.md"))


def prose(text):
    return INLINE_CODE.sub("", FENCE.sub("", text))


def anchors(page):
    found = set()
    for line in FENCE.sub("", page.read_text(encoding="utf-8")).splitlines():
        match = re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
        if match:
            slug = re.sub(r"[^\w\- ]", "", match.group(1).strip().lower()).replace(" ", "-")
            found.add(slug)
    return found


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parents[1])
    root = root.resolve()
    broken = []
    checked = 0
    for page in pages(root):
        for target in LINK.findall(prose(page.read_text(encoding="utf-8"))):
            if re.match(r"^[a-z][a-z0-9+.-]*:", target):
                continue
            checked += 1
            path, _, anchor = target.partition("#")
            where = (page.parent / path).resolve() if path else page
            shown = "%s: %s" % (page.relative_to(root), target)
            if not where.exists():
                relative = where.relative_to(root).as_posix() if root in where.parents else None
                if relative not in PENDING:
                    broken.append(shown + " (no such file)")
                continue
            if anchor and where.suffix == ".md" and anchor not in anchors(where):
                broken.append(shown + " (no such heading)")
    for line in broken:
        print(line)
    print("%d relative links checked, %d broken" % (checked, len(broken)), file=sys.stderr)
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
