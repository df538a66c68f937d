#!/bin/bash
# The device leaves nothing behind: no process, no mount, no root directory,
# whether the test using it passes, fails, is interrupted or killed outright.
. "$(dirname "$0")/e2e.sh"

work=${DEVICE_WORK:?}/teardown
mkdir -p "$work"
work=$(cd "$work" && pwd)
E2E_NAME=teardown
e2e_outputs "$work"

# A test body: boot, record what the host must later find gone, keep
# processes busy on the device, then end as told.
cat >"$work/user.sh" <<'EOF'
. "$DEVICE_SRC/device.sh" || exit 1
device_build "$1/root" "$DEVICE_SRC/fixtures/inittab.typical"
device_start
device_spawn /usr/bin/heartbeat -i by-hand
echo "pid=$DEVICE_PID" >"$1/state.new"
mv "$1/state.new" "$1/state"
# The checker pins the namespaces before the end comes.
while [ ! -e "$1/go" ]; do sleep 0.1; done
case $2 in
    fail) exit 3 ;;
    pass) exit 0 ;;
    block) : >"$1/blocked"; device_run /bin/sleep 1000 ;;
esac
EOF

# Host pids of the processes in namespace NS (as readlink shows it) of KIND.
processes_in() {
    local kind=$1 want=$2 ns
    for ns in /proc/[0-9]*/ns/"$kind"; do
        if [ "$(readlink "$ns" 2>/dev/null)" = "$want" ]; then
            ns=${ns#/proc/}
            echo "${ns%%/*}"
        fi
    done
}

no_processes_in() {
    [ -z "$(processes_in "$1" "$2")" ]
}

# Once the test body's device is up: hold its namespaces open, so that
# their inode numbers stay its own until checked, then let it go on.
pin_and_go() {
    local dir=$1 pid
    # Building the root comes before the boot, which may take 20 s itself.
    if ! device_wait 60 test -e "$dir/state"; then
        e2e_fail "the device never booted:"
        sed 's/^/    /' "$dir/log"
        kill -KILL "$USER_PID"
        return 1
    fi
    pid=$(sed -n 's/^pid=//p' "$dir/state")
    exec {MNT_FD}<"/proc/$pid/ns/mnt" {PID_FD}<"/proc/$pid/ns/pid"
    MNT_NS=$(readlink "/proc/self/fd/$MNT_FD")
    PID_NS=$(readlink "/proc/self/fd/$PID_FD")
    : >"$dir/go"
}

# Everything of the device is gone within seconds (20 under heavy load).
expect_gone() {
    local dir=$1 ending=$2 kind ns pid
    for kind in pid mnt; do
        ns=$PID_NS
        [ "$kind" = mnt ] && ns=$MNT_NS
        if ! device_wait 20 no_processes_in "$kind" "$ns"; then
            e2e_fail "processes left in the device's $kind namespace: $(processes_in "$kind" "$ns" | tr '\n' ' ')"
            # Not to leave them behind on the host either: the device's init
            # still lives if its PID namespace does.
            pid=$(sed -n 's/^pid=//p' "$dir/state")
            if [ "$kind" = pid ] && [ "$(readlink "/proc/$pid/ns/pid")" = "$PID_NS" ]; then
                kill -KILL "$pid"
            fi
        fi
    done
    exec {MNT_FD}<&- {PID_FD}<&-
    # Only SIGKILL leaves the directory; the next build wipes it.
    if [ "$ending" = removed ] && [ -e "$dir/root" ]; then
        e2e_fail "the device's root $dir/root was not removed"
    fi
    if findmnt -rn -o TARGET | grep -qF "$dir"; then
        e2e_fail "a mount of the device shows on the host"
    fi
}

export DEVICE_SRC

# Runs the test body in its own session, so a signal can hit its whole
# process group as a terminal's Ctrl-C would.
run_user() {
    local dir=$work/$1
    rm -rf "$dir"
    mkdir -p "$dir"
    # A background job starts with SIGINT ignored; a terminal's would not.
    setsid env --default-signal=INT bash "$work/user.sh" "$dir" "$2" >"$dir/log" 2>&1 &
    USER_PID=$!
}

for ending in pass fail; do
    e2e_case "a test that ends with '$ending'"
    run_user "$ending" "$ending"
    pin_and_go "$work/$ending" || continue
    wait "$USER_PID" 2>/dev/null
    status=$?
    case $ending in
        pass) [ "$status" = 0 ] || e2e_fail "exit status $status, expected 0" ;;
        fail) [ "$status" = 3 ] || e2e_fail "exit status $status, expected the test's own 3" ;;
    esac
    expect_gone "$work/$ending" removed
done

for signal in INT TERM KILL; do
    e2e_case "a test blocked on a device command gets SIG$signal"
    run_user "sig$signal" block
    pin_and_go "$work/sig$signal" || continue
    if ! device_wait 20 test -e "$work/sig$signal/blocked"; then
        e2e_fail "the test body did not reach its blocking command"
    fi
    # Ctrl-C reaches the whole foreground group; kill(1) reaches the
    # script alone, and SIGKILL leaves it no chance to clean up.
    if [ "$signal" = INT ]; then
        kill -INT -- "-$USER_PID"
    else
        kill "-$signal" "$USER_PID"
    fi
    wait "$USER_PID" 2>/dev/null
    if [ "$signal" = KILL ]; then
        expect_gone "$work/sig$signal" kept
    else
        expect_gone "$work/sig$signal" removed
    fi
done

rm -rf "$work/user.sh" "$work"/pass "$work"/fail "$work"/sig*
e2e_finish
