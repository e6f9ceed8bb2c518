#!/usr/bin/env bash
# Runs the README's marked command-line examples as they stand, with the
# build's programs first on PATH, in a copy of examples/: blocks of "$ "
# commands must print exactly the lines shown after each; other blocks must
# run and leave what they promise.
#   tst_readme.sh CLI_DIR
set -euo pipefail
cli=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
block() { bash "$top/tests/scaleout/readmeblock.sh" "$1" "$top/README.md"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$top/examples" "$work/examples"
cd "$work"
export PATH="$cli:$PATH"
failed=0

# A block of "$ command" lines, each followed by the output it shows.
check_transcript() {
    local name=$1 command="" expected="" line
    local -a commands=() outputs=()
    while IFS= read -r line; do
        if [[ $line == '$ '* ]]; then
            [[ -n $command ]] && { commands+=("$command"); outputs+=("$expected"); }
            command=${line#\$ }
            expected=""
        else
            expected+="$line"$'\n'
        fi
    done < <(block "$name")
    [[ -n $command ]] && { commands+=("$command"); outputs+=("$expected"); }
    for i in "${!commands[@]}"; do
        local got
        got=$(eval "${commands[$i]}"; echo x)
        got=${got%x}
        if [[ $got != "${outputs[$i]}" ]]; then
            echo "tst_readme: $name: '${commands[$i]}' printed:"
            printf '%s' "$got"
            echo "tst_readme: but the README shows:"
            printf '%s' "${outputs[$i]}"
            failed=1
        fi
    done
    echo "tst_readme: $name: ${#commands[@]} command(s) print what the README shows"
}

check_transcript readme-percolate
[[ -f percolation.txt ]] || { echo "tst_readme: readme-percolate left no percolation.txt"; failed=1; }
check_transcript readme-tile

eval "$(block readme-generate)"
count=$(ls maps/*.txt | wc -l)
lines=$(wc -l < maps.txt)
[[ $count == 100 && $lines == 101 ]] || { echo "tst_readme: readme-generate: $count maps, $lines report lines"; failed=1; }
echo "tst_readme: readme-generate: $count maps, a report of $lines lines"

eval "$(block readme-study)"
rows=$(wc -l < study.tsv)
magic=$(head -c 8 study.png | od -An -tx1 | tr -d ' \n')
[[ $rows == 43 && $magic == 89504e470d0a1a0a ]] || { echo "tst_readme: readme-study: $rows table lines, PNG magic $magic"; failed=1; }
echo "tst_readme: readme-study: a table of $rows lines and a PNG plot"
exit $failed
