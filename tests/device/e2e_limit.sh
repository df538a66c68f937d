#!/bin/bash
# At most twelve programs registered through the tool: a call that would go
# beyond is refused whole, logged, and leaves the inittab and init alone,
# also once the count line has come back to zero.
. "$(dirname "$0")/e2e.sh"

e2e_begin limit
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
    expect_unchanged
}

while IFS='|' read -r label first last outcome; do
    e2e_case "$label"
    mapfile -t args < <(programs "$first" "$last")
    run_app register "${args[@]}"
    if [ "$outcome" = accepted ]; then
        expect_quiet_success
        expect_registered "${args[@]}"
    else
        expect_limit_refusal
    fi
done <<'EOF'
thirteen programs in one call, on an inittab without a count line|1|13|refused
ten programs in one call are accepted|1|10|accepted
ten registered: three more are refused|11|13|refused
ten registered: two more make twelve|11|12|accepted
twelve registered: one more is refused|13|13|refused
EOF

e2e_case "init runs the twelve programs, and not a thirteenth"
for i in $(seq 1 12); do
    wait_running_under_init /usr/bin/heartbeat -i "$i" >/dev/null
done
[ -z "$(pids_of /usr/bin/heartbeat -i 13)" ] || e2e_fail "a refused program runs"

e2e_case "on an inittab that was empty, the count line of zeros still counts"
device_put /etc/inittab </dev/null
run_app register "/usr/bin/heartbeat -i 1"
expect_quiet_success
printf '%s\n' "# Orig:0 New:1" "::respawn:/usr/bin/heartbeat -i 1" >"$EXPECTED"
expect_edit_done "$EXPECTED"
run_app deregister "/usr/bin/heartbeat -i 1"
expect_quiet_success
echo "# Orig:0 New:0" >"$EXPECTED"
expect_edit_done "$EXPECTED"
mapfile -t args < <(programs 1 12)
run_app register "${args[@]}"
expect_quiet_success
{ echo "# Orig:0 New:12"; printf '::respawn:%s\n' "${args[@]}"; } >"$EXPECTED"
expect_edit_done "$EXPECTED"
run_app register "/usr/bin/heartbeat -i 13"
expect_limit_refusal

e2e_finish
