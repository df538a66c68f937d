#!/bin/bash
# The command line as a user on the device meets it: the options, refused
# arguments, an unknown command word, the longest accepted argument, and
# standard output that cannot be written or is closed.
. "$(dirname "$0")/e2e.sh"

e2e_begin command_line
e2e_boot

# Nothing in /tmp: neither the lock file nor a working copy was made.
expect_tmp_untouched() {
    local left
    left=$(ls -A "$(device_file /tmp)")
    [ -z "$left" ] || e2e_fail "/tmp holds $(printf '%s' "$left" | tr '\n' ' ')"
}

# Runs that stop before the lock: standard output, status 1, nothing else.
# These come first, while the device's /tmp is still empty.  One of each
# kind; the unit tests go through every refusal.
too_long=/usr/bin/heartbeat$(printf ' -x%.0s' $(seq 1 50))   # 168 characters
line_break=$'/usr/bin/heartbeat\n::respawn:/bin/sh'             # a second inittab line

# expected_refusal KIND: what standard output holds for a run refused early.
expected_refusal() {
    case $1 in
        usage) printf '%s\n' "$USAGE" ;;
        version) echo "The version is 1.1.0.0" ;;
        control) echo "[Invalid] process argument holds a control character" ;;
        long:*) local var=${1#long:}; echo "[Invalid] process argument longer than 116 characters: ${!var}" ;;
    esac
}

log_mark
refusals_from=$LOG_LINE
while IFS='|' read -r label kind args; do
    e2e_case "refused before the lock: $label"
    eval "set -- $args"
    run_app "$@"
    expect_rc 1
    expected_refusal "$kind" | expect_out
    expect_app_log </dev/null
    expect_inittab "$EXPECTED"
    expect_tmp_untouched
done <<'EOF'
no argument|usage|
-v|version|-v
register, 168 characters|long:too_long|register "$too_long"
deregister, line break after a valid argument|control|deregister /usr/bin/heartbeat "$line_break"
EOF
e2e_case "refused before the lock: init is left alone"
expect_no_reload "$refusals_from"

e2e_case "an unknown command word takes the lock, prints the usage, exits 0"
for word in Register --register; do
    run_app "$word" /usr/bin/heartbeat
    expect_rc 0
    printf '%s\n' "$USAGE" | expect_out
    # No working copy was made, so there was none to remove.
    expect_app_log </dev/null
    expect_inittab "$EXPECTED"
    expect_tmp_after_lock
done
expect_no_reload

e2e_case "-h after the command word is a program path like any other"
run_app register -h
expect_rc 0
printf '%s\n' "The file doesn't exist" "Register failed" | expect_out
expect_app_log </dev/null
expect_unchanged

# run_with_output REDIRECTION ARG...: the tool run with its standard
# output redirected on the device; leaves RC, LOG_FROM and the tool's log
# lines, as run_app does.
run_with_output() {
    local redirection=$1
    shift
    log_mark
    LOG_FROM=$LOG_LINE
    device_sh "\"\$@\" $redirection" "${DEVICE_APP[@]}" "$@"
    RC=$?
    log_mark
    log_between "$LOG_FROM" "$LOG_LINE" | app_lines >"$E2E_OUT/applog"
}

e2e_case "a failure that cannot be printed fails the run, and the log says so"
run_with_output '>/dev/full' register /usr/bin/nothere
expect_rc 1
echo "user.info Cannot write the standard output" | expect_app_log
expect_unchanged

e2e_case "a run that prints nothing keeps its status, whatever its output"
run_with_output '>/dev/full' register "/usr/bin/heartbeat -i unheard"
expect_rc 0
expect_app_log </dev/null
expect_registered "/usr/bin/heartbeat -i unheard"

e2e_case "with standard output closed, nothing the run prints lands in its files"
# The lock's wait messages are written out while the lock file is open.
hold_lock 2
run_with_output '>&-' register /usr/bin/nothere
expect_rc 0
expect_app_log </dev/null
expect_unchanged

e2e_case "an argument of 116 characters is registered whole and deregistered"
# The padding brings the argument to exactly 116 characters.
longest="/usr/bin/heartbeat -i edge $(printf 'x%.0s' $(seq 1 89))"
[ "${#longest}" = 116 ] || e2e_fail "test setup: argument is ${#longest} characters"
run_app register "$longest"
expect_quiet_success
expect_registered "$longest"
read -ra words <<<"$longest"
pid=$(wait_running_under_init "${words[@]}")
run_app deregister "$longest"
expect_rc 0
expect_out </dev/null
inittab_with "$EXPECTED" "$TYPICAL" 1 "${REGISTERED[@]:0:1}"
expect_edit_done "$EXPECTED"
[ -z "$pid" ] || wait_terminated heartbeat "$pid"
expect_stays_stopped 2 "${words[@]}"

e2e_finish
