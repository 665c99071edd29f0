# SPDX-License-Identifier: MIT
# Shared by the system tests, the demo and the benchmarks: runs the real orvex binary, with the system's
# libpci, against a simulated bus that orvex-sysfs serves as /sys/bus/pci inside a private mount
# namespace. Needs bash, root, /dev/fuse and unshare(1).
#
# Expects ORVEX, ORVEX_SIM and ORVEX_SYSFS (paths of the three programs) in the environment.
# ORVEX_EMULATOR, when set, is the command (its words split at blanks) that runs ORVEX: qemu-user
# for a cross-built orvex. ORVEX_SIM and ORVEX_SYSFS always run as they are.
# shellcheck shell=bash

# Why this machine cannot run the tool in a namespace of its own, or nothing when it can.
sysfs_unusable_reason() {
    if [ "$(id -u)" != 0 ]; then
        echo "needs root (mounts over /sys/bus/pci in a private mount namespace)"
    elif [ ! -c /dev/fuse ]; then
        echo "no /dev/fuse"
    elif ! (exec 3<>/dev/fuse) 2>/dev/null; then
        echo "/dev/fuse cannot be opened"
    elif ! command -v unshare >/dev/null || ! unshare -m --propagation private true 2>/dev/null; then
        echo "cannot make a private mount namespace (unshare -m)"
    elif ! unshare -m --propagation private mount -t tmpfs none /sys/bus/pci 2>/dev/null; then
        echo "cannot mount over /sys/bus/pci"
    fi
}

# Runs "$ORVEX" with the given arguments in folder $1, with the bus of state file $2, in a private
# mount namespace with a /run of its own, and leaves its standard output, standard error and
# exit status in $1/out, $1/err and $1/rc; whatever the bus server said in the meantime is in
# $1/sysfs.log, and what reached its dump targets (/sys/bus/pci/dump-targets/*, see orvex-sysfs)
# in $1/targets.log. Options before the folder:
#   --as-nobody      run the tool as uid/gid 65534 without supplementary groups
#   --no-pci-tree    an empty /sys/bus/pci and /proc/bus/pci instead of the simulated bus
#   --no-pci-at-all  neither /sys/bus/pci nor /proc/bus/pci, and no raw I/O port access
#   --tee            also copy the tool's standard output and error to ours
#   --shell SCRIPT   instead of one run, run the bash SCRIPT in $1 (its status goes to $1/rc): in
#                    it, `orvex ARGS` runs the tool and `wait_accesses N` waits until the bus has
#                    seen N configuration accesses, so that several runs can meet on one bus
# Returns non-zero (and says why) only when the namespace or the mount could not be set up.
run_orvex() {
    local as=root pci=sysfs tee=0 script=
    while :; do
        case $1 in
            --shell) script=$2; shift ;;
            --as-nobody) as=nobody ;;
            --no-pci-tree) pci=empty ;;
            --no-pci-at-all) pci=none ;;
            --tee) tee=1 ;;
            *) break ;;
        esac
        shift
    done
    local dir=$1 state=$2
    shift 2
    rm -f "$dir/out" "$dir/err" "$dir/rc" "$dir/targets.log"
    # The tool and the bus server answer each other once per configuration access. On one CPU that
    # is a plain switch from one to the other; across two it is a wake-up of the other CPU, which
    # some virtual machines make five times dearer. Keep both on the CPU this run starts on.
    local stat pin=()
    read -ra stat <"/proc/$BASHPID/stat"
    command -v taskset >/dev/null && pin=(taskset -c "${stat[38]}")
    "${pin[@]}" unshare -m --propagation private bash -c "$(declare -f _in_namespace)"'; _in_namespace "$@"' \
        _ "$dir" "$state" "$as" "$pci" "$tee" "$script" "$@"
}

# The part of run_orvex that runs inside the namespace.
_in_namespace() {
    local dir=$1 state=$2 as=$3 pci=$4 tee=$5 script=$6
    shift 6
    local pid_file="$dir/sysfs.pid" wrap=() emulator=()
    [ -z "${ORVEX_EMULATOR:-}" ] || read -r -a emulator <<<"$ORVEX_EMULATOR"
    # A /run of its own, for the lock files: runs in other namespaces (other tests on the same
    # simulated address, the machine's own runs) neither wait for these nor keep them waiting.
    mount -t tmpfs -o mode=0755 none /run || return 90
    case $pci in
        sysfs)
            rm -f "$pid_file"
            if ! "$ORVEX_SYSFS" --pid-file "$pid_file" --log "$dir/sysfs.log" \
                --target-log "$dir/targets.log" "$state" /sys/bus/pci
            then
                echo "run_orvex: orvex-sysfs could not mount the simulated bus" >&2
                return 90
            fi
            ;;
        empty)
            mount -t tmpfs -o mode=0755 none /sys/bus/pci || return 90
            if [ -d /proc/bus/pci ]; then mount -t tmpfs -o mode=0755 none /proc/bus/pci || return 90; fi
            ;;
        none)
            mount -t tmpfs -o mode=0755 none /sys/bus || return 90
            if [ -d /proc/bus ]; then mount -t tmpfs -o mode=0755 none /proc/bus || return 90; fi
            # Whether raw port access would work differs from machine to machine: take it away.
            wrap=(setpriv --bounding-set=-sys_rawio --inh-caps=-sys_rawio)
            ;;
    esac
    [ "$as" = nobody ] && wrap=(setpriv --reuid=65534 --regid=65534 --clear-groups)

    local rc
    if [ -n "$script" ]; then
        # Both are for the script: it calls them, through the eval below.
        # shellcheck disable=SC2317
        orvex() { "${wrap[@]}" "${emulator[@]}" "$ORVEX" "$@"; }
        # shellcheck disable=SC2317
        wait_accesses() {
            until [ "$("$ORVEX_SIM" info "$state" | sed -n 's/^accesses \([0-9]*\).*/\1/p')" -ge "$1" ]
            do sleep 0.01; done
        }
        (cd "$dir" && eval "$script")
        rc=$?
    elif [ "$tee" = 1 ]; then
        (cd "$dir" && "${wrap[@]}" "${emulator[@]}" "$ORVEX" "$@" \
            > >(tee "$dir/out") 2> >(tee "$dir/err" >&2))
        rc=$?
        wait
    else
        (cd "$dir" && "${wrap[@]}" "${emulator[@]}" "$ORVEX" "$@" >"$dir/out" 2>"$dir/err")
        rc=$?
    fi
    echo "$rc" >"$dir/rc"

    if [ "$pci" = sysfs ]; then
        local pid
        pid=$(cat "$pid_file")
        umount /sys/bus/pci || return 91
        # The server ends once its mount is gone; an orphan may stay a zombie for a while.
        local state_char
        for _ in $(seq 200); do
            [ -e "/proc/$pid" ] || break
            state_char=$(sed 's/^.*) \(.\).*$/\1/' "/proc/$pid/stat" 2>/dev/null)
            [ "$state_char" = Z ] && break
            sleep 0.025
        done
    fi
    return 0
}
