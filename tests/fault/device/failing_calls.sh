#!/bin/bash
# Each call the tool makes on its files fails in turn, with each error it
# can meet there.  The inittab stays whole: old, or the complete new content
# when the tool got past the failure.  A run that did not complete tells
# its caller, says why in the system log, signals neither init nor any
# program; a run that completed says nothing of a failure and signals init
# (and, after a deregistration, the program).  The next run then completes.
# Usage: failing_calls.sh register|deregister
. "$(dirname "$0")/fault.sh"

edit=${1:-}
fault_sweep_start failing_calls "$edit"

# The errors a call can meet, given the call's line in the trace: EINTR
# where a signal can interrupt the call (reads, writes, closes, the lock,
# truncation, reservation), ENOSPC where the call may need space.
errors_for() {
    case $1 in
        open | openat) case $2 in *O_CREAT*) echo EACCES EIO ENOSPC ;; *) echo EACCES EIO ;; esac ;;
        read | pread64) echo EIO EINTR ;;
        write) echo ENOSPC EIO EINTR ;;
        close) echo EIO EINTR ;;
        fsync | fdatasync) echo EIO ENOSPC ;;
        ftruncate) echo EIO EINTR ;;
        fallocate) echo ENOSPC EIO EINTR ;;
        rename | renameat | renameat2) echo EACCES EIO ENOSPC ;;
        unlink | unlinkat | rmdir) echo EACCES EIO ;;
        fchown | fchmod | fchownat | fchmodat) echo EPERM EIO ;;
        flock) echo EINTR ENOLCK ;;
        newfstatat | fstat | stat | lstat | statx)
            case $2 in *AT_EMPTY_PATH*) echo EIO ;; *) echo EACCES EIO ;; esac ;;
        readlink | readlinkat) echo EACCES EIO ;;
    esac
}

# What the run with ERROR injected into NAME (its trace line CALL) showed;
# OUTCOME receives what the inittab holds: old, new or other.
check_outcome() {
    local name=$1 error=$2 call=$3 text kills state
    text=$(fault_error_text "$error")
    kills=$(fault_trace_kills | tr '\n' ' ')
    case $name:$call in
        flock:*LOCK_EX*)
            # The lock is tried again after a wait, and then taken.
            expect_lock_waits 1
            [ "$LOCK_ERRORS" = "$text" ] || e2e_fail "the wait message gives '$LOCK_ERRORS', not '$text'"
            ;;
        *) expect_lock_waits 0 ;;
    esac
    state=$(fault_inittab_state "$OLD" "$NEW")
    case $state in
        old)
            failed=$((failed + 1))
            [ -z "$kills" ] || e2e_fail "signals sent after a failed edit: $kills"
            if [ "$RC" = 1 ]; then
                # Without its lock file the tool stops before any edit.
                expect_out_lines
                grep -qx "user.info Cannot Open the $LOCK" "$E2E_OUT/applog" ||
                    e2e_fail "the system log does not say the lock file could not be opened"
            else
                expect_rc 0
                expect_out_lines "$FAILED_LINE"
                expect_log_says "($text)"
            fi
            if [ "$edit" = deregister ] && ! fault_c_running; then
                e2e_fail "hb-c $C_PID was terminated after a failed deregistration"
            fi
            ;;
        new)
            completed=$((completed + 1))
            expect_rc 0
            expect_out_lines
            case " $kills" in
                *" 1,SIGHUP "*) ;;
                *) e2e_fail "init was not signalled after a complete edit (signals: $kills)" ;;
            esac
            if [ "$edit" = deregister ]; then
                case " $kills" in
                    *" $C_PID,SIGTERM "*)
                        device_wait 5 fault_c_terminated_by "$TOOL_PID" ||
                            e2e_fail "hb-c $C_PID did not get the tool's SIGTERM"
                        ;;
                    *) e2e_fail "hb-c $C_PID was not terminated (signals: $kills)" ;;
                esac
            fi
            ;;
        *)
            e2e_fail "$INITTAB is neither the old nor the new content (- new, + actual):"
            fault_show_inittab_diff "$NEW"
            ;;
    esac
    expect_inittab_owner
    # One call failed, so every cleanup ran: nothing is left beside the
    # inittab, and the working copy only when its removal was what failed.
    [ ! -e "$(device_file "$TEMPORARY")" ] || e2e_fail "$TEMPORARY is left behind"
    if [ -e "$(device_file "$WORKING_COPY")" ]; then
        grep -qx "user.info Cannot remove $WORKING_COPY" "$E2E_OUT/applog" ||
            e2e_fail "$WORKING_COPY is left behind, and the system log does not say so"
    fi
    OUTCOME=$state
}

fault_sweep_plan
injected=0
failed=0
completed=0
while read -r name index ordinal _ paths; do
    call=$(fault_trace_call "$E2E_OUT/trace.reference" "$name" "$ordinal")
    for error in $(errors_for "$name" "$call"); do
        e2e_case "$edit: $name #$index ($paths) fails with $error"
        injected=$((injected + 1))
        fault_inject_at "$name" "$index" "$paths" "error=$error" -- "${ARGS[@]}" || continue
        check_outcome "$name" "$error" "$call"
        fault_sweep_next_run "$OUTCOME" "$ETC_LISTING"
    done
done <"$E2E_OUT/plan.sweep"

e2e_case "summary"
echo "errors injected: $injected ($edit; failed with the inittab intact: $failed, completed: $completed)"
[ "$injected" -gt 0 ] || e2e_fail "no error was injected"
e2e_finish
