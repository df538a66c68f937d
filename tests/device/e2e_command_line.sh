#!/bin/bash
# The command line as a user on the device meets it: the options, refused
# arguments, an unknown command word, and the longest accepted argument.
. "$(dirname "$0")/e2e.sh"

e2e_begin command_line
original=$E2E_OUT/inittab.original
cp "$E2E_FIXTURES/inittab.typical" "$original"
e2e_boot

# Nothing in /tmp: neither the lock file nor a working copy was made.
expect_tmp_untouched() {
    local left
    left=$(ls -A "$(device_file /tmp)")
    [ -z "$left" ] || e2e_fail "/tmp holds $(printf '%s' "$left" | tr '\n' ' ')"
}

# Runs that stop before the lock: standard output, status 1, nothing else.
# These come first, while the device's /tmp is still empty.
too_long=/usr/bin/heartbeat$(printf ' -x%.0s' $(seq 1 50))   # 168 characters
just_over=/usr/bin/heartbeat$(printf '%0*d' 99 0)             # 117 characters
line_break=$'/usr/bin/heartbeat\n::respawn:/bin/sh'             # a second inittab line
tab=$'/usr/bin/heartbeat\t-i tab'
escape=$'/usr/bin/heartbeat -i \033[1mbold'
delete=$'/usr/bin/heartbeat -i del\177'
carriage_return=$'\r'

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
    expect_inittab "$original"
    expect_tmp_untouched
done <<'EOF'
no argument|usage|
-h|usage|-h
-h before a command word|usage|-h register /usr/bin/heartbeat
-v|version|-v
-v before a command word|version|-v deregister x
register, 168 characters|long:too_long|register "$too_long"
deregister, 117 characters|long:just_over|deregister "$just_over"
register, a valid argument before one too long|long:just_over|register /usr/bin/heartbeat "$just_over"
register, line break|control|register "$line_break"
deregister, line break after a valid argument|control|deregister /usr/bin/heartbeat "$line_break"
register, tab|control|register "$tab"
register, escape|control|register "$escape"
deregister, delete|control|deregister "$delete"
register, carriage return alone|control|register "$carriage_return"
EOF
e2e_case "refused before the lock: init is left alone"
expect_no_reload "$refusals_from"

e2e_case "an unknown command word takes the lock, prints the usage, exits 0"
for word in start Register --register; do
    run_app "$word" /usr/bin/heartbeat
    expect_rc 0
    printf '%s\n' "$USAGE" | expect_out
    # No working copy was made, so there was none to remove.
    expect_app_log </dev/null
    expect_inittab "$original"
    expect_tmp_after_lock
done
expect_no_reload

e2e_case "-h after the command word is a program path like any other"
run_app register -h
expect_rc 0
printf '%s\n' "The file doesn't exist" "Register failed" | expect_out
expect_app_log </dev/null
expect_inittab "$original"
expect_tmp_after_lock
expect_no_reload

e2e_case "an argument of 116 characters is registered whole and deregistered"
# The padding brings the argument to exactly 116 characters.
longest="/usr/bin/heartbeat -i edge $(printf 'x%.0s' $(seq 1 89))"
[ "${#longest}" = 116 ] || e2e_fail "test setup: argument is ${#longest} characters"
run_app register "$longest"
expect_quiet_success
{ cat "$original"; echo "# Orig:$(wc -l <"$original") New:1"; echo "::respawn:$longest"; } \
    >"$E2E_OUT/inittab.registered"
expect_edit_done "$E2E_OUT/inittab.registered"
read -ra words <<<"$longest"
pid=$(wait_running_under_init "${words[@]}")
run_app deregister "$longest"
expect_rc 0
expect_out </dev/null
{ cat "$original"; echo "# Orig:$(wc -l <"$original") New:0"; } >"$E2E_OUT/inittab.deregistered"
expect_inittab "$E2E_OUT/inittab.deregistered"
expect_reload
[ -z "$pid" ] || wait_terminated heartbeat "$pid"
expect_stays_stopped 2 "${words[@]}"

e2e_finish
