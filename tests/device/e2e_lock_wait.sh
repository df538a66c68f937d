#!/bin/bash
# The instance lock seen from outside: a run that meets the lock held by
# another process prints its waits and goes on once the lock is free, or
# gives up after seven, whatever other names the lock file has; a lock
# file that another user planted or can open is made afresh rather than
# waited on; a run whose lock file was replaced under it changes nothing;
# a release that fails is logged and does not change the outcome.
. "$(dirname "$0")/e2e.sh"

e2e_begin lock_wait
[ "$DEVICE_KIND" != namespace ] || e2e_install_strace
e2e_boot

e2e_case "a lock held for three seconds: the run waits its turn, then registers"
hold_lock 3
started=$(date +%s.%N)
run_app register "/usr/bin/heartbeat -i patient"
expect_rc 0
expect_lock_waits 1 7
expect_out_lines
[ "$(sort -u <<<"$LOCK_ERRORS")" = "Resource temporarily unavailable" ] ||
    e2e_fail "the lock failed for another reason: $LOCK_ERRORS"
# The tool slept the seconds it announced.
elapsed_at_least "$started" "$WAITS" || e2e_fail "done before the ${WAITS}s of waits were over"
expect_app_log </dev/null
expect_registered "/usr/bin/heartbeat -i patient"

e2e_case "a second name of root's lock file changes nothing: the run waits for the holder"
inode=$(device_run /bin/stat -c %i "$LOCK") || e2e_fail "cannot stat $LOCK"
hold_lock 3
device_run /bin/ln "$LOCK" /tmp/second-name || e2e_fail "cannot give $LOCK a second name"
run_app register "/usr/bin/heartbeat -i named-twice"
expect_rc 0
expect_lock_waits 1 7
expect_out_lines
expect_registered "/usr/bin/heartbeat -i named-twice"
[ "$(device_run /bin/stat -c %i "$LOCK")" = "$inode" ] || e2e_fail "$LOCK was made afresh"
device_run /bin/rm -f /tmp/second-name

OTHER_USER=www-data

# The lock file is root's own: a regular file, mode 600.
expect_private_lock() {
    local found
    found=$(device_run /bin/stat -c '%F %u %a' "$LOCK")
    [ "$found" = "regular empty file 0 600" ] || e2e_fail "$LOCK is '$found', not root's own"
}

# A run that met the lock file of another user: done at once, no waits.
expect_not_held_up() {
    expect_quiet_success
    expect_registered "$1"
    expect_private_lock
}

e2e_case "a lock file planted and held by another user is made afresh, not waited on"
device_run /bin/rm -f "$LOCK"
hold_lock 120 "$OTHER_USER"
run_app register "/usr/bin/heartbeat -i planted"
expect_not_held_up "/usr/bin/heartbeat -i planted"
release_lock

e2e_case "root's lock file, left open to others, cannot be held against the tool"
# As a lock file of an earlier version would be.
device_run /bin/chmod 0644 "$LOCK"
hold_lock 120 "$OTHER_USER" -s
run_app register "/usr/bin/heartbeat -i shared"
expect_not_held_up "/usr/bin/heartbeat -i shared"
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
run_app --inject flock:error=EINVAL:when=2 register "/usr/bin/heartbeat -i unlucky"
expect_rc 0
expect_out </dev/null
echo "user.info Cannot release the /tmp/tmp_lockfile" | expect_app_log
expect_registered "/usr/bin/heartbeat -i unlucky"

e2e_case "a run whose lock file is replaced during its edit changes nothing"
# The run is held up while it writes its working copy; meanwhile another
# makes the lock file afresh, as a run that broke the lock would.
(
    sleep 1
    device_sh 'rm -f "$1" && umask 077 && : >"$1"' "$LOCK"
) &
run_app --inject ftruncate:delay_enter=3000000 register "/usr/bin/heartbeat -i overtaken"
wait $! || e2e_fail "cannot replace $LOCK"
expect_rc 0
echo "Register failed" | expect_out
expect_log_says "Lost the lock on $LOCK ("
expect_unchanged

e2e_case "the lock of a run that ended is free for the next"
run_app deregister "/usr/bin/heartbeat -i unlucky"
expect_rc 0
expect_out </dev/null
inittab_with "$EXPECTED" "$TYPICAL" 4 "${REGISTERED[@]:0:4}"
expect_inittab "$EXPECTED"
expect_reload

# Seven random waits of 1 to 10 s: 7 to 70 s, too long for the board.
e2e_case "a lock held past all the waits: seven waits, status 1, nothing changed"
hold_lock 1000
started=$(date +%s.%N)
run_app register "/usr/bin/heartbeat -i never"
expect_rc 1
expect_lock_waits 7
expect_out_lines
elapsed_at_least "$started" "$WAITS" || e2e_fail "done before the ${WAITS}s of waits were over"
expect_app_log </dev/null
expect_inittab "$EXPECTED"
device_run /usr/bin/test ! -e "$WORKING_COPY" || e2e_fail "a working copy was made"
expect_no_reload
release_lock

e2e_finish
