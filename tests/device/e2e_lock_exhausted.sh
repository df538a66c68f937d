#!/bin/bash
# A lock held by another process for longer than all the waits: seven
# failures and waits, status 1, and nothing changed.  Slow by nature: the
# seven random waits add up to 7 to 70 seconds.
. "$(dirname "$0")/e2e.sh"

e2e_begin lock_exhausted
original=$E2E_OUT/inittab.original
cp "$E2E_FIXTURES/inittab.typical" "$original"
e2e_boot

e2e_case "seven waits for a lock that stays held, then status 1"
hold_lock 1000
started=$(date +%s.%N)
run_app register "/usr/bin/heartbeat -i never"
expect_rc 1
expect_lock_waits ""
[ "$PAIRS" = 7 ] || e2e_fail "$PAIRS waits, expected 7"
elapsed_at_least "$started" "$WAITS" || e2e_fail "done before the ${WAITS}s of waits were over"
expect_app_log </dev/null
expect_inittab "$original"
[ ! -e "$(device_file $WORKING_COPY)" ] || e2e_fail "a working copy was made"
[ -f "$(device_file $LOCK)" ] && [ ! -s "$(device_file $LOCK)" ] || e2e_fail "the lock file changed"
expect_no_reload

e2e_case "once the holder is gone the next run goes through at once"
release_lock
run_app register "/usr/bin/heartbeat -i never"
expect_rc 0
expect_out </dev/null
expect_reload

e2e_finish
