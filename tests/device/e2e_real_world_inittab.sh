#!/bin/bash
# An inittab as found on a router in the field: lines longer than a line
# slot, a last line without a line break, lines of others that contain
# "Orig:" after the tool's count line.  Every line the tool does not remove
# comes through register and deregister intact.
. "$(dirname "$0")/e2e.sh"

fixture=$E2E_FIXTURES/inittab.real-world
e2e_begin real_world_inittab "$fixture"
mkdir -p "$DEVICE_ROOT/opt/vendor/bin"
for program in modemd telemetryd mirror; do
    ln -s /usr/bin/heartbeat "$DEVICE_ROOT/opt/vendor/bin/$program"
done

e2e_case "the fixture is what this test relies on"
# The count line stands at its slot index: lines of more than 126
# characters take one slot per 127 of them, so slots outnumber lines.
orig=$(sed -n 's/^# Orig:\([0-9]*\) New:2$/\1/p' "$fixture")
slot=$(awk '/^# Orig:[0-9]+ New:2$/ { print slots; exit } { slots += int((length + 127) / 127) }' "$fixture")
[ -n "$orig" ] && [ "$orig" = "$slot" ] || e2e_fail "count line Orig:$orig stands at slot $slot"
[ "$(tail -c 1 "$fixture")" != "" ] || e2e_fail "the last line ends with a line break"
[ "$(awk 'length > 126' "$fixture" | wc -l)" -ge 3 ] || e2e_fail "fewer than three long lines"
[ "$(grep -c 'Orig:' "$fixture")" -ge 3 ] || e2e_fail "no foreign lines with Orig:"
long_words=$(sed -n 's|^::respawn:\(/opt/vendor/bin/modemd .*\)$|\1|p' "$fixture")
[ "${#long_words}" -gt 116 ] || e2e_fail "the modem manager's line is not long"

e2e_boot
e2e_case "init runs the entries of the long lines and of the foreign lines"
read -ra words <<<"$long_words"
wait_running_under_init "${words[@]}" >/dev/null
wait_running_under_init /opt/vendor/bin/mirror --Orig:/data/in --New:/data/out >/dev/null
existing=$(wait_running_under_init /usr/bin/heartbeat -i existing)

e2e_case "register keeps every line and puts the entry on a line of its own"
run_app register "/usr/bin/heartbeat -i added"
expect_quiet_success
sed "s/^# Orig:$orig New:2\$/# Orig:$orig New:3/" "$fixture" >"$EXPECTED"
printf '\n%s\n' "::respawn:/usr/bin/heartbeat -i added" >>"$EXPECTED"
expect_edit_done "$EXPECTED"
added=$(wait_running_under_init /usr/bin/heartbeat -i added)

e2e_case "deregister of the new entry gives back the original lines"
run_app deregister "/usr/bin/heartbeat -i added"
expect_quiet_success
{ cat "$fixture"; echo; } >"$EXPECTED"
expect_edit_done "$EXPECTED"
[ -z "$added" ] || wait_terminated heartbeat "$added"
expect_stays_stopped 2 /usr/bin/heartbeat -i added

e2e_case "deregister of an entry amid foreign lines moves the rest up intact"
run_app deregister "/usr/bin/heartbeat -i existing"
expect_quiet_success
{ cat "$fixture"; echo; } |
    sed -e "s/^# Orig:$orig New:2\$/# Orig:$orig New:1/" \
        -e '\|^::respawn:/usr/bin/heartbeat -i existing$|d' >"$EXPECTED"
expect_edit_done "$EXPECTED"
[ -z "$existing" ] || wait_terminated heartbeat "$existing"
expect_stays_stopped 2 /usr/bin/heartbeat -i existing

e2e_case "a foreign line that is a respawn entry counts as a registration"
run_app register "/opt/vendor/bin/mirror --Orig:/data/in --New:/data/out"
expect_rc 0
printf '%s\n' "[Duplicated]" "Register failed" | expect_out
expect_inittab "$EXPECTED"
expect_no_reload

e2e_finish
