#!/bin/bash
# The instance lock seen from outside: a run that meets the lock held by
# another process prints its waits and goes on once the lock is free; a
# release that fails is logged and does not change the outcome.
. "$(dirname "$0")/e2e.sh"

e2e_begin lock_wait
expected=$E2E_OUT/inittab.expected
cp "$E2E_FIXTURES/inittab.typical" "$expected"
lines=$(wc -l <"$expected")
e2e_boot

# Runs the tool under strace, failing its Nth flock call with EINVAL.
device_run_failing_flock() {
    local when=$1
    shift
    # LeakSanitizer cannot run under a tracer; the other sanitizers can.
    nsenter -t "$DEVICE_PID" -m -u -i -n -p -- \
        env ASAN_OPTIONS=detect_leaks=0 \
        strace -f -qq -o /dev/null -e trace=flock -e inject=flock:error=EINVAL:when="$when" \
        chroot "$DEVICE_ROOT" "$@" <&0 &
    wait "$!"
}

e2e_case "a lock held for three seconds: the run waits its turn, then registers"
hold_lock 3
started=$(date +%s.%N)
run_app register "/usr/bin/heartbeat -i patient"
expect_rc 0
expect_lock_waits ""
[ "$PAIRS" -le 7 ] || e2e_fail "$PAIRS waits, at most 7 expected"
# The tool slept the seconds it announced.
elapsed_at_least "$started" "$WAITS" || e2e_fail "done before the ${WAITS}s of waits were over"
expect_app_log </dev/null
printf '%s\n' "# Orig:$lines New:1" "::respawn:/usr/bin/heartbeat -i patient" >>"$expected"
expect_edit_done "$expected"

e2e_namespace_only "strace makes the release fail" || e2e_finish
e2e_case "a failed release is logged; the run still counts as done"
E2E_LAUNCH=(device_run_failing_flock 2)
run_app register "/usr/bin/heartbeat -i unlucky"
E2E_LAUNCH=(device_run)
expect_rc 0
expect_out </dev/null
echo "user.info Cannot release the /tmp/tmp_lockfile" | expect_app_log
sed -i "s/^# Orig:$lines New:1\$/# Orig:$lines New:2/" "$expected"
echo "::respawn:/usr/bin/heartbeat -i unlucky" >>"$expected"
expect_edit_done "$expected"

e2e_case "the lock of a run that ended is free for the next"
run_app deregister "/usr/bin/heartbeat -i unlucky"
expect_rc 0
expect_out </dev/null
sed -i -e "s/^# Orig:$lines New:2\$/# Orig:$lines New:1/" -e '/-i unlucky$/d' "$expected"
expect_inittab "$expected"
expect_reload

e2e_finish
