# shellcheck shell=bash
# What every target of the end-to-end tests offers, whichever machine it
# is: the sandboxed device (device.sh: namespaces on this kernel) or the
# emulated ARM board (tests/board/board.sh: its own kernel, init and disk).
# A back end defines, and tests use nothing else of it:
#
#   device_build DIR INITTAB   assemble the device's files in DIR, which
#                              becomes DEVICE_ROOT; INITTAB must run
#                              /etc/init.d/rcS at sysinit; a test may add
#                              files under $DEVICE_ROOT until device_start
#   device_start               boot it, and arm the tear-down for EXIT
#   device_run CMD [ARG...]    run CMD on the device (in /; give it no
#                              input), with its output and exit status
#   device_spawn CMD [ARG...]  start CMD on the device in the background,
#                              output discarded, and return at once
#   device_get PATH            the content of the device's file PATH
#   device_put PATH            standard input into the device's file PATH
#   device_stop                end the device, check nothing is left
#   DEVICE_APP                 the command line of app_kelvane there
#   DEVICE_KIND                namespace or board
#
# Inputs (environment): KELVANE_TOOL (the tool binary), KELVANE_ARCH (host
# or armhf), DEVICE_HEARTBEAT (the static sample program, built for the
# device's processor). Every device has /usr/bin/flock, as util-linux's
# flock(1) works with a file and a command.
#
# This file holds what the back ends share; source a back end, not this.

TARGET_SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# Exit status that CTest reports as "skipped".
DEVICE_SKIP=77

device_log() { printf '%s\n' "device: $*" >&2; }

device_die() {
    device_log "$*"
    exit 1
}

# Waits up to SECONDS for CMD to succeed, trying every DEVICE_POLL seconds.
DEVICE_POLL=${DEVICE_POLL:-0.1}
device_wait() {
    local seconds=$1 deadline
    shift
    deadline=$((SECONDS + seconds))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep "$DEVICE_POLL"
    done
}

# Each word single-quoted for sh, so that the device's shell passes it on
# as it is.
target_quote() {
    local word
    for word; do
        printf " '%s'" "${word//\'/\'\\\'\'}"
    done
}

# device_run_as USER CMD [ARG...]: CMD run on the device as USER, through
# BusyBox su (whose own options would take the command's for theirs).
device_run_as() {
    local user=$1
    shift
    device_run /bin/su -s /bin/sh "$user" -c "exec$(target_quote "$@")"
}

# device_sh SCRIPT [ARG...]: a shell script run on the device.
device_sh() {
    local script=$1
    shift
    device_run /bin/sh -c "$script" sh "$@"
}

# Lines of the sample program's log, /var/log/NAME.log on the device.
heartbeat_log() {
    device_get "/var/log/$1.log" 2>/dev/null
}

start_count() {
    heartbeat_log "$1" | awk '$2 == "start"' | wc -l
}

start_count_above() {
    [ "$(start_count "$1")" -gt "$2" ]
}

# The test programs every device carries, from the host build tree.
target_require_programs() {
    [ -x "${KELVANE_TOOL:-}" ] || device_die "KELVANE_TOOL is not an executable: ${KELVANE_TOOL:-unset}"
    [ -x "${DEVICE_HEARTBEAT:-}" ] || device_die "DEVICE_HEARTBEAT is not an executable: ${DEVICE_HEARTBEAT:-unset}"
}

# The root directory is wiped first: never let that be / or a relative
# surprise.
target_fresh_root() {
    case $1 in
        /*/*) ;;
        *) device_die "the root must be an absolute path two levels deep: $1" ;;
    esac
    rm -rf "$1"
    mkdir -p "$1"
}

# The device's own files: the rest of its root (rcS, passwd, ...), the
# inittab, the sample program and the tool.
target_install_files() {
    local root=$1 inittab=$2
    [ -f "$inittab" ] || device_die "no inittab: $inittab"
    mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,proc,tmp,dev,root,var/log,var/run}
    cp -R "$TARGET_SRC/rootfs/." "$root/"
    chmod 0755 "$root/etc/init.d/rcS"
    cp "$inittab" "$root/etc/inittab"
    chmod 0644 "$root/etc/inittab"
    cp "$DEVICE_HEARTBEAT" "$root/usr/bin/heartbeat"
    cp "$KELVANE_TOOL" "$root/usr/bin/app_kelvane"
}

# Arms the tear-down: device_stop runs when the shell that started the
# device exits, is interrupted or is terminated.
TARGET_OWNER=
target_arm_teardown() {
    TARGET_OWNER=$BASHPID
    trap 'device_on_exit' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

device_on_exit() {
    local status=$?
    trap - EXIT
    # bash runs the trap in a child too, when "cmd &" fails before its
    # exec (an unset variable); the device is not the child's to stop.
    [ "$BASHPID" = "$TARGET_OWNER" ] || exit "$status"
    device_stop || { [ "$status" != 0 ] || status=1; }
    exit "$status"
}
