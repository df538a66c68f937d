#!/bin/bash
# The instance lock seen from outside: a run that meets the lock held by
# another process prints its waits and goes on once the lock is free; a
# lock file that another user planted or can open is made afresh rather
# than waited on; a release that fails is logged and does not change the
# outcome.
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

OTHER_USER=www-data

# The lock file is root's own: a regular file, mode 600, one link.
expect_private_lock() {
    local found
    found=$(device_run /bin/stat -c '%F %u %a %h' "$LOCK")
    [ "$found" = "regular empty file 0 600 1" ] || e2e_fail "$LOCK is '$found', not root's own"
}

# A run that met the lock file of another user: done at once, no waits.
expect_not_held_up() {
    local entry=$1
    expect_quiet_success
    sed -i "s/^# Orig:$lines New:\([0-9]*\)\$/# Orig:$lines New:$2/" "$expected"
    echo "::respawn:$entry" >>"$expected"
    expect_edit_done "$expected"
    expect_private_lock
}

e2e_case "a lock file planted and held by another user is made afresh, not waited on"
device_run /bin/rm -f "$LOCK"
hold_lock 120 "$OTHER_USER"
run_app register "/usr/bin/heartbeat -i planted"
expect_not_held_up "/usr/bin/heartbeat -i planted" 2
release_lock

e2e_case "root's lock file, left open to others, cannot be held against the tool"
# As a lock file of an earlier version would be.
device_run /bin/chmod 0644 "$LOCK"
hold_lock 120 "$OTHER_USER" -s
run_app register "/usr/bin/heartbeat -i shared"
expect_not_held_up "/usr/bin/heartbeat -i shared" 3
release_lock

e2e_case "another user can neither hold nor remove root's lock file"
inode=$(device_run /bin/stat -c %i "$LOCK") || e2e_fail "cannot stat $LOCK"
device_run_as "$OTHER_USER" /usr/bin/flock -s -n "$LOCK" /bin/true >/dev/null 2>&1 &&
    e2e_fail "$OTHER_USER took a lock on $LOCK"
device_run_as "$OTHER_USER" /bin/rm -f "$LOCK" 2>/dev/null &&
    e2e_fail "$OTHER_USER removed $LOCK"
[ -n "$inode" ] && [ "$(device_run /bin/stat -c %i "$LOCK")" = "$inode" ] || e2e_fail "$LOCK was replaced"

e2e_namespace_only "strace makes the release fail" || e2e_finish
e2e_case "a failed release is logged; the run still counts as done"
E2E_LAUNCH=(device_run_failing_flock 2)
run_app register "/usr/bin/heartbeat -i unlucky"
E2E_LAUNCH=(device_run)
expect_rc 0
expect_out </dev/null
echo "user.info Cannot release the /tmp/tmp_lockfile" | expect_app_log
sed -i "s/^# Orig:$lines New:3\$/# Orig:$lines New:4/" "$expected"
echo "::respawn:/usr/bin/heartbeat -i unlucky" >>"$expected"
expect_edit_done "$expected"

e2e_case "the lock of a run that ended is free for the next"
run_app deregister "/usr/bin/heartbeat -i unlucky"
expect_rc 0
expect_out </dev/null
sed -i -e "s/^# Orig:$lines New:4\$/# Orig:$lines New:3/" -e '/-i unlucky$/d' "$expected"
expect_inittab "$expected"
expect_reload

e2e_finish
