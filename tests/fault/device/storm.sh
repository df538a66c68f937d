#!/bin/bash
# A storm of callers started at the same moment, while init is told to
# reload again and again: every call either lands, or ends with status 1
# after the lock's seven waits, or (a registration past the limit of 12)
# is refused with "Register failed"; the inittab then holds exactly the
# entries of the calls that landed, with a count line that matches, and
# init runs exactly those programs.
# Usage: storm.sh 20|mixed
#   20     twenty registrations of twenty programs (eight that all land:
#          device.concurrent)
#   mixed  six programs registered, then six deregistrations of them and
#          six registrations of six others at once
. "$(dirname "$0")/fault.sh"

kind=${1:-}
case $kind in
    20 | mixed) ;;
    *) device_die "storm.sh 20|mixed, not '$kind'" ;;
esac
fault_begin "storm.$kind"
kept=() # entries that stand in the inittab before the storm
calls=() # "command argument", one per caller
case $kind in
    20)
        for i in $(seq -w 1 "$kind"); do
            fault_programs "s$i"
            calls+=("register /usr/bin/s$i -i storm")
        done
        ;;
    mixed)
        for i in 1 2 3 4 5 6; do
            fault_programs "p$i" "q$i"
            kept+=("/usr/bin/p$i -i storm")
            calls+=("deregister /usr/bin/p$i -i storm" "register /usr/bin/q$i -i storm")
        done
        ;;
esac
e2e_boot

if [ ${#kept[@]} -gt 0 ]; then
    e2e_case "${#kept[@]} programs registered one after the other"
    for entry in "${kept[@]}"; do
        run_app --no-log register "$entry"
        expect_rc 0
        expect_out_lines
    done
    inittab_with "$E2E_OUT/before" "$TYPICAL" "${#kept[@]}" "${kept[@]}"
    expect_inittab "$E2E_OUT/before"
fi

e2e_case "${#calls[@]} callers at once, init reloading throughout"
# The callers start from one shell on the device, each in the background,
# so they reach the lock within milliseconds of each other.
storm=$E2E_TRACES/storm
mkdir -p "$DEVICE_ROOT$storm"
{
    echo 'cd /'
    for i in "${!calls[@]}"; do
        edit=${calls[i]%% *}
        argument=${calls[i]#* }
        printf '(%s %s %q >%s/out.%d; echo $? >%s/rc.%d) &\n' \
            "${DEVICE_APP[*]}" "$edit" "$argument" "$storm" "$i" "$storm" "$i"
    done
    echo 'wait'
} >"$DEVICE_ROOT$storm/start.sh"
# The tool seeds its waits with the time in seconds: callers that start
# within one second wait alike, and take the lock one after the other.
while [ "$(date +%N)" -gt 300000000 ]; do sleep 0.05; done
log_mark
from=$LOG_LINE
started=$SECONDS
device_run /bin/sh "$storm/start.sh" &
storm_pid=$!
hangups=0
while kill -0 "$storm_pid" 2>/dev/null; do
    kill -HUP "$DEVICE_PID"
    hangups=$((hangups + 1))
    sleep 0.3
done
wait "$storm_pid"
log_mark
echo "storm of ${#calls[@]} callers over after $((SECONDS - started)) s, $hangups hang-up signals sent to init"

# --- each caller ------------------------------------------------------------

landed=()  # entries of registrations that landed
removed=() # entries of deregistrations that landed
exhausted=0
refused=0
for i in "${!calls[@]}"; do
    edit=${calls[i]%% *}
    argument=${calls[i]#* }
    e2e_case "caller $i: $edit $argument"
    cp "$DEVICE_ROOT$storm/out.$i" "$E2E_OUT/out"
    RC=$(cat "$DEVICE_ROOT$storm/rc.$i" 2>/dev/null)
    split_lock_waits
    if [ "$RC" = 1 ]; then
        exhausted=$((exhausted + 1))
        expect_lock_waits 7
        expect_out_lines
    elif [ "$RC" = 0 ] && [ "$(cat "$E2E_OUT/rest")" = "Register failed" ] && [ "$edit" = register ]; then
        refused=$((refused + 1))
    elif [ "$RC" = 0 ]; then
        expect_out_lines
        if [ "$edit" = register ]; then
            landed+=("$argument")
        else
            removed+=("$argument")
        fi
    else
        e2e_fail "exit status '$RC', output: $(tr '\n' '|' <"$E2E_OUT/out")"
    fi
    [ -z "$LOCK_ERRORS" ] || [ "$(echo "$LOCK_ERRORS" | sort -u)" = "Resource temporarily unavailable" ] ||
        e2e_fail "the lock failed for another reason: $LOCK_ERRORS"
done

# --- what the storm left ------------------------------------------------------

e2e_case "the inittab after the storm"
entries=()
for entry in "${kept[@]}"; do
    printf '%s\n' "${removed[@]}" | grep -qxF -- "$entry" || entries+=("$entry")
done
entries+=("${landed[@]}")
echo "landed: ${#landed[@]} registrations, ${#removed[@]} deregistrations;" \
    "$exhausted callers gave up after seven waits, $refused were refused (Register failed)"
expect_typical_in_any_order "${entries[@]}"

[ "${#entries[@]}" -le 12 ] || e2e_fail "${#entries[@]} programs registered, more than the limit of 12"
if [ "$refused" -gt 0 ] && [ "${#entries[@]}" != 12 ]; then
    e2e_fail "$refused registrations refused by the limit with only ${#entries[@]} programs registered"
fi
limit_lines=$(log_between "$from" "$LOG_LINE" | app_lines |
    grep -cx 'user.info Exceed the maximum process running')
[ "$limit_lines" = "$refused" ] || e2e_fail "$limit_lines limit messages in the system log for $refused refusals"
[ ! -e "$(device_file "$WORKING_COPY")" ] || e2e_fail "$WORKING_COPY is left behind"
[ ! -e "$(device_file "$TEMPORARY")" ] || e2e_fail "$TEMPORARY is left behind"
[ ! -s "$(device_file "$LOCK")" ] || e2e_fail "$LOCK is not empty"

e2e_case "init runs exactly the registered programs"
# pids of processes started by init as PROGRAM (its path).
init_children_of() {
    local dir
    for dir in "$(device_file /proc)"/[0-9]*; do
        [ "$(awk '$1 == "PPid:" { print $2 }' "$dir/status" 2>/dev/null)" = 1 ] || continue
        [ "$({ tr '\0' '\n' <"$dir/cmdline"; } 2>/dev/null | head -n 1)" = "$1" ] && echo "${dir##*/}"
    done
}
settled() {
    local entry
    for entry in "${entries[@]}"; do
        [ "$(init_children_of "${entry%% *}" | wc -l)" = 1 ] || return 1
    done
    for entry in "${removed[@]}" "${calls[@]}"; do
        entry=${entry#register }
        entry=${entry#deregister }
        printf '%s\n' "${entries[@]}" | grep -qxF -- "$entry" && continue
        [ -z "$(init_children_of "${entry%% *}")" ] || return 1
    done
}
# Init restarts after each reload within a second or so.
kill -HUP "$DEVICE_PID"
if ! device_wait 15 settled; then
    for entry in "${entries[@]}"; do
        echo "    ${entry%% *}: $(init_children_of "${entry%% *}" | wc -l) running"
    done
    e2e_fail "init does not run exactly the registered programs, once each"
fi

e2e_finish
