#!/usr/bin/env bash
# Runs the marked command-line examples of README.md and docs/*.md as they
# stand, with the build's programs first on PATH, in a copy of examples/:
# blocks of "$ " commands must print exactly the lines shown after each;
# other blocks must run and leave what they promise.
#
# Every marked block must be one this script knows (in `expected` below),
# and every block it knows must be marked in one page and hold commands:
# a block that went missing, empty or marked twice fails, and so does a
# marker added without a line here.
#   tst_readme.sh CLI_DIR
set -euo pipefail
cli=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
# "NAME PAGE" for every marker of every page.
markers=$(for page in "$top/README.md" "$top"/docs/*.md; do
    sed -n 's/^[[:space:]]*<!-- test: \([^ ]*\) -->[[:space:]]*$/\1/p' "$page" |
        while read -r name; do echo "$name ${page#"$top"/}"; done
done)

# The blocks and how each is checked: `transcript` (commands and the output
# shown after each), `run_block` or a function below, or `scaleout`
# (tests/scaleout runs it on a Slurm cluster and with GNU parallel). A new
# block is one line; they run in this order, in one folder.
expected=(
    "percolate-report check_percolate"
    "percolate-tile transcript"
    "readme-landcover run_block"
    "percolate-table check_table"
    "readme-landcover-read check_table_read"
    "readme-patches check_patches"
    "readme-windows check_windows"
    "largemap check_largemap"
    "readme-generate check_generate"
    "readme-sweep run_block"
    "readme-bindings-install devbindings"
    "readme-python check_python"
    "readme-r check_r"
    "study-sizes check_study"
    "study-thresholds-r check_thresholds_r"
    "dev-ci in_ci"
    "bench bench_options"
    "slurm-percolate scaleout"
    "slurm-sweep scaleout"
    "parallel-shard scaleout"
    "parallel-pipe scaleout"
    "slurm-rows scaleout"
    "parallel-rows scaleout"
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
            echo "tst_readme: but the page shows:"
            printf '%s' "${outputs[$i]}"
            differ=$((differ + 1))
            failed=1
        fi
    done
    if ((differ == 0)); then
        echo "tst_readme: $name: ${#commands[@]} command(s) print what the page shows"
    else
        echo "tst_readme: $name: $differ of ${#commands[@]} command(s) print something else than the page shows"
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

# R and pandas print the table they read, six classes each: R's rows count
# from 1 and show five columns, pandas' from 0 and show three.
check_table_read() {
    local out
    if ! out=$(bash -e -c "$2" 2>&1); then
        fail "$1: a command of the block failed: $out"
        return 0
    fi
    local r_rows pandas_rows
    r_rows=$(grep -cE '^[1-6] +[1-6] +[0-9.]+ +[0-9]+ +[0-9.]+ +[0-9.]+$' <<<"$out" || true)
    pandas_rows=$(grep -cE '^[0-5] +[1-6] +[0-9]+ +[0-9.]+$' <<<"$out" || true)
    [[ $r_rows == 6 && $pandas_rows == 6 ]] || fail "$1: R printed $r_rows rows and pandas $pandas_rows: $out"
    echo "tst_readme: $1: R read $r_rows rows, pandas $pandas_rows"
}

# R prints the five largest patches, pandas a row per class; the id map of
# class 3 holds as many ids as the table has patches of class 3.
check_patches() {
    local out
    if ! out=$(bash -e -c "$2" 2>&1); then
        fail "$1: a command of the block failed: $out"
        return 0
    fi
    local r_rows pandas_rows patches3 max3
    r_rows=$(grep -cE '^[0-9]+ +[1-6] +[0-9]+ +[0-9]+ +[0-9]+ +[0-9.]+ +[0-9.]+ +[01]$' <<<"$out" || true)
    pandas_rows=$(grep -cE '^[1-6] +[0-9]+ +[0-9.]+$' <<<"$out" || true)
    patches3=$(awk -F'\t' '$4 == 3' patches.tsv | wc -l)
    max3=$(gdalinfo -stats ids-3.tif | sed -n 's/.*STATISTICS_MAXIMUM=//p')
    [[ $r_rows == 5 && $pandas_rows == 6 && $patches3 -gt 0 && $max3 == "$patches3" ]] ||
        fail "$1: R printed $r_rows rows, pandas $pandas_rows; class 3: $patches3 patches, id map up to $max3: $out"
    echo "tst_readme: $1: R read $r_rows patches, pandas $pandas_rows classes, class 3's id map holds its $patches3 ids"
}

# 24 x 32 window centres over the 192 x 256 map, each 8 cells a side; the
# 21 x 29 windows inside it have a row each but 2, which hold no cell with a
# value.
check_windows() {
    run_block "$@" || return 0
    local size bands rows
    size=$(gdalinfo where-3.tif | sed -n 's/^Size is //p')
    bands=$(gdalinfo where-3.tif | grep -c 'Description = ')
    rows=$(($(wc -l <windows-3.tsv) - 1))
    [[ $size == "32, 24" && $bands == 20 && $rows == 607 ]] ||
        fail "$1: a window map of $size pixels and $bands bands, $rows windows"
    echo "tst_readme: $1: a window map of $size pixels and $bands bands, $rows windows"
}

check_largemap() {
    run_block "$@" || return 0
    local size bands
    size=$(gdalinfo squares-landcover.tif | sed -n 's/^Size is //p')
    bands=$(gdalinfo squares-landcover.tif | grep -c 'Description = ')
    [[ $size == "4, 3" && $bands == 20 && -f clusters-landcover.tif && $(wc -l <whole.tsv) == 2 ]] ||
        fail "$1: a tile map of $size pixels and $bands bands"
    echo "tst_readme: $1: a tile map of $size pixels and $bands bands, a cluster map"
}

scaleout() {
    echo "tst_readme: $1: present (tests/scaleout runs it)"
}

devbindings() {
    echo "tst_readme: $1: present (tst_devbindings runs it)"
}

# The Python and R examples print a row per class of the six and plot the
# PP curve as a PNG; the module and the package come from the build
# (PYTHONPATH, R_LIBS).
check_bindings() {
    local name=$1 text=$2 pattern=$3 png=$4 out rows magic
    if [[ ${VANTRIX_BINDINGS_BUILT:-} == 0 ]]; then
        echo "tst_readme: $name: not run (this build has no bindings)"
        return 0
    fi
    if ! out=$(bash -e -c "$text" 2>&1); then
        fail "$name: a command of the block failed: $out"
        return 0
    fi
    rows=$(grep -cE "$pattern" <<<"$out" || true)
    magic=$(head -c 8 "$png" 2>/dev/null | od -An -tx1 | tr -d ' \n')
    [[ $rows == 6 && $magic == 89504e470d0a1a0a ]] || fail "$name: $rows class rows, $png magic '$magic': $out"
    echo "tst_readme: $name: $rows classes and the PP curve in $png"
}
check_python() {
    check_bindings "$1" "$2" '^[0-5] +[1-6] +0\.[0-9]+ +[0-9]+ +0\.[0-9]+ +[0-9.]+$' pp-python.png
}
check_r() {
    check_bindings "$1" "$2" '^[1-6] +[1-6] +0\.[0-9]+ +[0-9]+ +0\.[0-9]+ +[0-9.]+$' pp-r.png
}

# R's mean critical share and its standard error per size, near 0.5927.
check_thresholds_r() {
    local out rows
    out=$(bash -e -c "$2" 2>&1) || { fail "$1: the block failed: $out"; return 0; }
    rows=$(grep -cE '^[1-4] +(32|64|128|256) +cluster4 +0\.59[0-9]* +0\.00[0-9]+$' <<<"$out" || true)
    [[ $rows == 4 ]] || fail "$1: R printed $rows of 4 sizes: $out"
    echo "tst_readme: $1: R read the critical shares of $rows sizes"
}

# Commands that CI runs: each must be a line of .ci/run.
in_ci() {
    if sed 's/ *#.*//' <<<"$2" | while IFS= read -r line; do
        grep -qxF "$line" "$top/.ci/run" || echo "tst_readme: $1: '$line' is not a command of .ci/run"
    done | grep .; then failed=1; else echo "tst_readme: $1: commands of .ci/run"; fi
}

# Benchmarks take too long to run here: each line must name a bench script
# and options that its Python program takes.
bench_options() {
    local -a words
    local py help
    while read -ra words; do
        py=$(grep -o 'bench/[a-z_]*\.py' "$top/${words[0]}") && help=$(python3 "$top/$py" --help) ||
            { fail "$1: '${words[0]}' is not a benchmark script"; continue; }
        for w in "${words[@]:1}"; do
            [[ $w != --* ]] || grep -qE -- "^ *$w( |$)" <<<"$help" || fail "$1: ${words[0]} takes no $w"
        done
    done <<<"$2"
    echo "tst_readme: $1: scripts and options that exist"
}

known=()
for entry in "${expected[@]}"; do
    read -r name check <<<"$entry"
    known+=("$name")
    page=$(awk -v name="$name" '$1 == name { print $2 }' <<<"$markers")
    if [[ -z $page || $page == *$'\n'* ]]; then
        fail "$name: marked in" ${page:-no page}
        continue
    fi
    if ! text=$(bash "$top/tests/scaleout/readmeblock.sh" "$name" "$top/$page"); then
        fail "$name: $page has no such block (see the message above)"
        continue
    fi
    if [[ -z ${text//[[:space:]]/} ]]; then
        fail "$name: the block is empty"
        continue
    fi
    "$check" "$name" "$text"
done

# Markers this script does not know: a block nobody checks.
while read -r name page; do
    [[ -z $name || " ${known[*]} " == *" $name "* ]] || fail "$page marks a block '$name' that tst_readme.sh does not know: add it to 'expected'"
done <<<"$markers"
exit $failed
