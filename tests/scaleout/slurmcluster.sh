# slurmcluster.sh: a private single-node Slurm cluster for the scale-out
# tests, sourced by them. Nothing outside one temporary folder is touched: no
# /etc, no system services, no systemd, no cgroups.
#
#   slurmcluster_missing   prints the programs that are not installed (one
#                          line); status 0 when all are there
#   slurmcluster_start     creates the folder, starts munged, slurmctld and
#                          slurmd on free ports, waits (bounded) until the node
#                          is idle, exports SLURM_CONF and SLURMCLUSTER_DIR, and
#                          installs an EXIT trap that calls slurmcluster_stop.
#                          Returns non-zero, after printing the daemons' logs,
#                          when the cluster does not come up.
#   slurmcluster_stop      cancels the cluster's jobs, stops the daemons by the
#                          pids in their pid files (TERM, then KILL after a
#                          bounded wait), stops any process still running in or
#                          on the folder, removes the folder, and checks that
#                          nothing of the cluster is left running; status 1 when
#                          something had been left or could not be stopped.
#
# Tests keep their own files under $SLURMCLUSTER_DIR/work, so that they go with
# the cluster and jobs running there are found by the check.
#
# The EXIT trap covers a normal end, a failed command under `set -e` and
# TERM/INT/HUP. CTest ends a test that exceeds its TIMEOUT with SIGKILL, which
# no trap sees, so a guardian process in its own session also waits for the
# test's shell to end and then stops the cluster that the test left behind.

# Seconds each bounded wait may take.
: "${SLURMCLUSTER_START_TIMEOUT:=90}"
: "${SLURMCLUSTER_STOP_TIMEOUT:=15}"

slurmcluster__here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

slurmcluster__log() {
    echo "slurmcluster: $*" >&2
}

slurmcluster_missing() {
    local missing=() p
    for p in munged munge slurmctld slurmd sbatch squeue sinfo scontrol scancel python3 setsid; do
        command -v "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    ((${#missing[@]} == 0)) && return 0
    echo "${missing[*]}"
    return 1
}

# True while process $1 exists and is not a zombie.
slurmcluster__alive() {
    local stat
    [[ -r /proc/$1/stat ]] || return 1
    stat=$(<"/proc/$1/stat") 2>/dev/null || return 1
    stat=${stat##*) }
    [[ ${stat%% *} != Z ]]
}

# Waits up to $2 seconds for process $1 to end.
slurmcluster__wait_gone() {
    local pid=$1 deadline=$((SECONDS + $2))
    while slurmcluster__alive "$pid"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

# True when process $1 belongs to the cluster in folder $2: the folder is in
# its command line (the daemons are started with paths in it) or is, or
# contains, its working directory (job steps and the jobs' commands).
slurmcluster__ours() {
    local pid=$1 dir=$2 cmdline cwd
    cmdline=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null) || return 1
    [[ " $cmdline " == *" $dir/"* || " $cmdline " == *"=$dir/"* || " $cmdline " == *" $dir "* ]] && return 0
    cwd=$(readlink "/proc/$pid/cwd" 2>/dev/null) || return 1
    [[ $cwd == "$dir" || $cwd == "$dir/"* ]]
}

# Prints the pids of the processes that belong to the cluster in folder $1,
# except this shell and the guardian.
slurmcluster__leftovers() {
    local dir=$1 guardian=${2:-} p pid
    for p in /proc/[0-9]*; do
        pid=${p#/proc/}
        [[ $pid == "$$" || $pid == "$BASHPID" || $pid == "$guardian" ]] && continue
        slurmcluster__alive "$pid" || continue
        slurmcluster__ours "$pid" "$dir" && echo "$pid"
    done
}

# Stops process $1 (TERM, then KILL), but only when it is one of the cluster's.
slurmcluster__stop_pid() {
    local pid=$1 dir=$2 what=$3
    [[ $pid =~ ^[0-9]+$ ]] || return 0
    slurmcluster__alive "$pid" || return 0
    if ! slurmcluster__ours "$pid" "$dir"; then
        slurmcluster__log "$what: pid $pid is not the cluster's any more; left alone"
        return 0
    fi
    kill -TERM "$pid" 2>/dev/null
    slurmcluster__wait_gone "$pid" "$SLURMCLUSTER_STOP_TIMEOUT" && return 0
    slurmcluster__log "$what (pid $pid) did not end within ${SLURMCLUSTER_STOP_TIMEOUT}s of TERM; killing it"
    kill -KILL "$pid" 2>/dev/null
    slurmcluster__wait_gone "$pid" 5
}

slurmcluster__pidfile() {
    [[ -r $1 ]] && tr -dc '0-9' <"$1"
}

# slurmcluster_stop [DIR]
slurmcluster_stop() {
    local - dir=${1:-${SLURMCLUSTER_DIR:-}} guardian='' self_is_guardian=${SLURMCLUSTER_GUARDIAN:-0}
    set +e
    [[ -n $dir && -d $dir ]] || return 0
    [[ $PWD == "$dir" || $PWD == "$dir/"* ]] && cd /

    guardian=$(slurmcluster__pidfile "$dir/guardian.pid")
    if ((self_is_guardian)); then
        guardian=$BASHPID
    elif [[ -n $guardian ]]; then
        slurmcluster__stop_pid "$guardian" "$dir" guardian
    fi

    # Cancel what still runs, so that job steps end through Slurm.
    local ctl
    ctl=$(slurmcluster__pidfile "$dir/slurmctld.pid")
    if [[ -n $ctl ]] && slurmcluster__alive "$ctl" && [[ -r $dir/slurm.conf ]]; then
        local jobs
        jobs=$(SLURM_CONF=$dir/slurm.conf timeout 10 squeue -h -o %A 2>/dev/null | sort -u)
        if [[ -n $jobs ]]; then
            slurmcluster__log "cancelling jobs still in the queue:" $jobs
            # shellcheck disable=SC2086
            SLURM_CONF=$dir/slurm.conf timeout 10 scancel $jobs 2>/dev/null
            local deadline=$((SECONDS + SLURMCLUSTER_STOP_TIMEOUT))
            while [[ -n $(SLURM_CONF=$dir/slurm.conf timeout 10 squeue -h -o %A 2>/dev/null) ]] &&
                ((SECONDS < deadline)); do
                sleep 0.5
            done
        fi
    fi

    local daemon
    for daemon in slurmd slurmctld munged; do
        slurmcluster__stop_pid "$(slurmcluster__pidfile "$dir/$daemon.pid")" "$dir" "$daemon"
    done

    # Anything still running in or on the folder was left behind.
    local status=0 left pid
    left=$(slurmcluster__leftovers "$dir" "$guardian")
    if [[ -n $left ]]; then
        status=1
        slurmcluster__log "left running after the daemons stopped:"
        for pid in $left; do
            echo "  $pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)" >&2
        done
        for pid in $left; do
            slurmcluster__stop_pid "$pid" "$dir" "leftover process"
        done
        left=$(slurmcluster__leftovers "$dir" "$guardian")
        [[ -z $left ]] || slurmcluster__log "could not stop:" $left
    fi

    rm -rf "$dir"
    if [[ -e $dir ]]; then
        slurmcluster__log "could not remove $dir"
        status=1
    fi
    [[ ${SLURMCLUSTER_DIR:-} == "$dir" ]] && unset SLURMCLUSTER_DIR SLURM_CONF
    ((status == 0)) && slurmcluster__log "stopped; nothing left running, $dir removed"
    return $status
}

slurmcluster__on_exit() {
    local rc=$?
    set +e
    trap - EXIT
    if ! slurmcluster_stop; then
        ((rc != 0)) || rc=1
    fi
    exit "$rc"
}

# Run by the guardian: waits for the test's shell ($2) to end and stops the
# cluster in $1 if the test did not stop it itself.
slurmcluster__guard() {
    local dir=$1 watched=$2
    cd / || return
    echo "$BASHPID" >"$dir/guardian.pid"
    while slurmcluster__alive "$watched" && [[ -d $dir ]]; do
        sleep 1
    done
    [[ -d $dir ]] || return 0
    slurmcluster__log "the test (pid $watched) ended without stopping its cluster; stopping it"
    SLURMCLUSTER_GUARDIAN=1 slurmcluster_stop "$dir"
}

slurmcluster__free_ports() {
    python3 - "$1" <<'EOF'
import socket, sys
socks = []
for _ in range(int(sys.argv[1])):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    socks.append(s)
print(" ".join(str(s.getsockname()[1]) for s in socks))
EOF
}

slurmcluster__show_logs() {
    local f
    for f in "$SLURMCLUSTER_DIR"/*.log "$SLURMCLUSTER_DIR"/*.out; do
        [[ -s $f ]] || continue
        echo "--- $f (last 25 lines)" >&2
        tail -n 25 "$f" >&2
    done
}

slurmcluster__write_conf() {
    local dir=$1 ctlport=$2 dport=$3 host=$4 node=$5 user
    user=$(id -un)
    cat >"$dir/slurm.conf" <<EOF
# A private single-node cluster for the Vantrix scale-out tests.
ClusterName=vantrixtest
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctlport
SlurmdPort=$dport
SlurmUser=$user
SlurmdUser=$user
AuthType=auth/munge
AuthInfo=socket=$dir/munge.socket
CredType=cred/munge
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerType=sched/backfill
# Start the next array task as soon as a task has ended (the default waits
# up to 3 s between them).
SchedulerParameters=batch_sched_delay=0,sched_min_interval=0
ReturnToService=2
KillWait=5
# sbatch --wait polls every 2 s only while that is under half of MinJobAge
# (else its pauses grow to 32 s); ended jobs are kept that long.
MinJobAge=4
MailProg=/bin/true
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
NodeName=$host NodeAddr=127.0.0.1 $node State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
}

# Starts slurmctld and slurmd with the configuration in $1; fails when either
# does not come up (a port taken in the meantime, for one).
slurmcluster__start_slurm() {
    local dir=$1 host=$2 deadline
    slurmctld -f "$dir/slurm.conf" </dev/null >>"$dir/slurmctld.out" 2>&1 || return 1
    deadline=$((SECONDS + SLURMCLUSTER_START_TIMEOUT))
    until timeout 10 scontrol ping 2>/dev/null | grep -q 'is UP'; do
        ((SECONDS < deadline)) || return 1
        grep -qs 'fatal' "$dir/slurmctld.log" "$dir/slurmctld.out" && return 1
        sleep 0.2
    done
    slurmd -f "$dir/slurm.conf" </dev/null >>"$dir/slurmd.out" 2>&1 || return 1
    local state=''
    while :; do
        state=$(timeout 10 sinfo -h -n "$host" -o %T 2>/dev/null)
        [[ $state == idle ]] && return 0
        grep -qs 'fatal' "$dir/slurmd.log" "$dir/slurmd.out" && return 1
        ((SECONDS < deadline)) || break
        sleep 0.2
    done
    slurmcluster__log "the node is '${state:-not listed}' after ${SLURMCLUSTER_START_TIMEOUT}s, not idle"
    return 1
}

slurmcluster_start() {
    local missing
    if ! missing=$(slurmcluster_missing); then
        slurmcluster__log "not installed: $missing"
        return 1
    fi
    SLURMCLUSTER_DIR=$(mktemp -d "${TMPDIR:-/tmp}/vantrix-slurm.XXXXXX") || return 1
    export SLURMCLUSTER_DIR
    local dir=$SLURMCLUSTER_DIR
    trap slurmcluster__on_exit EXIT
    trap 'exit 143' TERM
    trap 'exit 130' INT
    trap 'exit 129' HUP
    setsid bash -c 'source "$1"; slurmcluster__guard "$2" "$3"' guardian \
        "$slurmcluster__here/slurmcluster.sh" "$dir" "$$" </dev/null >"$dir/guardian.out" 2>&1 &

    # munged wants every directory above its socket searchable by all, and
    # refuses a key that others can read.
    chmod 0711 "$dir"
    mkdir -p "$dir/state" "$dir/spool" "$dir/work"
    head -c 1024 /dev/urandom >"$dir/munge.key"
    chmod 0400 "$dir/munge.key"
    if ! munged --key-file="$dir/munge.key" --socket="$dir/munge.socket" --pid-file="$dir/munged.pid" \
            --log-file="$dir/munged.log" --seed-file="$dir/munged.seed" </dev/null >"$dir/munged.out" 2>&1; then
        slurmcluster__log "munged did not start"
        slurmcluster__show_logs
        return 1
    fi
    local deadline=$((SECONDS + SLURMCLUSTER_START_TIMEOUT))
    until munge -S "$dir/munge.socket" -n 2>/dev/null | unmunge -S "$dir/munge.socket" >/dev/null 2>&1; do
        if ((SECONDS >= deadline)); then
            slurmcluster__log "munged does not answer on $dir/munge.socket"
            slurmcluster__show_logs
            return 1
        fi
        sleep 0.2
    done

    # The node as slurmd sees it: CPUs, boards, sockets, cores, threads, memory.
    local host node
    host=$(hostname -s)
    node=$(slurmd -C 2>/dev/null | sed -n '1s/^NodeName=[^ ]* //p')
    if [[ $node != *CPUs=* ]]; then
        slurmcluster__log "slurmd -C did not describe the node: $(slurmd -C 2>&1 | head -3)"
        return 1
    fi
    export SLURM_CONF=$dir/slurm.conf

    # Ports are picked free at start, so that clusters of test runs that
    # overlap do not meet; one taken in between is retried with others.
    local attempt ports
    for attempt in 1 2 3; do
        ports=$(slurmcluster__free_ports 2) || return 1
        # shellcheck disable=SC2086
        slurmcluster__write_conf "$dir" ${ports% *} ${ports#* } "$host" "$node"
        if slurmcluster__start_slurm "$dir" "$host"; then
            SLURMCLUSTER_CPUS=$(sinfo -h -n "$host" -o %c)
            export SLURMCLUSTER_CPUS
            slurmcluster__log "up in $dir: node $host ($node), ports $ports, munged $(slurmcluster__pidfile "$dir/munged.pid"), slurmctld $(slurmcluster__pidfile "$dir/slurmctld.pid"), slurmd $(slurmcluster__pidfile "$dir/slurmd.pid")"
            return 0
        fi
        slurmcluster__log "attempt $attempt: the cluster did not come up on ports $ports"
        slurmcluster__show_logs
        local daemon
        for daemon in slurmd slurmctld; do
            slurmcluster__stop_pid "$(slurmcluster__pidfile "$dir/$daemon.pid")" "$dir" "$daemon"
            rm -f "$dir/$daemon.pid" "$dir/$daemon.log" "$dir/$daemon.out"
        done
        rm -rf "$dir/state" "$dir/spool"
        mkdir -p "$dir/state" "$dir/spool"
    done
    return 1
}
