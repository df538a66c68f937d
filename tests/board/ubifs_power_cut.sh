#!/bin/bash
# Power cuts on raw NAND flash: the board's /etc is UBIFS on a UBI volume
# of a simulated 128 MiB NAND chip (nandsim). UBIFS's own power-cut
# emulation cuts the power at a random write, erase or unmap of the flash:
# from then on nothing reaches the chip and the file system turns
# read-only. With the sample program registered, the tool registers and
# deregisters a second one in a loop until a cut; then /etc is unmounted
# and mounted again (UBIFS recovers from the cut) and must hold an inittab
# that is byte for byte one of the loop's two states (each with a count
# line that agrees with its entries); init runs what it lists after a
# reload, and the next registration succeeds.
# Then the same cuts hit a careless copy back, the shell script of bench/
# with "cat" over the inittab and no fsync, whose losses are counted.
# Beside either loop, as other software on a device would, a program
# rewrites and syncs a file of its own in /etc: the careless script alone
# writes the flash so seldom that a cut would take hours.
# Usage: ubifs_power_cut.sh CUTS CARELESS_CUTS
. "$(dirname "$0")/../device/e2e.sh"
. "$(dirname "$0")/cuts.sh"

cuts=${1:?cuts}
careless_cuts=${2:?careless cuts}
# Once armed, UBIFS first draws a delay: half the time none, otherwise up
# to a minute or up to 10,000 flash operations; after it, each operation
# cuts by a chance that depends on what it writes (1 in 20 for the master
# node, 1 in 10,000 for journal data outside a commit).  A delay longer than
# these limits is drawn again (mounting /etc afresh resets it), so that a
# cut comes within a minute or so rather than several; where it lands is
# left to UBIFS's chances.
LONGEST_DELAY_MS=10000
LONGEST_DELAY_CALLS=1000
CUT_PATIENCE=${CUT_PATIENCE:-900}
started=$SECONDS

export BOARD_ETC=ubifs
e2e_begin ubifs_power_cut
careless=/usr/libexec/inittab-edit-cat.sh
# shellcheck disable=SC2016 # the script's own words
cuts_script "$careless" 'cat "$work" >"$inittab"'
cuts_states
e2e_boot

e2e_case "/etc is UBIFS on a UBI volume of simulated NAND flash"
# shellcheck disable=SC2016 # expanded on the board
geometry=$(device_sh 'cd /sys/class/mtd/mtd0 && echo "$(cat type) $(cat size) $(cat writesize) $(cat erasesize)"')
[ "$geometry" = "nand 134217728 2048 131072" ] ||
    e2e_fail "the flash is not a 128 MiB NAND chip of 2 KiB pages and 128 KiB blocks: $geometry"
# shellcheck disable=SC2016 # awk's fields
etc_mount=$(device_run /usr/bin/awk '$2 == "/etc" { print $1, $3, substr($4, 1, 2) }' /proc/mounts)
[ "$etc_mount" = "ubi0:etc ubifs rw" ] || e2e_fail "/etc is mounted as: $etc_mount"
device_run /bin/mount -t debugfs none /sys/kernel/debug || e2e_fail "cannot mount debugfs"
device_run /usr/bin/test -w /sys/kernel/debug/ubifs/ubi0_0/tst_recovery ||
    e2e_fail "this kernel's UBIFS has no power-cut emulation (tst_recovery)"

# Arms the emulation: the next mount of /etc starts without it.  The
# kernel's log is emptied, so that what it says of this cut stands alone.
arm_cut() {
    device_sh 'dmesg -c >/dev/null; echo 1 >/sys/kernel/debug/ubifs/ubi0_0/tst_recovery' ||
        e2e_fail "cannot arm the power-cut emulation"
}

# Registers and deregisters with EDIT (the tool, or sh and a script) in
# the background until stopped, and beside it the program that rewrites
# and syncs /etc/noise.
start_loop() {
    cuts_loop "$1"
    # shellcheck disable=SC2016 # expanded on the board
    device_spawn /bin/sh -c 'echo $$ >/tmp/noise.pid; while :; do date >/etc/noise; sync /etc/noise; done'
}

is_read_only() {
    device_run /bin/grep -q '^ubi0:etc /etc ubifs ro[, ]' /proc/mounts
}

# Waits for the cut; CUT_SECONDS is how long it took.
wait_for_cut() {
    local from=$SECONDS
    until is_read_only; do
        if [ $((SECONDS - from)) -ge "$CUT_PATIENCE" ]; then
            e2e_fail "no power cut within $CUT_PATIENCE s"
            return 1
        fi
        sleep 1
    done
    CUT_SECONDS=$((SECONDS - from))
}

# Ends the loop and the noise; a run under way ends by itself, on a file
# system that refuses writes.
stop_loop() {
    # shellcheck disable=SC2016 # expanded on the board
    device_sh 'for file in /tmp/loop.pid /tmp/noise.pid /tmp/sync.pid; do
            [ ! -f "$file" ] || kill "$(cat "$file")"
            rm -f "$file"
        done
        sleep 1'
}

# What the kernel logged of the cut, in WHERE; a file system that turned
# read-only for another reason fails the test.
where_cut() {
    WHERE=$(device_run /bin/dmesg | sed -n 's/.*power_cut_emulated \[ubifs\]: //p' | grep -v '=====' | tr '\n' ';')
    case $WHERE in
        *"failing in "*) ;;
        *) e2e_fail "/etc turned read-only, but not by an emulated power cut:"
            device_run /bin/dmesg | tail -n 15 | sed 's/^/    /' ;;
    esac
}

# Unmounts /etc and mounts it again: UBIFS recovers from a cut.  crond
# works in /etc/crontabs, and init starts it again within a second, so it
# is stopped right before each try.
remount_etc() {
    # shellcheck disable=SC2016 # expanded on the board
    if ! device_sh 'tries=0
        until { kill $(pidof crond) 2>/dev/null; umount /etc 2>/dev/null; }; do
            tries=$((tries + 1))
            [ "$tries" -lt 50 ] || { echo "/etc stays busy" >&2; exit 1; }
            sleep 0.1
        done
        mount -t ubifs ubi0:etc /etc' || is_read_only; then
        e2e_fail "cannot mount /etc again after the cut; the kernel says:"
        device_run /bin/dmesg | tail -n 15 | sed 's/^/    /'
        return 1
    fi
}

# Which state /etc/inittab is in, in STATE: a, b, empty or other.
inittab_state() {
    device_get /etc/inittab >"$E2E_OUT/cut.inittab"
    STATE=$(state_of "$E2E_OUT/cut.inittab")
}

# The delay UBIFS drew when the loop first wrote is longer than the limits.
long_delay() {
    device_run /bin/dmesg |
        sed -n 's/.*power_cut_emulated \[ubifs\]: failing after \([0-9]*\)\(ms\| calls\)$/\1 \2/p' |
        awk -v ms="$LONGEST_DELAY_MS" -v calls="$LONGEST_DELAY_CALLS" \
            '{ long = $2 == "ms" ? $1 > ms : $1 > calls } END { exit !long }'
}

# A loop stopped between its register and its deregister left state b:
# EDIT deregisters, so that the next loop starts from state a.
back_to_a() {
    inittab_state
    # shellcheck disable=SC2086 # EDIT is a command line
    [ "$STATE" != b ] || device_run $1 deregister "$cycle" >/dev/null
    inittab_state
    [ "$STATE" = a ] && return 0
    e2e_fail "the inittab is not back in state a after the loop stopped: $STATE"
    return 1
}

# One cut during the loop of EDIT: arm, loop until the cut, stop, mount
# again.  STATE is what the inittab holds.
cut_once() {
    local redrawn=0
    while :; do
        arm_cut
        start_loop "$1"
        # By then the program beside the loop has written the flash.
        sleep 1
        long_delay || break
        stop_loop
        remount_etc || return 1
        back_to_a "$1" || return 1
        redrawn=$((redrawn + 1))
    done
    wait_for_cut || { stop_loop; return 1; }
    seconds+=("$CUT_SECONDS")
    stop_loop
    cuts_loop_runs late
    where_cut
    remount_etc || return 1
    inittab_state
    echo "   cut after $CUT_SECONDS s, $EDITS edits," \
        "delay drawn again $redrawn times: $WHERE inittab $STATE"
}

# After a cut that left STATE: init reads the inittab and runs what it
# lists, and the tool's next runs succeed.  Leaves state a.
after_cut() {
    local state=$1
    device_run /bin/kill -HUP 1
    wait_running_under_init "${sample_words[@]}" >/dev/null
    if [ "$state" = b ]; then
        wait_running_under_init "${cycle_words[@]}" >/dev/null
    elif ! device_wait "$E2E_PATIENCE" process_count_is 0 "${cycle_words[@]}"; then
        e2e_fail "init still runs '$cycle', which the inittab no longer lists"
    fi
    cuts_next_runs "$state"
}

seconds=()
cuts_sample
cuts_of_the_tool "$cuts" cut_once

e2e_case "$careless_cuts cuts during the loop of the script with cat over the inittab"
[ "$careless_cuts" = 0 ] || cuts_script_states "$careless"
for ((i = 1; i <= careless_cuts; i++)); do
    cut_once "/bin/sh $careless" || break
    cuts_count careless "$STATE"
    case $STATE in
        a) ;;
        *)
            # Back to state a, for the next cut to start from.
            device_put /etc/inittab <"$state_a"
            device_run /bin/sync
            device_run /bin/kill -HUP 1
            ;;
    esac
done

cuts_summary tool careless
lost=$(cuts_lost careless)
echo "the careless copy back lost or mangled the inittab in $lost of $careless_cuts cuts"
# Every cut caught it when this was written; two that never do mean the
# cuts no longer reach what a copy back without fsync loses, and prove
# nothing for the tool.
[ "$careless_cuts" -lt 2 ] || [ "$lost" -gt 0 ] ||
    e2e_fail "no cut caught the careless copy back: the cuts prove nothing"
[ ${#seconds[@]} -eq 0 ] ||
    echo "seconds to each cut: ${seconds[*]}; $((SECONDS - started)) s in all"
e2e_finish
