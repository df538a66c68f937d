#!/bin/bash
# register on a typical device: the inittab it writes, init starting and
# restarting the program, and every way a registration is refused,
# including an inittab that is not a file to read.
. "$(dirname "$0")/e2e.sh"

e2e_begin register
[ "$DEVICE_KIND" != namespace ] || e2e_install_strace
# A second program path on the device, as a vendor would install it.
mkdir -p "$DEVICE_ROOT/opt/vendor/bin"
ln -s /usr/bin/heartbeat "$DEVICE_ROOT/opt/vendor/bin/telemetryd"
e2e_boot

# Refused registrations print their reasons, change nothing, leave init alone.
expect_refused() {
    expect_rc 0
    printf '%s\n' "$@" "Register failed" | expect_out
    expect_app_log </dev/null
    expect_unchanged
}

e2e_case "first registration appends the count line and the entry"
run_app register "/usr/bin/heartbeat -i main"
expect_quiet_success
expect_registered "/usr/bin/heartbeat -i main"

e2e_case "init starts the registered program"
main=$(wait_running_under_init /usr/bin/heartbeat -i main)
# grep reads to the end: an early exit would break the probe's pipe.
heartbeat_log heartbeat | grep -x "$main start ppid=1 -i main" >/dev/null ||
    e2e_fail "the program did not log its start under init"

e2e_case "init restarts the program when it dies"
# Another process runs the program's command line, not the one that died.
replaced() {
    local now
    now=$(pids_of /usr/bin/heartbeat -i main)
    [ -n "$now" ] && [ "$now" != "$1" ]
}
for signal in KILL TERM; do
    device_run /bin/kill "-$signal" "$main"
    if ! device_wait "$E2E_PATIENCE" replaced "$main"; then
        e2e_fail "not restarted within $E2E_PATIENCE s after SIG$signal"
        continue
    fi
    main=$(wait_running_under_init /usr/bin/heartbeat -i main)
done

e2e_case "a later registration raises the count in place and appends in order"
run_app register "/usr/bin/heartbeat -i second" "/opt/vendor/bin/telemetryd --interval 60"
expect_quiet_success
expect_registered "/usr/bin/heartbeat -i second" "/opt/vendor/bin/telemetryd --interval 60"
wait_running_under_init /usr/bin/heartbeat -i second >/dev/null
wait_running_under_init /opt/vendor/bin/telemetryd --interval 60 >/dev/null
[ "$(pids_of /usr/bin/heartbeat -i main)" = "$main" ] ||
    e2e_fail "the reload restarted a program that was already running"

e2e_case "register without process arguments rewrites the count line as it was"
run_app register
expect_quiet_success
expect_registered

e2e_case "an argument already registered is refused, with the whole call"
run_app register "/usr/bin/heartbeat -i main"
expect_refused "[Duplicated]"
run_app register "/usr/bin/heartbeat -i third" "/opt/vendor/bin/telemetryd --interval 60"
expect_refused "[Duplicated]"

while IFS='|' read -r label args; do
    e2e_case "a program that does not exist is refused: $label"
    eval "set -- $args"
    run_app register "$@"
    expect_refused "The file doesn't exist"
done <<'EOF'
missing path|"/usr/bin/nosuch -d"
after a valid argument|"/usr/bin/heartbeat -i third" /usr/bin/nosuch
checked before duplicates|"/usr/bin/heartbeat -i main" /usr/bin/nosuch
a file named as a directory|/usr/bin/heartbeat/
empty argument|""
blanks only|"   "
EOF
[ -z "$(pids_of /usr/bin/heartbeat -i third)" ] || e2e_fail "a refused program runs"

# Neither blocks the run (with the lock held) nor fills /tmp: refused
# before a byte is read, and the next run goes ahead at once.
while IFS='|' read -r label kind make; do
    e2e_case "an inittab that is not a regular file is refused: $label"
    device_run /bin/mv /etc/inittab /etc/inittab.kept
    device_sh "$make"
    run_app register "/usr/bin/heartbeat -i third"
    expect_rc 0
    echo "Register failed" | expect_out
    echo "user.warn [copy] unable to open source file '/etc/inittab' (Invalid argument)" |
        expect_app_log
    expect_tmp_after_lock
    expect_no_reload
    device_run /usr/bin/test "$kind" /etc/inittab || e2e_fail "/etc/inittab was replaced"
    device_run /bin/rm -f /etc/inittab
    device_run /bin/mv /etc/inittab.kept /etc/inittab
    expect_inittab "$EXPECTED"
done <<'EOF'
a FIFO|-p|mkfifo /etc/inittab
a link to /dev/zero|-L|ln -s /dev/zero /etc/inittab
EOF

e2e_case "a missing inittab: both commands fail, nothing is created"
device_run /bin/mv /etc/inittab /etc/inittab.kept
for command in register deregister; do
    run_app "$command" "/usr/bin/heartbeat -i main"
    expect_rc 0
    expect_out_lines "${command^} failed"
    echo "user.warn [copy] unable to open source file '/etc/inittab' (No such file or directory)" |
        expect_app_log
    device_run /usr/bin/test ! -e /etc/inittab || e2e_fail "/etc/inittab was created"
    expect_tmp_after_lock
    expect_no_reload
done
device_run /bin/mv /etc/inittab.kept /etc/inittab

e2e_case "after a refused inittab the lock is free and the next run registers"
run_app register "/usr/bin/heartbeat -i third"
expect_quiet_success
expect_registered "/usr/bin/heartbeat -i third"

e2e_namespace_only "strace shows the order of the calls" || e2e_finish
e2e_case "the new inittab is synced before it is renamed over the old, its directory after"
run_app --trace register "/usr/bin/heartbeat -i synced"
expect_quiet_success
awk '/^fsync\([0-9]+<\/etc\/inittab\+>\)/ && !s { s = NR }
    /^rename[a-z0-9]*\(.*"\/etc\/inittab\+".*"\/etc\/inittab"/ && !r { r = NR }
    /^fsync\([0-9]+<\/etc>\)/ && r && !d { d = NR }
    END { exit !(s && r && d && s < r) }' "$E2E_OUT/trace" ||
    e2e_fail "the copy back is not sync, rename, sync of /etc: $(grep -E '^(fsync|rename)' "$E2E_OUT/trace" | tr '\n' '|')"

e2e_finish
