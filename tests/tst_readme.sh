#!/usr/bin/env bash
# Runs the README's marked command-line examples as they stand, with the
# build's programs first on PATH, in a copy of examples/: blocks of "$ "
# commands must print exactly the lines shown after each; other blocks must
# run and leave what they promise.
#
# Every marked block must be one this script knows (in `expected` below),
# and every block it knows must be marked in the README and hold commands:
# a block that went missing or empty fails, and so does a marker added
# without a line here.
#   tst_readme.sh CLI_DIR
set -euo pipefail
cli=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
readme="$top/README.md"
block() { bash "$top/tests/scaleout/readmeblock.sh" "$1" "$readme"; }

# The README's blocks and how each is checked: `transcript` (commands and the
# output shown after each), a function below, or `scaleout` (tests/scaleout
# runs it on a Slurm cluster and with GNU parallel). A new block is one line.
expected=(
    "readme-percolate check_percolate"
    "readme-tile transcript"
    "readme-table check_table"
    "readme-table-read check_table_read"
    "readme-largemap check_largemap"
    "readme-generate check_generate"
    "readme-study check_study"
    "slurm-percolate scaleout"
    "slurm-sweep scaleout"
    "parallel-shard scaleout"
    "parallel-pipe scaleout"
)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$top/examples" "$work/examples"
cd "$work"
# Debian's python3 (with NumPy, pandas and GDAL's bindings) before any other on PATH.
export PATH="$cli:/usr/bin:$PATH"
failed=0
fail() {
    echo "tst_readme: $*"
    failed=1
}

# A block of "$ command" lines, each followed by the output it shows.
transcript() {
    local name=$1 text=$2 command="" expected="" line
    local -a commands=() outputs=()
    while IFS= read -r line; do
        if [[ $line == '$ '* ]]; then
            [[ -n $command ]] && { commands+=("$command"); outputs+=("$expected"); }
            command=${line#\$ }
            expected=""
        else
            expected+="$line"$'\n'
        fi
    done <<<"$text"
    [[ -n $command ]] && { commands+=("$command"); outputs+=("$expected"); }
    if ((${#commands[@]} == 0)); then
        fail "$name: the block holds no \"\$ \" commands"
        return
    fi
    local differ=0
    for i in "${!commands[@]}"; do
        local got
        got=$(eval "${commands[$i]}"; echo x)
        got=${got%x}
        if [[ $got != "${outputs[$i]}" ]]; then
            echo "tst_readme: $name: '${commands[$i]}' printed:"
            printf '%s' "$got"
            echo "tst_readme: but the README shows:"
            printf '%s' "${outputs[$i]}"
            differ=$((differ + 1))
            failed=1
        fi
    done
    if ((differ == 0)); then
        echo "tst_readme: $name: ${#commands[@]} command(s) print what the README shows"
    else
        echo "tst_readme: $name: $differ of ${#commands[@]} command(s) print something else than the README shows"
    fi
}

# Runs a block of plain commands; false after saying so if one fails.
run_block() {
    local name=$1 text=$2
    if ! bash -e -c "$text"; then
        fail "$name: a command of the block failed"
        return 1
    fi
}

check_percolate() {
    transcript "$@"
    [[ -f percolation.txt ]] || fail "$1: left no percolation.txt"
}

check_generate() {
    run_block "$@" || return 0
    local count lines
    count=$(ls maps/*.txt | wc -l)
    lines=$(wc -l <maps.txt)
    [[ $count == 100 && $lines == 101 ]] || fail "$1: $count maps, $lines report lines"
    echo "tst_readme: $1: $count maps, a report of $lines lines"
}

check_study() {
    run_block "$@" || return 0
    local rows sizes critical png=89504e470d0a1a0a magic
    rows=$(wc -l <study.tsv)
    sizes=$(wc -l <sizes.tsv)
    critical=$(wc -l <critical.tsv)
    magic=$(for f in study.png sizes.png observables.png; do head -c 8 "$f" | od -An -tx1 | tr -d ' \n'; echo; done | sort -u)
    [[ $rows == 43 && $sizes == 245 && $critical == 4001 && $magic == "$png" ]] ||
        fail "$1: $rows, $sizes and $critical table lines, PNG magic $magic"
    grep -q $'\tlargest_share\tlargest_share_se\t' sizes.tsv || fail "$1: sizes.tsv has no observables"
    echo "tst_readme: $1: tables of $rows, $sizes and $critical lines and three PNG plots"
}

check_table() {
    run_block "$@" || return 0
    local classes tiles
    classes=$(wc -l <classes.tsv)
    tiles=$(wc -l <tiles.tsv)
    [[ $classes == 7 && $tiles == 13 ]] || fail "$1: tables of $classes and $tiles lines"
    head -n 1 classes.tsv | grep -q $'^landscape\trow\tcolumn\trows\tcolumns\tcover\t' ||
        fail "$1: classes.tsv has no header"
    echo "tst_readme: $1: tables of $classes and $tiles lines"
}

# R and pandas print the tables they read: six classes, twelve squares.
check_table_read() {
    local out
    if ! out=$(bash -e -c "$2" 2>&1); then
        fail "$1: a command of the block failed: $out"
        return 0
    fi
    local r_rows pandas_rows
    r_rows=$(grep -cE '^[1-6] +[1-6] +[0-9]+ +[0-9]+ +[0-9.]+$' <<<"$out" || true)
    pandas_rows=$(grep -cE '^[0-9]+ +[0-9]+ +[0-9]+ +[01] +[0-9.]+$' <<<"$out" || true)
    [[ $r_rows == 6 && $pandas_rows == 12 ]] || fail "$1: R printed $r_rows rows and pandas $pandas_rows: $out"
    echo "tst_readme: $1: R read $r_rows rows, pandas $pandas_rows"
}

check_largemap() {
    run_block "$@" || return 0
    local size bands
    size=$(gdalinfo squares-landcover.tif | sed -n 's/^Size is //p')
    bands=$(gdalinfo squares-landcover.tif | grep -c 'Description = ')
    [[ $size == "4, 3" && $bands == 12 && -f clusters-landcover.tif && $(wc -l <whole.tsv) == 2 ]] ||
        fail "$1: a tile map of $size pixels and $bands bands"
    echo "tst_readme: $1: a tile map of $size pixels and $bands bands, a cluster map"
}

scaleout() {
    echo "tst_readme: $1: present (tests/scaleout runs it)"
}

known=()
for entry in "${expected[@]}"; do
    read -r name check <<<"$entry"
    known+=("$name")
    if ! text=$(block "$name"); then
        fail "$name: the README has no such block (see the message above)"
        continue
    fi
    if [[ -z ${text//[[:space:]]/} ]]; then
        fail "$name: the block is empty"
        continue
    fi
    "$check" "$name" "$text"
done

# Markers this script does not know: a block nobody checks.
while IFS= read -r name; do
    [[ " ${known[*]} " == *" $name "* ]] || fail "the README marks a block '$name' that tst_readme.sh does not know: add it to 'expected'"
done < <(sed -n 's/^[[:space:]]*<!-- test: \([^ ]*\) -->[[:space:]]*$/\1/p' "$readme")
exit $failed
