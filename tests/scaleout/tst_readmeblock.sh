#!/usr/bin/env bash
# tst_readmeblock.sh: readmeblock.sh on small pages, one case each (what it
# must print, or that it must fail with a message), and the real
# docs/scale-out.md: it has a marker before each of its code blocks, so that
# every command shown there is one the scale-out tests run.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
readme=$(cd "$here/../.." && pwd)/docs/scale-out.md
work=$(mktemp -d "${TMPDIR:-/tmp}/vantrix-readmeblock.XXXXXX")
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

# check CASE README-TEXT EXPECTED ('FAIL' when readmeblock.sh must refuse)
check() {
    local name=$1 text=$2 expected=$3 out status=0
    printf '%b' "$text" >"$work/$name.md"
    out=$(bash "$here/readmeblock.sh" demo "$work/$name.md" 2>"$work/$name.err") || status=$?
    if [[ $expected == FAIL ]]; then
        if ((status == 1)) && grep -q 'demo' "$work/$name.err"; then
            passed=$((passed + 1))
            return
        fi
        echo "FAIL $name: expected a refusal naming the block, got status $status, output '$out'," \
            "message '$(cat "$work/$name.err")'"
    else
        if ((status == 0)) && [[ $out == "$(printf '%b' "$expected")" ]]; then
            passed=$((passed + 1))
            return
        fi
        echo "FAIL $name: status $status, printed:"
        printf '%s\n' "$out"
        echo "expected:"
        printf '%b\n' "$expected"
    fi
    failed=$((failed + 1))
}

check directly_after_marker '# T\n<!-- test: demo -->\n    echo one\n    echo two\nprose\n' 'echo one\necho two'
check blank_line_before_block 'x\n\n<!-- test: demo -->\n\n    echo one\n\nprose\n' 'echo one'
check continuation_lines_keep_their_indent '<!-- test: demo -->\n\n    a \\\n        b\n' 'a \\\n    b'
check blank_line_inside_block '<!-- test: demo -->\n\n    echo one\n\n    echo two\n\n\nprose\n' 'echo one\n\necho two'
check block_at_end_of_file '<!-- test: demo -->\n\n    echo last' 'echo last'
check crlf_line_ends '<!-- test: demo -->\r\n\r\n    echo one\r\n    echo two\r\n' 'echo one\necho two'
check other_block_not_taken '<!-- test: other -->\n\n    echo other\n\n<!-- test: demo -->\n\n    echo demo\n' 'echo demo'
check similar_name_not_taken '<!-- test: demo2 -->\n\n    echo wrong\n' FAIL
check marker_missing '# T\n\n    echo unmarked\n' FAIL
check marker_twice '<!-- test: demo -->\n\n    echo a\n\n<!-- test: demo -->\n\n    echo b\n' FAIL
check prose_after_marker '<!-- test: demo -->\n\nprose\n\n    echo later\n' FAIL
check fenced_block_after_marker '<!-- test: demo -->\n\n```\necho fenced\n```\n' FAIL
check marker_at_end_of_file 'x\n<!-- test: demo -->\n' FAIL
check empty_file '' FAIL

status=0
bash "$here/readmeblock.sh" demo "$work/missing.md" 2>/dev/null || status=$?
if ((status == 1)); then passed=$((passed + 1)); else
    echo "FAIL unreadable_readme: status $status"
    failed=$((failed + 1))
fi
status=0
bash "$here/readmeblock.sh" 2>/dev/null || status=$?
if ((status == 2)); then passed=$((passed + 1)); else
    echo "FAIL no_name: status $status, not 2"
    failed=$((failed + 1))
fi

# docs/scale-out.md: the blocks the tests run exist, and the page shows no
# code block that is not one of them.
for name in slurm-percolate slurm-sweep parallel-shard parallel-pipe; do
    if bash "$here/readmeblock.sh" "$name" "$readme" >/dev/null; then passed=$((passed + 1)); else
        echo "FAIL scaleout_block_$name: missing"
        failed=$((failed + 1))
    fi
done
unmarked=$(awk '
    /^<!-- test: [a-z-]+ -->/ { marked = 1; inblock = 0; next }
    /^[ \t\r]*$/ { next }
    /^    / { if (!inblock && !marked) print NR ": " $0; inblock = 1; marked = 0; next }
    /^```/ { print NR ": " $0 }
    { inblock = 0; marked = 0 }' "$readme")
if [[ -z $unmarked ]]; then passed=$((passed + 1)); else
    echo "FAIL scaleout_page_blocks_marked: code blocks without a test marker:"
    printf '    %s\n' "$unmarked"
    failed=$((failed + 1))
fi

echo "$passed passed, $failed failed"
((failed == 0))
