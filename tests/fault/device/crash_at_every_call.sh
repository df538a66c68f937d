#!/bin/bash
# A run killed at any one of its calls on the inittab, the working copy,
# the temporary file beside the inittab or the lock file (and at each
# signal it sends) leaves the inittab whole: byte for byte the old content
# or the complete new one, with its owner and mode.  The next run then
# completes, and leaves no working copy and no temporary file behind.
# Usage: crash_at_every_call.sh register|deregister
. "$(dirname "$0")/fault.sh"

edit=${1:-}
fault_sweep_start crash_at_every_call "$edit"

fault_sweep_plan
tried=0
left_old=0
left_new=0
while read -r name index _ _ paths; do
    e2e_case "$edit killed at $name #$index ($paths)"
    tried=$((tried + 1))
    fault_inject_at "$name" "$index" "$paths" signal=KILL --no-log -- "${ARGS[@]}" || continue
    state=$(fault_inittab_state "$OLD" "$NEW")
    case $state in
        old) left_old=$((left_old + 1)) ;;
        new) left_new=$((left_new + 1)) ;;
        *)
            e2e_fail "$INITTAB is neither the old nor the new content (- new, + actual):"
            fault_show_inittab_diff "$NEW"
            ;;
    esac
    expect_inittab_owner
    fault_sweep_next_run "$state" "$ETC_LISTING"
done <"$E2E_OUT/plan.sweep"

e2e_case "summary"
echo "crash points tried: $tried ($edit; inittab left old: $left_old, new: $left_new)"
[ "$tried" -gt 0 ] || e2e_fail "no crash point was tried"
e2e_finish
