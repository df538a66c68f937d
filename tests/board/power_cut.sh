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

cuts=${1:?cuts}
script_cuts=${2:?script cuts}
sample="/usr/bin/heartbeat -i sample"
cycle="/usr/bin/heartbeat -i cycle"
probe="/usr/bin/heartbeat -i probe"

e2e_begin power_cut
mkdir -p "$DEVICE_ROOT/usr/libexec"
script=$(dirname "$0")/../../bench/inittab-edit.sh
cp "$script" "$DEVICE_ROOT/usr/libexec/inittab-edit.sh"
# What a user might write instead of the script's rename: cp over the
# inittab itself, truncating it first.
sed 's|^\tcp "$work" "$inittab.new" && mv "$inittab.new" "$inittab"$|\tcp "$work" "$inittab"|' \
    "$script" >"$DEVICE_ROOT/usr/libexec/inittab-edit-in-place.sh"
cmp -s "$script" "$DEVICE_ROOT/usr/libexec/inittab-edit-in-place.sh" &&
    device_die "the script's copy back is not where this test expects it"
lines=$(wc -l <"$E2E_FIXTURES/inittab.typical")
state_a=$E2E_OUT/state.a
state_b=$E2E_OUT/state.b
{ cat "$E2E_FIXTURES/inittab.typical"; echo "# Orig:$lines New:1"; echo "::respawn:$sample"; } >"$state_a"
{ sed '$d' "$state_a" | sed "\$s/New:1\$/New:2/"; echo "::respawn:$sample"; echo "::respawn:$cycle"; } >"$state_b"
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

state_of() {
    if cmp -s "$1" "$state_a"; then echo a
    elif cmp -s "$1" "$state_b"; then echo b
    elif [ ! -s "$1" ]; then echo empty
    else echo other
    fi
}

# Register and deregister, over and over, in the background until the
# power goes: EDIT is the tool or the shell script. Each run that ends
# leaves a line in /tmp/loop.runs (tmpfs): its command, status and output.
start_loop() {
    # shellcheck disable=SC2016 # expanded on the board
    device_spawn /bin/sh -c 'rm -f /tmp/loop.runs; while :; do
            for command in register deregister; do
                out=$($1 $command "$2" 2>&1)
                echo "$command $? $out" >>/tmp/loop.runs
            done
        done' sh "$1" "$cycle"
}

loop_ran() {
    [ -n "$(device_sh '[ ! -f /tmp/loop.runs ] || head -n 1 /tmp/loop.runs')" ]
}

# The loop's runs up to the cut: some edited, none failed or spoke.
expect_loop_progress() {
    local runs=$E2E_OUT/loop.runs edits failed
    edits=$(awk '$1 ~ /^(register|deregister)$/ && $2 == 0 && NF == 2' "$runs" | wc -l)
    failed=$(awk '!($1 ~ /^(register|deregister)$/ && $2 == 0 && NF == 2)' "$runs")
    echo "   $edits runs of the loop ended before the cut"
    [ "$edits" -gt 0 ] || e2e_fail "the loop made no edit before the cut"
    if [ -n "$failed" ]; then
        e2e_fail "runs of the loop failed:"
        sed 's/^/    /' <<<"$failed"
    fi
}

# Cuts the power 0.3 to 3 seconds into the loop, once a run has ended;
# STATE is what the disk was left in.
cut_into_loop() {
    start_loop "$1"
    sleep "$(awk -v seed="$RANDOM" 'BEGIN { srand(seed); printf "%.2f", 0.3 + 2.7 * rand() }')"
    device_wait "$E2E_PATIENCE" loop_ran || e2e_fail "no run of the loop ended in $E2E_PATIENCE s"
    device_run /bin/cat /tmp/loop.runs >"$E2E_OUT/loop.runs" ||
        e2e_fail "cannot read the loop's runs"
    board_cut
    expect_loop_progress
    inittab_on_disk
}

# After a cut that left STATE: the board boots from its disk, init runs
# what the inittab lists, and the tool's next runs succeed. Leaves state a.
after_cut() {
    local state=$1
    board_boot
    echo "   booted again from the cut disk, ready in $BOARD_BOOT_SECONDS s"
    expect_inittab "$E2E_OUT/state.$state"
    wait_running_under_init "${sample_words[@]}" >/dev/null
    [ "$state" = a ] || wait_running_under_init "${cycle_words[@]}" >/dev/null
    run_app register "$probe"
    expect_rc 0
    expect_out </dev/null
    run_app deregister "$probe"
    expect_rc 0
    [ "$state" = a ] || run_app deregister "$cycle"
    expect_out </dev/null
    expect_inittab "$state_a"
    expect_tmp_after_lock
}

declare -A hits=()
read -ra sample_words <<<"$sample"
read -ra cycle_words <<<"$cycle"

e2e_case "the sample program registered and running"
run_app register "$sample"
expect_rc 0
expect_out </dev/null
expect_inittab "$state_a"
wait_running_under_init "${sample_words[@]}" >/dev/null

for ((i = 1; i <= cuts; i++)); do
    e2e_case "power cut $i of $cuts during the tool's loop"
    cut_into_loop "${DEVICE_APP[*]}"
    state=$STATE
    hits[tool:$state]=$((${hits[tool:$state]:-0} + 1))
    case $state in
        a | b) after_cut "$state" ;;
        *)
            e2e_fail "the cut left an inittab that the loop never wrote ($state):"
            diff -u "$state_a" "$E2E_OUT/cut.inittab" | sed 's/^/    /'
            break
            ;;
    esac
done

# The same cuts during a shell script's loop, from the state the tool left;
# HITS counts what they left under the script's NAME.
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
        if [ "$i" = 1 ]; then
            # The script passes through the tool's two states, or its cuts
            # would prove nothing.
            device_run /bin/sh "$script" register "$cycle"
            expect_inittab "$state_b"
            device_run /bin/sh "$script" deregister "$cycle"
            expect_inittab "$state_a"
        fi
        cut_into_loop "/bin/sh $script"
        hits[$name:$STATE]=$((${hits[$name:$STATE]:-0} + 1))
    done
}

board_cut
cp --sparse=always "$BOARD_DISK" "$E2E_OUT/pristine.img"
script_cuts script /usr/libexec/inittab-edit.sh
script_cuts in-place /usr/libexec/inittab-edit-in-place.sh
rm -f "$E2E_OUT/pristine.img"

lost() {
    echo $((${hits[$1:empty]:-0} + ${hits[$1:other]:-0}))
}

e2e_case "summary"
for who in tool script in-place; do
    seen=()
    for s in a b empty other; do
        [ "${hits[$who:$s]:-0}" = 0 ] || seen+=("$s")
    done
    echo "$who: $(for s in a b empty other; do printf '%s %s, ' "$s" "${hits[$who:$s]:-0}"; done)"
    [ "${#seen[@]}" != 1 ] || echo "$who: every cut found the same state, ${seen[0]}"
done
for who in script in-place; do
    echo "$who lost or mangled the inittab in $(lost "$who") of $script_cuts cuts"
    # Most cuts catch a copy back without fsync once ext4 no longer
    # flushes on replace; none means the cuts prove nothing for the tool.
    [ "$(lost "$who")" -gt 0 ] || e2e_fail "no cut caught $who: the cuts prove nothing"
done
e2e_finish
