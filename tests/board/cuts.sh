# shellcheck shell=bash
# What the power-cut tests share (power_cut.sh on ext4, ubifs_power_cut.sh
# on NAND flash), sourced after tests/device/e2e.sh: the programs, the two
# states of the inittab that the loop passes through, the loop with its
# record of runs, the checks after a cut and the counts of what cuts left.
sample="/usr/bin/heartbeat -i sample"
cycle="/usr/bin/heartbeat -i cycle"
probe="/usr/bin/heartbeat -i probe"
read -ra sample_words <<<"$sample"
# shellcheck disable=SC2034 # the tests use it
read -ra cycle_words <<<"$cycle"
declare -A hits=() edits=()

# After e2e_begin: state a has the sample program registered, state b the
# cycling one as well; both with a count line that agrees.
cuts_states() {
    state_a=$E2E_OUT/state.a
    state_b=$E2E_OUT/state.b
    inittab_with "$state_a" "$TYPICAL" 1 "$sample"
    inittab_with "$state_b" "$TYPICAL" 2 "$sample" "$cycle"
}

# cuts_script PATH [COPY_BACK]: puts bench/inittab-edit.sh at PATH on the
# device, with its copy back (cp beside and mv) replaced by COPY_BACK.
cuts_script() {
    local script
    script=$(dirname "${BASH_SOURCE[0]}")/../../bench/inittab-edit.sh
    mkdir -p "$DEVICE_ROOT$(dirname "$1")"
    cp "$script" "$DEVICE_ROOT$1"
    [ $# -gt 1 ] || return 0
    # shellcheck disable=SC2016 # the script's own words
    sed "s|^\\tcp \"\$work\" \"\$inittab.new\" \&\& mv \"\$inittab.new\" \"\$inittab\"\$|\\t$2|" \
        "$script" >"$DEVICE_ROOT$1"
    cmp -s "$script" "$DEVICE_ROOT$1" &&
        device_die "the script's copy back is not where this test expects it"
}

# The script at device PATH passes through the tool's two states, or its
# cuts would prove nothing.
cuts_script_states() {
    device_run /bin/sh "$1" register "$cycle"
    expect_inittab "$state_b"
    device_run /bin/sh "$1" deregister "$cycle"
    expect_inittab "$state_a"
}

# a, b, empty or other: which state the inittab in FILE is.
state_of() {
    if cmp -s "$1" "$state_a"; then echo a
    elif cmp -s "$1" "$state_b"; then echo b
    elif [ ! -s "$1" ]; then echo empty
    else echo other
    fi
}

# Registers and deregisters with EDIT (the tool, or sh and a script) in
# the background, until killed (its pid in /tmp/loop.pid). Each run that
# ends leaves "COMMAND STATUS OUTPUT" in /tmp/loop.runs (tmpfs).
cuts_loop() {
    # shellcheck disable=SC2016 # expanded on the board
    device_spawn /bin/sh -c 'echo $$ >/tmp/loop.pid; rm -f /tmp/loop.runs; while :; do
            for command in register deregister; do
                out=$($1 $command "$2" 2>&1)
                echo "$command $? $out" >>/tmp/loop.runs
            done
        done' sh "$1" "$cycle"
}

# The loop's runs: EDITS counts those that edited. Any other run fails the
# check, unless LATE is given and no edit follows it (the cut made /etc
# read-only).
cuts_loop_runs() {
    local runs=$E2E_OUT/loop.runs
    EDITS=0
    device_sh '[ ! -f /tmp/loop.runs ] || cat /tmp/loop.runs' >"$runs" ||
        { e2e_fail "cannot read the loop's runs"; return; }
    EDITS=$(awk '$2 == 0 && NF == 2' "$runs" | wc -l)
    if ! awk -v late="${1:-}" '!($2 == 0 && NF == 2) { failed = 1; if (!late) exit 1; next }
            failed { exit 1 }' "$runs"; then
        e2e_fail "a run of the loop failed before the cut:"
        sed 's/^/    /' "$runs" | head -n 20
    fi
}

# cuts_of_the_tool CUTS CUT: CUTS cuts of the tool's loop, each by the
# test's function CUT (which leaves STATE, what the inittab was left in,
# and the inittab in $E2E_OUT/cut.inittab), then its after_cut STATE.
cuts_of_the_tool() {
    local i
    for ((i = 1; i <= $1; i++)); do
        e2e_case "power cut $i of $1 during the tool's loop"
        "$2" "${DEVICE_APP[*]}" || break
        cuts_count tool "$STATE"
        case $STATE in
            a | b) after_cut "$STATE" ;;
            *)
                e2e_fail "the cut left an inittab that the loop never wrote ($STATE):"
                diff -u "$state_a" "$E2E_OUT/cut.inittab" | sed 's/^/    /'
                break
                ;;
        esac
    done
}

# cuts_count WHO STATE: one more cut of WHO's loop left STATE.
cuts_count() {
    hits[$1:$2]=$((${hits[$1:$2]:-0} + 1))
    edits[$1]=$((${edits[$1]:-0} + EDITS))
}

cuts_sample() {
    e2e_case "the sample program registered and running"
    run_app register "$sample"
    expect_rc 0
    expect_out </dev/null
    expect_inittab "$state_a"
    wait_running_under_init "${sample_words[@]}" >/dev/null
}

# After a cut that left STATE (a or b), with init running what it lists:
# the tool's next runs succeed and leave state a.
cuts_next_runs() {
    run_app register "$probe"
    expect_rc 0
    expect_out </dev/null
    run_app deregister "$probe"
    expect_rc 0
    [ "$1" = a ] || run_app deregister "$cycle"
    expect_out </dev/null
    expect_inittab "$state_a"
}

# cuts_lost WHO: how many of WHO's cuts lost or mangled the inittab.
cuts_lost() {
    echo $((${hits[$1:empty]:-0} + ${hits[$1:other]:-0}))
}

# What the cuts of each WHO left, and their loops' edits; loops that never
# edited before any of their cuts fail the test.
cuts_summary() {
    local who state seen
    e2e_case "summary"
    for who in "$@"; do
        seen=()
        for state in a b empty other; do
            [ "${hits[$who:$state]:-0}" = 0 ] || seen+=("$state")
        done
        echo "$who: $(for state in a b empty other; do printf '%s %s, ' "$state" "${hits[$who:$state]:-0}"; done)" \
            "${edits[$who]:-0} edits before the cuts"
        [ "${#seen[@]}" != 1 ] || echo "$who: every cut found the same state, ${seen[0]}"
        [ "${#seen[@]}" = 0 ] || [ "${edits[$who]:-0}" -gt 0 ] ||
            e2e_fail "the loops of $who made no edit before their cuts"
    done
}
