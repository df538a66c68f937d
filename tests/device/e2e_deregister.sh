#!/bin/bash
# deregister on a typical device: the inittab it writes, the program that
# stops for good, which running processes get the tool's SIGTERM (those
# that run exactly the deregistered command line), and the refusals.
. "$(dirname "$0")/e2e.sh"

e2e_begin deregister
mkdir -p "$DEVICE_ROOT/opt/vendor/bin"
ln -s /usr/bin/heartbeat "$DEVICE_ROOT/opt/vendor/bin/telemetryd"
ln -s /usr/bin/heartbeat "$DEVICE_ROOT/usr/sbin/logshipper"
e2e_boot

# The inittab as an administrator left it, without telling init: the
# typical file, the count line with NEW, then the given entries.
hand_edit() {
    inittab_with "$EXPECTED" "$TYPICAL" "$@"
    device_put /etc/inittab <"$EXPECTED"
}

# The tool removed every entry, leaving the typical file and the count
# line with NEW, and init read it.
expect_deregistered_to() {
    inittab_with "$EXPECTED" "$TYPICAL" "$1"
    expect_edit_done "$EXPECTED"
}

expect_term_from_tool() {
    local sender
    wait_terminated "$1" "$2"
    sender=$(term_sender "$1" "$2")
    [ "$sender" = "$TOOL_PID" ] || e2e_fail "$1 (pid $2) got SIGTERM from pid $sender, not from the tool (pid $TOOL_PID)"
}

# Still running, and no SIGTERM arrived.
expect_untouched() {
    is_running "$2" || e2e_fail "$1 (pid $2) is gone"
    [ -z "$(term_sender "$1" "$2")" ] || e2e_fail "$1 (pid $2) got SIGTERM from pid $(term_sender "$1" "$2")"
}

e2e_case "deregistration removes the entry and the program stops for good"
run_app register "/usr/bin/heartbeat -i main"
expect_rc 0
main=$(wait_running_under_init /usr/bin/heartbeat -i main)
run_app deregister "/usr/bin/heartbeat -i main"
expect_quiet_success
expect_deregistered_to 0
[ -z "$main" ] || wait_terminated heartbeat "$main"
starts=$(start_count heartbeat)
expect_stays_stopped 3 /usr/bin/heartbeat -i main
[ "$(start_count heartbeat)" = "$starts" ] || e2e_fail "the program was started again"

e2e_case "two entries of one program: only the processes of the removed one stop"
run_app register "/usr/bin/heartbeat -i stays"
stays=$(wait_running_under_init /usr/bin/heartbeat -i stays)
run_app register "/usr/bin/heartbeat -i goes"
goes=$(wait_running_under_init /usr/bin/heartbeat -i goes)
# Started by hand, so that only the tool signals them: two more of the
# removed command line, and command lines that only resemble it.
twin=$(start_by_hand /usr/bin/heartbeat -i goes)
other_stays=$(start_by_hand /usr/bin/heartbeat -i stays)
longer=$(start_by_hand /usr/bin/heartbeat -i goes -x)
other_path=$(start_by_hand /usr/bin/../bin/heartbeat -i goes)
run_app deregister "/usr/bin/heartbeat -i goes"
expect_quiet_success
inittab_with "$EXPECTED" "$TYPICAL" 1 "/usr/bin/heartbeat -i stays"
expect_inittab "$EXPECTED"
expect_reload
wait_terminated heartbeat "$goes"
expect_term_from_tool heartbeat "$twin"
sleep 2
for pid in "$stays" "$other_stays" "$longer" "$other_path"; do
    expect_untouched heartbeat "$pid"
done
expect_stays_stopped 2 /usr/bin/heartbeat -i goes
run_app deregister "/usr/bin/heartbeat -i stays"
expect_rc 0
wait_terminated heartbeat "$stays"
expect_term_from_tool heartbeat "$other_stays"
device_run /bin/kill "$longer" "$other_path"

e2e_case "blanks between words do not matter, the words do"
hand_edit 1 "  /opt/vendor/bin/telemetryd   --interval  60 "
first=$(start_by_hand /opt/vendor/bin/telemetryd --interval 60)
second=$(start_by_hand /opt/vendor/bin/telemetryd --interval 60)
longer=$(start_by_hand /opt/vendor/bin/telemetryd --interval 600)
run_app deregister "  /opt/vendor/bin/telemetryd   --interval  60 "
expect_quiet_success
expect_deregistered_to 0
expect_term_from_tool telemetryd "$first"
expect_term_from_tool telemetryd "$second"
sleep 2
expect_untouched telemetryd "$longer"

e2e_case "an argument without a word stops the terminations after it"
hand_edit 3 /usr/sbin/logshipper "  " "/opt/vendor/bin/telemetryd --interval 600"
shipper=$(start_by_hand /usr/sbin/logshipper)
run_app deregister /usr/sbin/logshipper "  " "/opt/vendor/bin/telemetryd --interval 600"
expect_rc 0
echo "Parse string failed" | expect_out
expect_app_log </dev/null
expect_deregistered_to 0
expect_term_from_tool logshipper "$shipper"
sleep 2
expect_untouched telemetryd "$longer"

e2e_case "an argument that matches two entries removes both and counts once"
hand_edit 2 "/usr/bin/heartbeat -i twice" "/usr/bin/heartbeat -i twice" "/usr/bin/heartbeat -i other"
by_hand=$(start_by_hand /usr/bin/heartbeat -i twice)
run_app deregister "/usr/bin/heartbeat -i twice"
expect_quiet_success
inittab_with "$EXPECTED" "$TYPICAL" 1 "/usr/bin/heartbeat -i other"
expect_inittab "$EXPECTED"
expect_reload
expect_term_from_tool heartbeat "$by_hand"

e2e_case "the tool signals neither init nor itself"
# Entries for process 1's command line and for the tool's own path: both
# arguments match an entry, so the run goes on to walk /proc for them.
hand_edit 3 "/usr/bin/heartbeat -i thrice" init "/usr/bin/app_kelvane >/dev/null"
by_hand=$(start_by_hand /usr/bin/heartbeat -i thrice)
[ "$(device_get /proc/1/cmdline | tr '\0' '\n')" = init ] ||
    e2e_fail "test setup: process 1's command line is not init alone"
run_app deregister "/usr/bin/heartbeat -i thrice" init "/usr/bin/app_kelvane >/dev/null"
expect_quiet_success
expect_deregistered_to 0
expect_term_from_tool heartbeat "$by_hand"
sleep 1
# BusyBox init takes SIGTERM as the order to reboot.
if log_since "$LOG_FROM" | grep 'going down' >/dev/null; then
    e2e_fail "init was told to shut down"
fi
[ "$(device_run /bin/readlink /proc/1/exe)" = /bin/busybox ] || e2e_fail "init is gone"

e2e_case "an argument that matches no entry: nothing changes, nothing is signalled"
hand_edit 3 "/usr/bin/heartbeat -i kept" "/usr/bin/heartbeat -i twice" "/usr/bin/heartbeat -i twice"
kept=$(start_by_hand /usr/bin/heartbeat -i kept)
twice=$(start_by_hand /usr/bin/heartbeat -i twice)
kept_log=$(heartbeat_log heartbeat)
while IFS='|' read -r label args; do
    e2e_case "an argument that matches no entry: $label"
    eval "set -- $args"
    run_app deregister "$@"
    expect_rc 0
    printf '%s\n' "[Nothing to deregister]" "Deregister failed" | expect_out
    expect_app_log </dev/null
    expect_unchanged
done <<'EOF'
never registered|"/usr/bin/heartbeat -i ghost"
one of two registered|"/usr/bin/heartbeat -i kept" "/usr/bin/heartbeat -i ghost"
another argument matches twice|"/usr/bin/heartbeat -i twice" "/usr/bin/heartbeat -i ghost"
given twice, registered once|"/usr/bin/heartbeat -i kept" "/usr/bin/heartbeat -i kept"
the entry without its options|/usr/bin/heartbeat
EOF
expect_untouched heartbeat "$kept"
expect_untouched heartbeat "$twice"
[ "$(heartbeat_log heartbeat)" = "$kept_log" ] || e2e_fail "the sample program saw a signal"

e2e_namespace_only "a run without /proc" || e2e_finish
e2e_case "no /proc: the deregistration stands, the walk's failure is logged"
run_app --no-proc deregister "/usr/bin/heartbeat -i kept"
expect_rc 0
expect_out </dev/null
echo "user.info Failed to open directory!" | expect_app_log
inittab_with "$EXPECTED" "$TYPICAL" 2 "/usr/bin/heartbeat -i twice" "/usr/bin/heartbeat -i twice"
expect_edit_done "$EXPECTED"
sleep "$E2E_GRACE"
[ -z "$(term_sender heartbeat "$kept")" ] || e2e_fail "the program got SIGTERM"

e2e_finish
