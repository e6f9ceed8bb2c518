#!/usr/bin/env bash
# tst_slurm.sh CLI_DIR
#
# The README's Slurm job arrays, run on a single-node Slurm cluster that this
# test starts and stops itself (slurmcluster.sh): the percolation test of a
# few hundred generated landscapes split over the array and merged, compared
# byte for byte with one run; then the same for a sweep. --merge must refuse
# the parts with one missing, doubled, cut short, or from another split (for
# the sweep: of another run).
#
# Exit status: 0 passed, 1 failed, 77 skipped (Slurm or munge not installed).
set -euo pipefail
SCALEOUT_TEST=tst_slurm
here=$(cd "$(dirname "$0")" && pwd)
source "$here/scaleoutlib.sh"
source "$here/slurmcluster.sh"

(($# == 1)) || scaleout_fail "usage: tst_slurm.sh CLI_DIR"
if ! missing=$(slurmcluster_missing); then
    scaleout_skip "not installed: $missing (Debian packages slurm-wlm and munge; scripts/dev installs them)"
fi
scaleout_use_cli "$1"

started=$EPOCHREALTIME
slurmcluster_start || scaleout_fail "the Slurm cluster did not come up"
scaleout_say "Slurm $(sinfo --version | cut -d' ' -f2) cluster up in" \
    "$(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }') s:" \
    "node $(sinfo -h -o '%N, %c CPUs, state %T')"
cd "$SLURMCLUSTER_DIR/work"

# What the tasks said, when a block failed.
scaleout_block_failed() {
    local f
    for f in slurm-*.out; do
        [[ -s $f ]] || continue
        echo "--- $f"
        tail -n 20 "$f"
    done
    squeue -h 2>/dev/null | sed 's/^/    queued: /'
}

# Tasks of an array: how many the submission made, and that each ended well.
array_report() {
    local what=$1 output=$2 job tasks
    job=$(grep -o 'Submitted batch job [0-9]*' <<<"$output" | grep -o '[0-9]*$') ||
        scaleout_fail "$what: sbatch said no job id"
    tasks=$(find . -maxdepth 1 -name "slurm-${job}_*.out" | wc -l)
    scaleout_say "$what: submitted job $job, an array of $tasks tasks; sbatch --wait returned 0 (every task ended with 0)"
    JOB_TASKS=$tasks
}

# --- percolation over a list of landscapes ----------------------------------
scaleout_landscapes landscapes 400
# One run over the same list, the reference.
find landscapes -name '*.txt' | sort >whole-list.txt
vantrix-percolate -q --files-from whole-list.txt -o whole.txt ||
    scaleout_fail "one run of vantrix-percolate failed"

scaleout_run_block slurm-percolate sbatch
array_report percolate "$SCALEOUT_OUTPUT"
cmp -s whole-list.txt all.txt || scaleout_fail "the README's list is not the list of the one run"
reports=(shard-*-of-*.txt)
((${#reports[@]} == JOB_TASKS)) || scaleout_fail "percolate: ${#reports[@]} shard reports for $JOB_TASKS tasks"
scaleout_say "percolate: ${#reports[@]} shard reports (${reports[0]} ... ${reports[-1]}) merged;" \
    "${SCALEOUT_SECONDS} s from submission to merged report"
scaleout_same percolate whole.txt percolation.txt
n=$(sed 's/.*-of-\([0-9]*\)\.txt$/\1/' <<<"${reports[0]}")
scaleout_percolate_refusals shard "$n"

# --- one map split by rows ----------------------------------------------------
scaleout_national_map
scaleout_run_block slurm-rows sbatch
array_report rows "$SCALEOUT_OUTPUT"
parts=(rows-*-of-*.txt)
((${#parts[@]} == JOB_TASKS)) || scaleout_fail "rows: ${#parts[@]} rows parts for $JOB_TASKS tasks"
scaleout_say "rows: ${#parts[@]} parts of national.tif's rows merged;" \
    "${SCALEOUT_SECONDS} s from submission to merged table"
scaleout_same rows national-whole.tsv national.tsv
scaleout_same "rows' patches" national-whole-patches.tsv national-patches.tsv
scaleout_refused "the rows parts without ${parts[1]}" refused.tsv \
    vantrix-percolate --merge "${parts[0]}" "${parts[@]:2}" -o refused.tsv

# --- a sweep ------------------------------------------------------------------
# One run of the README's sweep: its command without the options of a part.
block=$(scaleout_block slurm-sweep)
sweep=$(grep -o "vantrix-sweep [^']*" <<<"$block" | head -1)
read -r -a words <<<"$sweep"
one=()
for ((i = 0; i < ${#words[@]}; i++)); do
    case ${words[i]} in
    --jobs | -j | --shard | -o | --output) ((i += 1)) ;;
    *) one+=("${words[i]}") ;;
    esac
done
[[ ${#one[@]} -gt 1 && ${one[*]} != *'$'* && ${one[*]} == *' --seed '* ]] ||
    scaleout_fail "cannot make one run from the README's sweep: '$sweep'"
scaleout_say "sweep: one run: ${one[*]} -o whole.tsv"
"${one[@]}" -o whole.tsv || scaleout_fail "one run of the sweep failed"

scaleout_run_block slurm-sweep sbatch
array_report sweep "$SCALEOUT_OUTPUT"
tables=(sweep-*-of-*.tsv)
((${#tables[@]} == JOB_TASKS)) || scaleout_fail "sweep: ${#tables[@]} shard tables for $JOB_TASKS tasks"
scaleout_say "sweep: ${#tables[@]} shard tables (${tables[0]} ... ${tables[-1]}) merged;" \
    "${SCALEOUT_SECONDS} s from submission to merged table"
scaleout_same sweep whole.tsv sweep.tsv

# The tables say which part of which run they are: given in another order
# they merge the same; with one missing, doubled, cut short or of another run
# they are refused.
mapfile -t reversed < <(printf '%s\n' "${tables[@]}" | sort -r)
vantrix-sweep --merge "${reversed[@]}" -o reversed.tsv || scaleout_fail "sweep: merging in reverse order failed"
cmp -s whole.tsv reversed.tsv || scaleout_fail "sweep: the tables merged in reverse order are not the one run's"
scaleout_say "sweep: the tables merged in reverse order are identical too"
second=${tables[1]}
scaleout_refused "the sweep tables without $second" refused.tsv \
    vantrix-sweep --merge "${tables[0]}" "${tables[@]:2}" -o refused.tsv
scaleout_refused "the sweep tables with $second twice" refused.tsv \
    vantrix-sweep --merge "${tables[@]}" "$second" -o refused.tsv
mkdir -p cut other
head -c "$(($(wc -c <"$second") - 10))" "$second" >"cut/$second"
scaleout_refused "the sweep tables with $second cut short" refused.tsv \
    vantrix-sweep --merge "${tables[0]}" "cut/$second" "${tables[@]:2}" -o refused.tsv
# The same part of a run with another seed.
stranger=()
for ((i = 0; i < ${#one[@]}; i++)); do
    stranger+=("${one[i]}")
    [[ ${one[i]} == --seed ]] && stranger+=("$((one[i + 1] + 1))") && ((i += 1))
done
"${stranger[@]}" --shard "2/${#tables[@]}" -o "other/$second" || scaleout_fail "could not make a part of another run"
scaleout_refused "the sweep tables with $second of another seed" refused.tsv \
    vantrix-sweep --merge "${tables[0]}" "other/$second" "${tables[@]:2}" -o refused.tsv

scaleout_say "PASS"
