# SPDX-License-Identifier: MIT
# run_orvex for the system tests in a virtual machine (scripts/test-vm): the same interface as
# sim/sysfs/run-orvex.sh's, but the tool is the package's /usr/bin/orvex in the guest, on the bus
# the guest's kernel enumerated, with the controller served by orvex-vfio-user from one state
# file for the whole boot. The job goes to the guest's agent (tests/vm/guest-agent) over the
# control port; the folder is the host's work folder, shared with the guest at the same path.
#
# Environment (set by scripts/test-vm): ORVEX_VM_CTL, the control port's two FIFOs without their
# .in and .out; ORVEX_VM_STATE, the state file the server serves; ORVEX_VM_LOG, the server's log;
# ORVEX_VM_QEMU, the process id of the virtual machine; ORVEX_SIM.
# shellcheck shell=bash

# Why the virtual machine cannot take jobs, or nothing when it can.
vm_unusable_reason() {
    if [ ! -p "${ORVEX_VM_CTL:-}.in" ] || [ ! -p "${ORVEX_VM_CTL:-}.out" ]; then
        echo "no control port (ORVEX_VM_CTL)"
    elif ! kill -0 "${ORVEX_VM_QEMU:-0}" 2>/dev/null; then
        echo "the virtual machine is not running"
    fi
}

# How long a job may take before the test gives up on the guest: far above the longest case
# under emulation (a 20-second flash timeout; a write of 100,000 bytes and its verify).
VM_JOB_SECONDS=${VM_JOB_SECONDS:-900}

# Runs the job in folder $1 (on the work share) on the served controller ($2 is the state file,
# which must be the served one), as sim/sysfs/run-orvex.sh's run_orvex does; --shell scripts run
# in the guest's bash, where orvex and wait_accesses work as there. --tee is taken and ignored;
# --no-pci-tree and --no-pci-at-all are for the emulated sysfs alone. What the server logged
# meanwhile goes to $1/sysfs.log.
run_orvex() {
    local as=root script=''
    while :; do
        case $1 in
            --shell) script=$2; shift ;;
            --as-nobody) as=nobody ;;
            --tee) ;;
            --no-pci-tree | --no-pci-at-all) echo "run_orvex: $1 needs the emulated sysfs" >&2; return 1 ;;
            *) break ;;
        esac
        shift
    done
    local dir=$1
    shift 2
    local args=("$@") to from line log_before
    rm -f "$dir/out" "$dir/err" "$dir/rc"
    declare -p as script args >"$dir/.vm-run"
    log_before=$(stat -c %s "$ORVEX_VM_LOG" 2>/dev/null || echo 0)
    exec {to}>"$ORVEX_VM_CTL.in" {from}<"$ORVEX_VM_CTL.out"
    echo "run $dir" >&"$to"
    local start=$SECONDS status=1
    while [ $((SECONDS - start)) -lt "$VM_JOB_SECONDS" ]; do
        if ! read -r -t 5 line <&"$from"; then
            kill -0 "$ORVEX_VM_QEMU" 2>/dev/null || { echo "run_orvex: the virtual machine ended" >&2; break; }
            continue
        fi
        case $line in
            "done $dir") status=0; break ;;
            "wait "*)
                until [ "$("$ORVEX_SIM" info "$ORVEX_VM_STATE" |
                    sed -n 's/^accesses \([0-9]*\).*/\1/p')" -ge "${line#wait }" ]; do sleep 0.01; done
                echo ok >&"$to"
                ;;
            *) echo "run_orvex: the guest said: $line" >&2 ;;
        esac
    done
    exec {to}>&- {from}<&-
    [ "$status" = 0 ] || { echo "run_orvex: no answer from the guest in $VM_JOB_SECONDS s" >&2; return 1; }
    tail -c +$((log_before + 1)) "$ORVEX_VM_LOG" >"$dir/sysfs.log" 2>/dev/null
    [ -e "$dir/rc" ] || { echo "run_orvex: the guest left no exit status" >&2; return 1; }
    return 0
}
