#!/usr/bin/env bash
# readmeblock.sh NAME [FILE]
#
# Prints the commands of the code block marked `<!-- test: NAME -->` in FILE
# (README.md unless given; the pages of docs/ are read the same way):
# the 4-space indented block that follows the marker line (blank lines between
# the marker and the block are allowed), with the indentation removed. The
# tests run exactly these commands, so the pages cannot drift from what is
# tested.
#
# Fails (status 1, with a message naming NAME and FILE) when the marker
# is missing, appears more than once, or is not followed by an indented block;
# status 2 for a usage error.
set -euo pipefail

if (($# < 1 || $# > 2)) || [[ -z $1 ]]; then
    echo "usage: readmeblock.sh NAME [FILE]" >&2
    exit 2
fi
name=$1
readme=${2:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/README.md}
if [[ ! -r $readme ]]; then
    echo "readmeblock.sh: cannot read $readme" >&2
    exit 1
fi

# awk exits 3 (no marker), 4 (marker twice) or 5 (no block after it).
status=0
block=$(awk -v marker="<!-- test: $name -->" '
    function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t\r]+$/, "", s); return s }
    trim($0) == marker { markers++; if (markers == 1) { state = 1; next } }
    state == 1 && /^[ \t\r]*$/ { next }                      # blank lines before the block
    state == 1 && /^    / { state = 2 }
    state == 1 { state = 3; next }                            # something else follows the marker
    state == 2 && /^[ \t\r]*$/ { pending++; next }            # a blank line, inside or after the block
    state == 2 && /^    / {
        for (; pending > 0; pending--) print ""
        line = substr($0, 5); sub(/\r$/, "", line); print line; lines++; next
    }
    state == 2 { state = 3 }
    END {
        if (markers == 0) exit 3
        if (markers > 1) exit 4
        if (lines == 0) exit 5
    }' "$readme") || status=$?

case $status in
0) printf '%s\n' "$block" ;;
3) echo "readmeblock.sh: $readme has no block marked <!-- test: $name -->" >&2; exit 1 ;;
4) echo "readmeblock.sh: $readme marks more than one block <!-- test: $name -->" >&2; exit 1 ;;
5) echo "readmeblock.sh: the marker <!-- test: $name --> in $readme is not followed by a 4-space indented code block" >&2; exit 1 ;;
*) echo "readmeblock.sh: reading $readme failed (awk status $status)" >&2; exit 1 ;;
esac
