#!/usr/bin/env bash
# tst_parallel.sh CLI_DIR
#
# The README's GNU parallel commands on this machine's cores (hosts.txt names
# only this machine): the percolation test of a few hundred generated
# landscapes split with --shard and with --pipe, merged, and compared byte for
# byte with one run; --merge must refuse the --shard parts with one missing,
# doubled, cut short or from another split.
#
# Exit status: 0 passed, 1 failed, 77 skipped (GNU parallel not installed).
set -euo pipefail
SCALEOUT_TEST=tst_parallel
here=$(cd "$(dirname "$0")" && pwd)
source "$here/scaleoutlib.sh"

(($# == 1)) || scaleout_fail "usage: tst_parallel.sh CLI_DIR"
command -v parallel >/dev/null 2>&1 ||
    scaleout_skip "not installed: parallel (Debian package parallel; scripts/dev installs it)"
scaleout_use_cli "$1"

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrix-parallel.XXXXXX")
# Whatever the outcome: nothing of the test may be left running, and its
# folder goes.
cleanup() {
    local rc=$? pid left=()
    set +e
    trap - EXIT
    cd /
    for p in /proc/[0-9]*; do
        pid=${p#/proc/}
        [[ $pid == "$$" || $pid == "$BASHPID" ]] && continue
        [[ $(readlink "$p/cwd" 2>/dev/null) == "$work"* ]] && left+=("$pid")
    done
    if ((${#left[@]})); then
        echo "$SCALEOUT_TEST: left running in $work: ${left[*]}; stopping them" >&2
        kill -TERM "${left[@]}" 2>/dev/null
        sleep 2
        kill -KILL "${left[@]}" 2>/dev/null
        ((rc != 0)) || rc=1
    fi
    rm -rf "$work"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
trap 'exit 129' HUP

# Parallel's citation notice is answered once per user: a HOME of the test's
# own, with the answer given.
export HOME=$work/home
mkdir -p "$HOME/.parallel"
touch "$HOME/.parallel/will-cite"
cd "$work"
mkdir run
cd run
echo : >hosts.txt
scaleout_say "GNU parallel $(parallel --version | head -1 | awk '{print $3}') on this machine's $(nproc) cores" \
    "(hosts.txt: ':')"

scaleout_landscapes landscapes 400
find landscapes -name '*.txt' | sort >whole-list.txt
vantrix-percolate -q --files-from whole-list.txt -o whole.txt || scaleout_fail "one run of vantrix-percolate failed"

# --shard {}/N
scaleout_run_block parallel-shard parallel
cmp -s whole-list.txt all.txt || scaleout_fail "the README's list is not the list of the one run"
parts=(shard-*-of-*.txt)
n=$(sed 's/.*-of-\([0-9]*\)\.txt$/\1/' <<<"${parts[0]}")
((${#parts[@]} == n)) || scaleout_fail "shard: ${#parts[@]} shard reports, not $n"
scaleout_say "shard: $n jobs, $n shard reports (${parts[0]} ... ${parts[-1]}) merged;" \
    "${SCALEOUT_SECONDS} s from start to merged report"
scaleout_same shard whole.txt percolation.txt
scaleout_percolate_refusals shard "$n"

# --rows {}/N: one map
scaleout_national_map
scaleout_run_block parallel-rows parallel
parts=(rows-*-of-*.txt)
scaleout_say "rows: ${#parts[@]} parts of national.tif's rows merged;" \
    "${SCALEOUT_SECONDS} s from start to merged table"
scaleout_same rows national-whole.tsv national.tsv
scaleout_same "rows' patches" national-whole-patches.tsv national-patches.tsv

# --pipe
rm -f percolation.txt
scaleout_run_block parallel-pipe parallel
parts=(part-*.txt)
lines=$(wc -l <all.txt)
block=$(grep -o -- '-N [0-9]*' <(scaleout_block parallel-pipe) | awk '{print $2}')
expected=$(((lines + block - 1) / block))
((${#parts[@]} == expected)) ||
    scaleout_fail "pipe: ${#parts[@]} part reports for $lines paths in blocks of $block, not $expected"
scaleout_say "pipe: $expected jobs of up to $block paths, $expected part reports (${parts[0]} ... ${parts[-1]}) merged;" \
    "${SCALEOUT_SECONDS} s from start to merged report"
scaleout_same pipe whole.txt percolation.txt

scaleout_say "PASS"
