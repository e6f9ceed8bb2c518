#!/usr/bin/env bash
# The README's first command starts the desktop program: its block runs as
# written (against this build folder), and what it leaves running must be
# the desktop program of this build, still up with its window a few seconds
# later. Fails when the README names another command, when the command ends
# (a build that fails, a program that is not where it starts it), or when it
# starts something else.
#   tst_devrun.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
expected="$build/src/desktop/vantrix"

# The command shown after the README's "start it" line.
command=$(awk '/and start it:$/ { found = 1; next } found && /^    / { sub(/^    /, ""); print; exit }' "$top/README.md")
if [[ $command != "scripts/dev run" ]]; then
    echo "tst_devrun: the README's first command is '$command', not 'scripts/dev run'"
    exit 1
fi

work=$(mktemp -d)
log="$work/dev.log"
pid=""
cleanup() {
    if [[ -n $pid ]]; then kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

# In a folder of its own, as a user starting the program would stand.
cd "$work"
QT_QPA_PLATFORM=offscreen VANTRIX_BUILD_DIR="$build" bash -c "cd '$top' && exec $command" >"$log" 2>&1 &
pid=$!
# Until the script has handed over to the program (exec keeps the process).
for ((waited = 0; waited < 1200; ++waited)); do
    if ! kill -0 "$pid" 2>/dev/null; then
        echo "tst_devrun: '$command' ended instead of starting the program:"
        cat "$log"
        exit 1
    fi
    exe=$(readlink "/proc/$pid/exe" || true)
    [[ $exe == "$expected" ]] && break
    sleep 0.5
done
if [[ $exe != "$expected" ]]; then
    echo "tst_devrun: after 10 minutes '$command' runs $exe, not $expected"
    cat "$log"
    exit 1
fi
sleep 3
if ! kill -0 "$pid" 2>/dev/null; then
    echo "tst_devrun: the program ended at once:"
    cat "$log"
    exit 1
fi
echo "tst_devrun: '$command' started $expected, still running after 3 s"
