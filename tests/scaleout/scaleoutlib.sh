# scaleoutlib.sh: what the scale-out tests share, sourced by them.
#
# Every step prints one line that starts with the test's name, so that a run's
# output reads as its record: the jobs submitted, the seconds from submission
# to the merged report, and the byte comparison with one run.

scaleout__here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# Seconds the commands of one block of docs/scale-out.md may take together.
: "${SCALEOUT_BLOCK_TIMEOUT:=300}"

scaleout_say() {
    echo "$SCALEOUT_TEST: $*"
}

scaleout_fail() {
    echo "$SCALEOUT_TEST: FAIL: $*" >&2
    exit 1
}

scaleout_skip() {
    echo "$SCALEOUT_TEST: SKIPPED: $*"
    exit 77
}

# scaleout_use_cli DIR: puts the build's programs first on PATH, so that the
# documented commands run unchanged, and checks that they are the ones with
# sharding.
scaleout_use_cli() {
    local cli=$1 p
    [[ -n $cli && -d $cli ]] || scaleout_fail "the build's cli directory '$cli' does not exist"
    cli=$(cd "$cli" && pwd)
    for p in vantrix-percolate vantrix-generate vantrix-sweep; do
        [[ -x $cli/$p ]] || scaleout_fail "$cli/$p is not built"
    done
    "$cli/vantrix-percolate" --help | grep -q -- '--shard' ||
        scaleout_fail "$cli/vantrix-percolate has no --shard"
    "$cli/vantrix-sweep" --help | grep -q -- '--shard' ||
        scaleout_fail "$cli/vantrix-sweep has no --shard"
    export PATH="$cli:$PATH"
}

# scaleout_landscapes DIR COUNT: COUNT landscapes of 64 x 64 cells near the
# percolation threshold (a mix of answers), written into DIR.
scaleout_landscapes() {
    vantrix-generate --model random --size 64 --share 0.59 --count "$2" --seed 20240601 -o "$1" >/dev/null ||
        scaleout_fail "vantrix-generate failed"
    local n
    n=$(find "$1" -type f | wc -l)
    ((n == $2)) || scaleout_fail "vantrix-generate wrote $n files into $1, not $2"
    scaleout_say "generated $2 landscapes (64 x 64, share 0.59) in $(basename "$1")/"
}

# scaleout_block NAME: the commands of the block NAME of docs/scale-out.md
# (fails the test when the page has no such block).
scaleout_block() {
    local page=docs/scale-out.md
    grep -q -- "<!-- test: $1 -->" "$scaleout__here/../../README.md" && page=README.md
    bash "$scaleout__here/readmeblock.sh" "$1" "$scaleout__here/../../$page" ||
        scaleout_fail "$page has no usable block '$1'"
}

# scaleout_national_map: national.tif, one map of 1500 x 1200 cells at the
# threshold (cluster4) for the blocks that split one map by rows, and
# national-whole.tsv and national-whole-patches.tsv, its table and patches
# from one run.
scaleout_national_map() {
    vantrix-generate --model random --size 1500 --share 0.5927 --count 1 --seed 7 --format geotiff -o national >/dev/null ||
        scaleout_fail "vantrix-generate failed"
    mv national/*.tif national.tif
    vantrix-percolate -q --cover 1 --extent full --table national-whole.tsv --patches national-whole-patches.tsv \
        -o /dev/null national.tif || scaleout_fail "one run over national.tif failed"
}

# Stops the running block $1 (timeout passes the signal on to it) and exits
# with status $2.
scaleout__stop_block() {
    echo "$SCALEOUT_TEST: interrupted; stopping the block that runs" >&2
    kill -TERM "$1" 2>/dev/null
    wait "$1" 2>/dev/null
    exit "$2"
}

# scaleout_run_block NAME FIRST: runs the block NAME (above) in the working
# directory, as a user's shell would (stopping at the first command that
# fails), within SCALEOUT_BLOCK_TIMEOUT seconds. Sets SCALEOUT_SECONDS to the
# seconds from the start of the first command whose name is FIRST (the
# submission) to the end of the block (the merged report), and
# SCALEOUT_OUTPUT to what the block printed.
scaleout_run_block() {
    local name=$1 first=$2 block status=0 start end
    block=$(scaleout_block "$name")
    printf '%s\n' "$block" >".block-$name.sh"
    scaleout_say "running the block '$name':"
    printf '%s\n' "$block" | sed 's/^/    /'
    # Each command is traced with the time it starts; PS4 is set here, as
    # bash running as root does not take it from the environment.
    cat >".run-$name.sh" <<EOF
exec 9>.trace-$name
BASH_XTRACEFD=9
PS4='+\$EPOCHREALTIME '
set -e -o pipefail -x
source ./.block-$name.sh
EOF
    # In the background and waited for, so that a signal to the test is
    # handled at once: the block is stopped first, then the test exits.
    timeout -k 10 "$SCALEOUT_BLOCK_TIMEOUT" bash ".run-$name.sh" </dev/null >".output-$name" 2>&1 &
    local child=$! traps
    traps=$(trap -p TERM INT HUP)
    trap "scaleout__stop_block $child 143" TERM
    trap "scaleout__stop_block $child 130" INT
    trap "scaleout__stop_block $child 129" HUP
    wait "$child" || status=$?
    trap - TERM INT HUP
    eval "$traps"
    end=$EPOCHREALTIME
    SCALEOUT_OUTPUT=$(<".output-$name")
    [[ -z $SCALEOUT_OUTPUT ]] || printf '%s\n' "$SCALEOUT_OUTPUT" | sed 's/^/    | /'
    if ((status != 0)) && [[ $(type -t scaleout_block_failed) == function ]]; then
        scaleout_block_failed "$name"
    fi
    if ((status == 124 || status == 137)); then
        scaleout_fail "the block '$name' did not finish within ${SCALEOUT_BLOCK_TIMEOUT}s"
    elif ((status != 0)); then
        scaleout_fail "the block '$name' failed with status $status"
    fi
    start=$(awk -v cmd="$first" '$2 == cmd { sub(/^\++/, "", $1); print $1; exit }' ".trace-$name")
    [[ -n $start ]] || scaleout_fail "the block '$name' ran no '$first'"
    SCALEOUT_SECONDS=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')
}

# scaleout_same NAME WHOLE MERGED: compares the merged report with the one
# run's, byte for byte.
scaleout_same() {
    local what=$1 whole=$2 merged=$3
    [[ -s $merged ]] || scaleout_fail "$what: $merged was not written"
    [[ -s $whole ]] || scaleout_fail "$what: $whole was not written"
    local out status=0
    out=$(cmp "$whole" "$merged" 2>&1) || status=$?
    if ((status != 0)); then
        scaleout_say "$what: $out"
        diff "$whole" "$merged" | head -20 | sed "s/^/    /" || true
        scaleout_fail "$what: the merged report is not the one run's"
    fi
    local lines sha
    lines=$(wc -l <"$merged")
    sha=$(sha256sum "$merged" | cut -c1-64)
    scaleout_say "$what: cmp $whole $merged: identical, $(wc -c <"$merged") bytes, $lines lines;" \
        "sha256 $sha (one run: $(sha256sum "$whole" | cut -c1-64))"
}

# scaleout_refused WHAT OUTPUT COMMAND...: COMMAND (a merge) must fail and
# leave OUTPUT unwritten.
scaleout_refused() {
    local what=$1 output=$2 message status=0
    shift 2
    rm -f "$output"
    message=$("$@" 2>&1 >/dev/null) || status=$?
    ((status != 0)) || scaleout_fail "--merge of $what was not refused"
    [[ ! -e $output ]] || scaleout_fail "--merge of $what was refused but wrote $output"
    [[ -n $message ]] || scaleout_fail "--merge of $what was refused without a message"
    scaleout_say "refused as it should be, $what (status $status): ${message%%$'\n'*}"
}

# scaleout_percolate_refusals PREFIX N: --merge refuses the parts
# PREFIX-K-of-N.txt with one missing, one doubled, one cut short and one from
# another split.
scaleout_percolate_refusals() {
    local prefix=$1 n=$2 parts=() f
    for f in "$prefix"-*-of-"$n".txt; do parts+=("$f"); done
    ((${#parts[@]} == n)) || scaleout_fail "there are ${#parts[@]} parts $prefix-*-of-$n.txt, not $n"
    local second=${parts[1]}
    scaleout_refused "the parts without $second" refused.txt \
        vantrix-percolate --merge "${parts[@]:0:1}" "${parts[@]:2}" -o refused.txt
    scaleout_refused "the parts with $second twice" refused.txt \
        vantrix-percolate --merge "${parts[@]:0:2}" "$second" "${parts[@]:2}" -o refused.txt
    mkdir -p cut
    head -c "$(($(wc -c <"$second") - 10))" "$second" >"cut/$(basename "$second")"
    scaleout_refused "the parts with $second cut short" refused.txt \
        vantrix-percolate --merge "${parts[@]:0:1}" "cut/$(basename "$second")" "${parts[@]:2}" -o refused.txt
    mkdir -p other
    vantrix-percolate -q --files-from all.txt --shard "2/$((n + 1))" -o "other/$(basename "$prefix")-{shard}.txt" ||
        scaleout_fail "could not make a part of another split"
    local stranger
    stranger=$(ls other/*-of-$((n + 1)).txt)
    scaleout_refused "the parts with $second replaced by $stranger" refused.txt \
        vantrix-percolate --merge "${parts[@]:0:1}" "$stranger" "${parts[@]:2}" -o refused.txt
}
