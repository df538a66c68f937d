#!/bin/bash
# Power cuts on the board: with the sample program registered and running,
# register and deregister a second program in a loop and cut the power at
# a random moment. What the board had not flushed is lost, as on a device.
# After each cut the disk must hold a clean ext4 file system (once its
# journal is replayed) and an /etc/inittab that is byte for byte one of
# the two states the loop passes through (each with a count line that
# agrees with its entries); the board boots from that disk, init runs what
# the inittab lists, and the next registration succeeds.
# Every loop must have made edits, and no run of it failed. Then the same
# cuts hit the shell script a user would write instead (bench/inittab-edit.sh:
# cp to a file beside the inittab and mv, no fsync), and that script with
# a plain cp over the inittab; some of their cuts must lose the inittab,
# or the cuts could not catch a copy back that is not durable.
# Usage: power_cut.sh CUTS SCRIPT_CUTS
. "$(dirname "$0")/../device/e2e.sh"
. "$(dirname "$0")/cuts.sh"

cuts=${1:?cuts}
script_cuts=${2:?script cuts}

e2e_begin power_cut
cuts_script /usr/libexec/inittab-edit.sh
# What a user might write instead of the script's rename: cp over the
# inittab itself, truncating it first.
# shellcheck disable=SC2016 # the script's own words
cuts_script /usr/libexec/inittab-edit-in-place.sh 'cp "$work" "$inittab"'
cuts_states
e2e_boot

# Which state the disk image holds, in STATE: a, b, or what else it is.
inittab_on_disk() {
    local image=$E2E_OUT/cut.img
    cp --sparse=always "$BOARD_DISK" "$image"
    # The kernel replays the journal when it mounts; here e2fsck does.
    e2fsck -E journal_only -p "$image" >/dev/null 2>&1
    if ! e2fsck -fn "$image" >"$E2E_OUT/fsck.log" 2>&1; then
        e2e_fail "the file system is not clean after journal replay:"
        sed 's/^/    /' "$E2E_OUT/fsck.log"
    fi
    debugfs -R "cat /inittab" "$image" 2>/dev/null >"$E2E_OUT/cut.inittab"
    rm -f "$image"
    STATE=$(state_of "$E2E_OUT/cut.inittab")
}

loop_ran() {
    [ -n "$(device_sh '[ ! -f /tmp/loop.runs ] || head -n 1 /tmp/loop.runs')" ]
}

# Cuts the power 0.3 to 3 seconds into the loop of EDIT, once a run has
# ended; the record of the runs is read just before. STATE is what the
# disk was left in.
cut_into_loop() {
    cuts_loop "$1"
    sleep "$(awk -v seed="$RANDOM" 'BEGIN { srand(seed); printf "%.2f", 0.3 + 2.7 * rand() }')"
    device_wait "$E2E_PATIENCE" loop_ran || e2e_fail "no run of the loop ended in $E2E_PATIENCE s"
    cuts_loop_runs
    board_cut
    echo "   $EDITS runs of the loop edited before the cut"
    inittab_on_disk
}

# After a cut that left STATE: the board boots from its disk, init runs
# what the inittab lists, and the tool's next runs succeed.
after_cut() {
    local state=$1
    board_boot
    echo "   booted again from the cut disk, ready in $BOARD_BOOT_SECONDS s"
    expect_inittab "$E2E_OUT/state.$state"
    wait_running_under_init "${sample_words[@]}" >/dev/null
    [ "$state" = a ] || wait_running_under_init "${cycle_words[@]}" >/dev/null
    cuts_next_runs "$state"
    expect_tmp_after_lock
}

cuts_sample
cuts_of_the_tool "$cuts" cut_into_loop

# The same cuts during a shell script's loop, from the state the tool left,
# counted under the script's NAME.
script_cuts() {
    local name=$1 script=$2 i
    e2e_case "$script_cuts cuts during the loop of $name"
    for ((i = 1; i <= script_cuts; i++)); do
        cp --sparse=always "$E2E_OUT/pristine.img" "$BOARD_DISK"
        board_boot
        # Without ext4's flush on replace, as a careless script meets it on
        # other file systems: each run of cuts can then show what it loses.
        device_run /bin/mount -o remount,noauto_da_alloc /etc ||
            e2e_fail "cannot remount /etc with noauto_da_alloc"
        wait_running_under_init "${sample_words[@]}" >/dev/null
        [ "$i" != 1 ] || cuts_script_states "$script"
        cut_into_loop "/bin/sh $script"
        cuts_count "$name" "$STATE"
    done
}

board_cut
cp --sparse=always "$BOARD_DISK" "$E2E_OUT/pristine.img"
script_cuts script /usr/libexec/inittab-edit.sh
script_cuts in-place /usr/libexec/inittab-edit-in-place.sh
rm -f "$E2E_OUT/pristine.img"

cuts_summary tool script in-place
for who in script in-place; do
    echo "$who lost or mangled the inittab in $(cuts_lost "$who") of $script_cuts cuts"
    # Most cuts catch a copy back without fsync once ext4 no longer
    # flushes on replace; none means the cuts prove nothing for the tool.
    [ "$(cuts_lost "$who")" -gt 0 ] || e2e_fail "no cut caught $who: the cuts prove nothing"
done
e2e_finish
