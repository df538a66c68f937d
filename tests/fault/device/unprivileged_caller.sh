#!/bin/bash
# A caller other than root cannot change the inittab or signal anything:
# it is told its edit failed (or, once root's lock file is in place, exits
# with status 1), the system log says why, no signal is sent, and whatever
# it leaves in /tmp, even from a run killed half way, does not get in the
# way of the next run by root or leak into it.
. "$(dirname "$0")/fault.sh"

fault_begin unprivileged_caller
fault_programs hb-a hb-b
inittab_with "$E2E_OUT/one" "$TYPICAL" 1 "/usr/bin/hb-a -i any"
inittab_with "$E2E_OUT/two" "$TYPICAL" 2 "/usr/bin/hb-a -i any" "/usr/bin/hb-b -i any"
cp "$E2E_OUT/one" "$DEVICE_ROOT$INITTAB"
e2e_boot
USER_NAME=www-data
OTHER=33
etc_listing=$(fault_listing /etc)

expect_no_signal() {
    [ -z "$(fault_trace_kills)" ] || e2e_fail "signals sent: $(fault_trace_kills | tr '\n' ' ')"
}

expect_tmp() {
    local want=$1 got
    got=$(cd "$(device_file /tmp)" && stat -c '%n %u' -- * 2>/dev/null | sort | tr '\n' ' ')
    [ "$got" = "$want" ] || e2e_fail "/tmp holds '$got', expected '$want'"
}

e2e_case "register as $USER_NAME, no lock file yet"
rm -f "$(device_file "$LOCK")"
run_app --user "$USER_NAME" --trace register "/usr/bin/hb-b -i any"
expect_rc 0
expect_out_lines "Register failed"
expect_inittab "$E2E_OUT/one"
expect_inittab_owner
expect_log_says "(Permission denied)"
expect_no_signal
expect_tmp "tmp_lockfile $OTHER "
[ "$(fault_listing /etc)" = "$etc_listing" ] || e2e_fail "/etc changed: $(fault_listing /etc | tr '\n' ' ')"

e2e_case "register as root after it"
run_app --no-log --trace -- register "/usr/bin/hb-b -i any"
expect_rc 0
expect_out_lines
expect_inittab "$E2E_OUT/two"
expect_clean_after_run "$etc_listing"

e2e_case "deregister as $USER_NAME a program init runs"
hb_b=
running_b() {
    hb_b=$(heartbeat_log hb-b | awk '$2 == "start" && $3 == "ppid=1" { pid = $1 } END { print pid }')
    [ -n "$hb_b" ] && fault_process_is "$hb_b" /usr/bin/hb-b
}
device_wait 5 running_b || e2e_fail "init did not start hb-b"
# Root's run made the lock file root's own: the caller cannot even open it.
run_app --user "$USER_NAME" --trace deregister "/usr/bin/hb-b -i any"
expect_rc 1
expect_out_lines
expect_inittab "$E2E_OUT/two"
expect_inittab_owner
expect_log_says "Cannot Open the $LOCK"
expect_no_signal
[ -n "$hb_b" ] && fault_process_is "$hb_b" /usr/bin/hb-b && [ -z "$(term_sender hb-b "$hb_b")" ] ||
    e2e_fail "hb-b ($hb_b) was terminated"
expect_clean_after_run "$etc_listing"

e2e_case "register as $USER_NAME, root's lock file in place"
rm -f "$(device_file "$LOCK")"
fault_put_inittab "$E2E_OUT/one"
# Any run of root's makes the lock file root's, as on a device; this one
# changes nothing.
run_app --no-log deregister "/usr/bin/hb-a -i nothing"
expect_out_lines "[Nothing to deregister]" "Deregister failed"
expect_tmp "tmp_lockfile 0 "
run_app --user "$USER_NAME" --trace register "/usr/bin/hb-b -i any"
expect_rc 1
expect_out_lines
expect_inittab "$E2E_OUT/one"
expect_log_says "Cannot Open the $LOCK"
expect_no_signal
expect_tmp "tmp_lockfile 0 "

e2e_case "a run as $USER_NAME killed with its working copy half written"
rm -f "$(device_file "$LOCK")"
fault_put_inittab "$E2E_OUT/one"
run_app --no-log --user "$USER_NAME" --inject "write:signal=KILL:when=1" -- register "/usr/bin/hb-b -i any"
fault_trace_killed || e2e_fail "the run was not killed (status $RC)"
expect_inittab "$E2E_OUT/one"
expect_tmp "tmp_lockfile $OTHER tmp_watchdog $OTHER "
# The user keeps a second name for the working copy, to read or change
# what a later run of root writes there.
copy=$(device_file "$WORKING_COPY")
chmod 0666 "$copy"
printf 'the user wrote this\n' >"$copy"
ln "$copy" "$(device_file /tmp/user-view)"
chown -h "$OTHER:$OTHER" "$(device_file /tmp/user-view)"

e2e_case "register as root after the killed run"
run_app --no-log --trace -- register "/usr/bin/hb-b -i any"
expect_rc 0
expect_out_lines
expect_inittab "$E2E_OUT/two"
[ "$(cat "$(device_file /tmp/user-view)")" = "the user wrote this" ] ||
    e2e_fail "root's run wrote into the working copy the user left"
rm -f "$(device_file /tmp/user-view)"
expect_clean_after_run "$etc_listing"

e2e_finish
