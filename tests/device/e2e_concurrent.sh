#!/bin/bash
# Callers that register at the same moment: the lock makes their edits run
# one after the other, so every entry lands and the count adds up.
. "$(dirname "$0")/e2e.sh"

e2e_begin concurrent
e2e_boot

e2e_case "eight registrations started together all land"
callers=(alpha beta gamma delta epsilon zeta eta theta)
results=/var/run/e2e-callers
log_mark
LOG_FROM=$LOG_LINE
# One shell on the device starts them all, so they reach the lock within
# milliseconds of each other, just after a second begins: the tool seeds
# its waits with the time in seconds, so they wait alike and take the lock
# one a round, the first at once and the others in the seven retries.
# shellcheck disable=SC2016 # expanded on the device
device_sh 'results=$1 app=$2
    shift 2
    mkdir -p "$results"
    second=$(date +%s)
    while [ "$(date +%s)" = "$second" ]; do :; done
    for name; do
        ($app register "/usr/bin/heartbeat -i $name" \
            >"$results/$name.out" 2>"$results/$name.err"; echo $? >"$results/$name.rc") &
    done
    wait' "$results" "${DEVICE_APP[*]}" "${callers[@]}"
for name in "${callers[@]}"; do
    status=$(device_get "$results/$name.rc")
    [ "$status" = 0 ] || e2e_fail "$name: exit status $status"
    device_get "$results/$name.err" >"$E2E_OUT/$name.err"
    [ ! -s "$E2E_OUT/$name.err" ] || e2e_fail "$name: standard error: $(cat "$E2E_OUT/$name.err")"
    # Waiting for the lock is all they print.
    device_get "$results/$name.out" >"$E2E_OUT/$name.out"
    split_lock_waits "$E2E_OUT/$name.out"
    expect_out_lines
done
# Whoever got the lock first is first in the file; an entry a caller.
expect_typical_in_any_order "${callers[@]/#//usr/bin/heartbeat -i }"
expect_tmp_after_lock
log_mark
if log_between "$LOG_FROM" "$LOG_LINE" | grep ' app_kelvane: '; then
    e2e_fail "app_kelvane logged something"
fi
for name in "${callers[@]}"; do
    wait_running_under_init /usr/bin/heartbeat -i "$name" >/dev/null
done

e2e_finish
