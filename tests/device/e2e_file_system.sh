#!/bin/bash
# The tool against awkward files on the device: an inittab that is missing,
# behind a symbolic link or a mount point, on a read-only or full /etc; a
# full /tmp; things planted at the working copy and lock file paths; no
# /proc.  The inittab is never left damaged, and what the tool reports
# (standard output, system log) matches what happened.
. "$(dirname "$0")/e2e.sh"

e2e_begin file_system
e2e_install_in_ns
mkdir -p "$DEVICE_ROOT/opt/vendor/bin"
ln -s /usr/bin/heartbeat "$DEVICE_ROOT/opt/vendor/bin/telemetryd"
typical=$E2E_FIXTURES/inittab.typical
lines=$(wc -l <"$typical")
original=$E2E_OUT/inittab.original
expected=$E2E_OUT/inittab.expected
after=/var/run/e2e
mkdir -p "$DEVICE_ROOT$after"
e2e_boot

# Gives the device's inittab the typical lines, then the count line with
# NEW and the given entries when NEW is set.
set_inittab() {
    local new=${1:-}
    [ $# -gt 0 ] && shift
    {
        cat "$typical"
        [ -z "$new" ] || echo "# Orig:$lines New:$new"
        [ $# -eq 0 ] || printf '::respawn:%s\n' "$@"
    } >"$original"
    cp "$original" "$(device_file /etc/inittab)"
}

# $original after registering ARGS as the first registration.
first_registration_of() {
    { cat "$original"; echo "# Orig:$lines New:$#"; printf '::respawn:%s\n' "$@"; } >"$expected"
}

# The tool's log is exactly one line matching the extended regular expression.
expect_one_app_log_like() {
    if [ "$(wc -l <"$E2E_OUT/applog")" != 1 ] || ! grep -Eqx "$1" "$E2E_OUT/applog"; then
        e2e_fail "expected one log line like /$1/, got:"
        sed 's/^/    /' "$E2E_OUT/applog"
    fi
}

# What in-ns recorded of the run's private /etc and /tmp.
expect_in_ns_inittab() {
    if ! cmp -s "$1" "$(device_file $after/inittab.after)"; then
        e2e_fail "/etc/inittab in the run's namespace differs from $(basename "$1"):"
        diff -u "$1" "$(device_file $after/inittab.after)" | tail -n +3 | sed 's/^/    /'
    fi
}

expect_in_ns_dirs() {
    local etc tmp
    etc=$(grep -v '^\.filler$' "$(device_file $after/etc.after)" | sort | tr '\n' ' ')
    tmp=$(grep -v '^\.filler$' "$(device_file $after/tmp.after)" | sort | tr '\n' ' ')
    [ "$etc" = "$1" ] || e2e_fail "/etc in the run's namespace holds: $etc"
    [ "$tmp" = "tmp_lockfile " ] || e2e_fail "/tmp in the run's namespace holds: $tmp"
}

etc_files=$(ls -A "$DEVICE_ROOT/etc" | sort | tr '\n' ' ')

e2e_case "a missing inittab: both commands fail, nothing is created"
mv "$(device_file /etc/inittab)" "$(device_file /etc/inittab.away)"
for command in register deregister; do
    run_app "$command" "/usr/bin/heartbeat -i main"
    expect_rc 0
    case $command in
        register) echo "Register failed" ;;
        deregister) echo "Deregister failed" ;;
    esac | expect_out
    echo "user.warn [copy] unable to open source file '/etc/inittab' (No such file or directory)" |
        expect_app_log
    [ ! -e "$(device_file /etc/inittab)" ] || e2e_fail "/etc/inittab was created"
    expect_tmp_after_lock
    expect_no_reload
done
mv "$(device_file /etc/inittab.away)" "$(device_file /etc/inittab)"

e2e_case "a read-only /etc: the copy back fails, the inittab stays whole"
set_inittab 1 "/usr/bin/heartbeat -i kept"
kept=$(start_by_hand /usr/bin/heartbeat -i kept)
in_ns ro-etc
for command in register deregister; do
    case $command in
        register) run_app register "/usr/bin/heartbeat -i main" ;;
        deregister) run_app deregister "/usr/bin/heartbeat -i kept" ;;
    esac
    expect_rc 0
    case $command in
        register) echo "Register failed" ;;
        deregister) echo "Deregister failed" ;;
    esac | expect_out
    expect_one_app_log_like "user\.warn \[copy\] unable to [a-z ]+ '/etc/inittab[^']*' \(Read-only file system\)"
    expect_inittab "$original"
    expect_tmp_after_lock
    expect_no_reload
done
in_ns
# A failed deregistration terminates nothing.
sleep 1
[ -z "$(term_sender heartbeat "$kept")" ] || e2e_fail "the program got SIGTERM"

e2e_case "a full /etc: the copy back fails, the inittab stays whole"
set_inittab
in_ns full-etc
run_app register "/usr/bin/heartbeat -i main"
in_ns
expect_rc 0
echo "Register failed" | expect_out
expect_one_app_log_like "user\.warn \[copy\] unable to [a-z ]+ '/etc/inittab[^']*' \(No space left on device\)"
expect_in_ns_inittab "$original"
expect_in_ns_dirs "$etc_files"
expect_tmp_after_lock
expect_no_reload

e2e_case "a full /tmp: the working copy cannot be made, nothing changes"
in_ns full-tmp
run_app register "/usr/bin/heartbeat -i main"
in_ns
expect_rc 0
echo "Register failed" | expect_out
if ! grep -Eqx "user\.warn \[copy\] unable to [a-z ]+ '/tmp/tmp_watchdog' \(No space left on device\)" \
    "$E2E_OUT/applog"; then
    e2e_fail "no warning about the working copy:"
    sed 's/^/    /' "$E2E_OUT/applog"
fi
expect_in_ns_inittab "$original"
expect_in_ns_dirs "$etc_files"
expect_inittab "$original"
expect_no_reload

e2e_case "an inittab that is a mount point is rewritten in place"
cp "$original" "$(device_file $after/inittab.mounted)"
in_ns inittab-mount
run_app register "/usr/bin/heartbeat -i main"
in_ns
expect_quiet_success
first_registration_of "/usr/bin/heartbeat -i main"
if ! cmp -s "$expected" "$(device_file $after/inittab.mounted)"; then
    e2e_fail "the mounted inittab does not hold the registration:"
    diff -u "$expected" "$(device_file $after/inittab.mounted)" | tail -n +3 | sed 's/^/    /'
fi
expect_in_ns_dirs "$etc_files"
expect_tmp_after_lock
expect_reload
# The device's own inittab, under the mount, was not touched.
expect_inittab "$original"

e2e_case "an inittab behind a symbolic link: the link stays, its file changes"
mkdir -p "$(device_file /data/etc)"
mv "$(device_file /etc/inittab)" "$(device_file /data/etc/inittab)"
ln -s ../data/etc/inittab "$(device_file /etc/inittab)"
run_app register "/usr/bin/heartbeat -i linked"
expect_quiet_success
first_registration_of "/usr/bin/heartbeat -i linked"
[ "$(readlink "$(device_file /etc/inittab)")" = ../data/etc/inittab ] ||
    e2e_fail "/etc/inittab is no longer the symbolic link"
expect_inittab "$expected"
[ "$(ls -A "$(device_file /data/etc)")" = inittab ] ||
    e2e_fail "/data/etc holds $(ls -A "$(device_file /data/etc)" | tr '\n' ' ')"
[ "$(ls -A "$(device_file /etc)" | sort | tr '\n' ' ')" = "$etc_files" ] ||
    e2e_fail "/etc holds $(ls -A "$(device_file /etc)" | tr '\n' ' ')"
expect_tmp_after_lock
expect_reload
wait_running_under_init /usr/bin/heartbeat -i linked >/dev/null
rm "$(device_file /etc/inittab)"
mv "$(device_file /data/etc/inittab)" "$(device_file /etc/inittab)"

e2e_case "whatever stands at the working copy path is replaced, never written through"
printf 'secret\n' >"$(device_file /etc/victim)"
cp "$(device_file /etc/victim)" "$E2E_OUT/victim"
while IFS='|' read -r label plant; do
    e2e_case "whatever stands at the working copy path is replaced: $label"
    set_inittab
    device_run /bin/sh -c "$plant"
    run_app register "/usr/bin/heartbeat -i over-$label"
    expect_quiet_success
    first_registration_of "/usr/bin/heartbeat -i over-$label"
    expect_edit_done "$expected"
    cmp -s "$E2E_OUT/victim" "$(device_file /etc/victim)" || e2e_fail "/etc/victim was changed"
done <<'EOF'
link|ln -s /etc/victim /tmp/tmp_watchdog
dangling-link|ln -s /etc/created-through-link /tmp/tmp_watchdog
leftover|printf '::respawn:/bin/sh -c "stale copy"\n' >/tmp/tmp_watchdog
directory|mkdir /tmp/tmp_watchdog
EOF
[ ! -e "$(device_file /etc/created-through-link)" ] || e2e_fail "a file was created through the link"

while IFS='|' read -r label plant; do
    e2e_case "a lock file that is not a file of the tool's is made afresh: $label"
    set_inittab
    device_run /bin/rm -rf $LOCK
    device_run /bin/sh -c "$plant"
    run_app register "/usr/bin/heartbeat -i main"
    expect_quiet_success
    first_registration_of "/usr/bin/heartbeat -i main"
    expect_edit_done "$expected"
    cmp -s "$E2E_OUT/victim" "$(device_file /etc/victim)" || e2e_fail "/etc/victim was changed"
    [ "$(device_run /bin/stat -c '%F %a' $LOCK)" = "regular empty file 600" ] ||
        e2e_fail "$LOCK is not a private file"
done <<'EOF'
a directory|mkdir /tmp/tmp_lockfile
a link to a file|ln -s /etc/victim /tmp/tmp_lockfile
EOF
device_run /bin/rm -rf $LOCK

e2e_case "no /proc: the deregistration stands, the walk failure is logged"
if readelf -d "$KELVANE_TOOL" | grep -q 'libasan'; then
    # AddressSanitizer reads /proc at start and exit: it cannot run there.
    echo "   skipped for a sanitizer build"
else
    set_inittab 1 "/opt/vendor/bin/telemetryd -i x"
    running=$(start_by_hand /opt/vendor/bin/telemetryd -i x)
    in_ns no-proc
    run_app deregister "/opt/vendor/bin/telemetryd -i x"
    in_ns
    expect_rc 0
    expect_out </dev/null
    echo "user.info Failed to open directory!" | expect_app_log
    { cat "$typical"; echo "# Orig:$lines New:0"; } >"$expected"
    expect_edit_done "$expected"
    sleep 1
    [ -z "$(term_sender telemetryd "$running")" ] || e2e_fail "the program got SIGTERM"
fi

e2e_finish
