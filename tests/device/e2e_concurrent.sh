#!/bin/bash
# Callers that register at the same moment: the lock makes their edits run
# one after the other, so every entry lands and the count adds up.
. "$(dirname "$0")/e2e.sh"

e2e_begin concurrent
typical=$E2E_FIXTURES/inittab.typical
lines=$(wc -l <"$typical")
e2e_boot

e2e_case "three registrations started together all land"
# A second's hold makes sure all three meet the lock taken.
hold_lock 1
log_mark
LOG_FROM=$LOG_LINE
callers=(alpha beta gamma)
pids=()
for name in "${callers[@]}"; do
    device_app register "/usr/bin/heartbeat -i $name" >"$E2E_OUT/$name.out" 2>"$E2E_OUT/$name.err" </dev/null &
    pids+=($!)
done
for i in "${!callers[@]}"; do
    wait "${pids[$i]}"
    status=$?
    name=${callers[$i]}
    [ "$status" = 0 ] || e2e_fail "$name: exit status $status"
    [ ! -s "$E2E_OUT/$name.err" ] || e2e_fail "$name: standard error: $(cat "$E2E_OUT/$name.err")"
    # Waiting for the lock is all they print.
    expect_lock_waits "" "$E2E_OUT/$name.out"
done
# Whoever got the lock first is first in the file.
inittab=$(device_file /etc/inittab)
{ cat "$typical"; echo "# Orig:$lines New:3"; } >"$E2E_OUT/head.expected"
if ! head -n "$((lines + 1))" "$inittab" | cmp -s "$E2E_OUT/head.expected" -; then
    e2e_fail "the lines before the entries differ:"
    head -n "$((lines + 1))" "$inittab" | diff -u "$E2E_OUT/head.expected" - | tail -n +3 | sed 's/^/    /'
fi
printf '::respawn:/usr/bin/heartbeat -i %s\n' "${callers[@]}" | sort >"$E2E_OUT/entries.expected"
if ! tail -n +"$((lines + 2))" "$inittab" | sort | cmp -s "$E2E_OUT/entries.expected" -; then
    e2e_fail "the entries differ:"
    tail -n +"$((lines + 2))" "$inittab" | sed 's/^/    /'
fi
expect_tmp_after_lock
log_mark
sed -n "$((LOG_FROM + 1)),$((LOG_LINE - 1))p" "$(device_file /var/log/messages)" >"$E2E_OUT/log"
if grep ' app_kelvane: ' "$E2E_OUT/log"; then
    e2e_fail "app_kelvane logged something"
fi
for name in "${callers[@]}"; do
    wait_running_under_init /usr/bin/heartbeat -i "$name" >/dev/null
done

e2e_finish
