#!/bin/bash
# At most twelve programs registered through the tool: a call that would go
# beyond is refused whole, logged, and leaves the inittab and init alone,
# also once the count line has come back to zero.
. "$(dirname "$0")/e2e.sh"

e2e_begin limit
expected=$E2E_OUT/inittab.expected
cp "$E2E_FIXTURES/inittab.typical" "$expected"
lines=$(wc -l <"$expected")
e2e_boot

# Process arguments "/usr/bin/heartbeat -i FIRST" to "... -i LAST".
programs() {
    local i
    for ((i = $1; i <= $2; i++)); do
        echo "/usr/bin/heartbeat -i $i"
    done
}

expect_limit_refusal() {
    expect_rc 0
    echo "Register failed" | expect_out
    echo "user.info Exceed the maximum process running" | expect_app_log
    expect_inittab "$expected"
    expect_tmp_after_lock
    expect_no_reload
}

# The call registered ARGS: appended after those of earlier calls, the
# count line raised in place.
registered=()
expect_accepted() {
    registered+=("$@")
    {
        cat "$E2E_FIXTURES/inittab.typical"
        echo "# Orig:$lines New:${#registered[@]}"
        printf '::respawn:%s\n' "${registered[@]}"
    } >"$expected"
    expect_quiet_success
    expect_edit_done "$expected"
}

e2e_case "thirteen programs in one call, on an inittab without a count line"
mapfile -t args < <(programs 1 13)
run_app register "${args[@]}"
expect_limit_refusal

e2e_case "ten programs in one call are accepted"
mapfile -t args < <(programs 1 10)
run_app register "${args[@]}"
expect_accepted "${args[@]}"

e2e_case "ten registered: three more are refused"
mapfile -t args < <(programs 11 13)
run_app register "${args[@]}"
expect_limit_refusal

e2e_case "ten registered: two more make twelve"
mapfile -t args < <(programs 11 12)
run_app register "${args[@]}"
expect_accepted "${args[@]}"

e2e_case "twelve registered: one more is refused"
run_app register "/usr/bin/heartbeat -i 13"
expect_limit_refusal

e2e_case "init runs the twelve programs, and not a thirteenth"
for i in $(seq 1 12); do
    wait_running_under_init /usr/bin/heartbeat -i "$i" >/dev/null
done
[ -z "$(pids_of /usr/bin/heartbeat -i 13)" ] || e2e_fail "a refused program runs"

e2e_case "on an inittab that was empty, the count line of zeros still counts"
device_put /etc/inittab </dev/null
run_app register "/usr/bin/heartbeat -i 1"
expect_quiet_success
printf '%s\n' "# Orig:0 New:1" "::respawn:/usr/bin/heartbeat -i 1" >"$expected"
expect_edit_done "$expected"
run_app deregister "/usr/bin/heartbeat -i 1"
expect_quiet_success
echo "# Orig:0 New:0" >"$expected"
expect_edit_done "$expected"
mapfile -t args < <(programs 1 12)
run_app register "${args[@]}"
expect_quiet_success
{ echo "# Orig:0 New:12"; printf '::respawn:%s\n' "${args[@]}"; } >"$expected"
expect_edit_done "$expected"
run_app register "/usr/bin/heartbeat -i 13"
expect_limit_refusal

e2e_finish
