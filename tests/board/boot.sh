#!/bin/bash
# The emulated board itself: it boots its own ARM kernel with BusyBox init
# as process 1 and /etc on ext4, the harness moves commands and bytes to
# and from it exactly, a board that stops answering fails the test instead
# of hanging it, and nothing of a board outlives its test.
. "$(dirname "$0")/board.sh"
set -uo pipefail

WORK=${DEVICE_WORK:?DEVICE_WORK names the scratch directory}
FAILED=0

fail() {
    FAILED=1
    echo "FAIL: $*"
}

# expect WHAT EXPECTED ACTUAL
expect() {
    [ "$2" = "$3" ] || fail "$1: got '$3', expected '$2'"
}

# boot NAME: a board with the typical inittab, and a file of the test's
# own in /etc (the disk) and in /root (the initramfs).
boot() {
    device_build "$WORK/$1.root" "$DEVICE_SRC/fixtures/inittab.typical"
    echo "$1 on the disk" >"$DEVICE_ROOT/etc/board-check"
    echo "$1 in memory" >"$DEVICE_ROOT/root/board-check"
    device_start
    echo "== $1: ready in $BOARD_BOOT_SECONDS s"
}

gone() {
    (BOARD_QEMU_PID=$1 && board_gone)
}

# device_stop succeeds, and neither qemu nor a file of the board is left.
expect_stopped() {
    local qemu=$BOARD_QEMU_PID root=$DEVICE_ROOT
    device_stop || fail "device_stop failed"
    gone "$qemu" || fail "qemu (pid $qemu) still runs"
    [ ! -e "$root" ] && [ ! -e "$root.board" ] || fail "files of the board are left beside $root"
}

check_system() {
    expect "uname -m" armv7l "$(device_run /bin/uname -m)"
    # BusyBox init overwrites its argv[0] with "init".
    expect "process 1" init "$(device_get /proc/1/cmdline | tr '\0' '\n' | sed -n 1p)"
    expect "/etc" "/dev/vda ext4" "$(device_run /usr/bin/awk '$2 == "/etc" { print $1, $3 }' /proc/mounts)"
    case ,$(device_run /usr/bin/awk '$2 == "/etc" { print $4 }' /proc/mounts), in
        *,commit=1,*) ;;
        *) fail "/etc is not mounted with commit=1" ;;
    esac
    expect "/tmp" "tmpfs 1777" "$(device_run /bin/sh -c 'echo "$(stat -f -c %T /tmp) $(stat -c %a /tmp)"')"
    expect "the test's file on the disk" "board-boot on the disk" "$(device_get /etc/board-check)"
    expect "the test's file in memory" "board-boot in memory" "$(device_get /root/board-check)"
}

has_mark() {
    device_run /bin/grep -q "^.\{15\} [^ ]* user\.notice boot-check: $1\$" /var/log/messages
}

check_log_and_tool() {
    local out
    device_run /usr/bin/logger -t boot-check "mark $$"
    device_wait 10 has_mark "mark $$" || fail "syslogd did not write the mark to /var/log/messages"
    out=$(device_run "${DEVICE_APP[@]}" -v)
    expect "app_kelvane -v status" 1 "$?"
    expect "app_kelvane -v" "The version is 1.1.0.0" "$out"
}

# Files of every awkward kind go there and back unchanged, and the board's
# own md5sum sees the bytes the host sent.
check_files() {
    local dir=$WORK/board-files name
    rm -rf "$dir"
    mkdir -p "$dir"
    printf '%b' "$(printf '\\0%03o' $(seq 1 255))" >"$dir/bytes"
    printf 'the last line has no newline' >"$dir/no-newline"
    : >"$dir/empty"
    head -c 200000 /dev/urandom >"$dir/random"
    for name in bytes no-newline empty random; do
        device_put "/etc/$name" <"$dir/$name" || fail "device_put /etc/$name failed"
        device_get "/etc/$name" >"$dir/$name.back" || fail "device_get /etc/$name failed"
        cmp -s "$dir/$name" "$dir/$name.back" || fail "/etc/$name came back changed"
        expect "md5sum of /etc/$name on the board" "$(md5sum <"$dir/$name" | cut -d' ' -f1)" \
            "$(device_run /usr/bin/md5sum "/etc/$name" | cut -d' ' -f1)"
    done
    rm -rf "$dir"
}

check_commands() {
    local args=("two words" "it's" '$HOME' $'a\nnewline' "" '"quoted"' '*' '\' ' edges ' $'\t' 'é ✓' $'\x80\xff')
    expect "arguments" "$(printf '[%s]\n' "${args[@]}")" \
        "$(device_run /bin/sh -c 'for a; do printf "[%s]\n" "$a"; done' sh "${args[@]}")"
    device_run /bin/true
    expect "status of true" 0 "$?"
    device_run /bin/sh -c 'exit 7'
    expect "status of exit 7" 7 "$?"
    device_run /bin/sh -c 'kill -KILL $$'
    expect "status of a killed command" 137 "$?"
    device_run /no/such/program 2>/dev/null
    expect "status of a missing program" 127 "$?"
    expect "standard output" out "$(device_run /bin/sh -c 'echo out; echo err >&2' 2>/dev/null)"
    expect "standard error" err "$(device_run /bin/sh -c 'echo out; echo err >&2' 2>&1 >/dev/null)"
    expect "directory and standard input" / "$(echo from-the-host | device_run /bin/sh -c 'pwd; cat')"
}

# A spawned program runs detached while the caller goes on, and once it
# ends it is gone from /proc (no zombie for a test to mistake for it).
check_spawn() {
    local started=$SECONDS pid
    device_spawn /usr/bin/heartbeat -i spawned
    device_spawn /bin/sleep 60
    [ $((SECONDS - started)) -lt 10 ] || fail "device_spawn waited for its program"
    device_wait 10 start_count_above heartbeat 0 || { fail "the spawned heartbeat did not start"; return; }
    pid=$(heartbeat_log heartbeat | awk '$2 == "start" { print $1 }')
    # A test tells the programs init started by their parent, 1.
    [ "$(device_get "/proc/$pid/status" | awk '$1 == "PPid:" { print $2 }')" != 1 ] ||
        fail "the spawned heartbeat's parent is init"
    expect "the spawned program's standard output" /dev/null "$(device_run /bin/readlink "/proc/$pid/fd/1")"
    device_run /bin/kill "$pid"
    device_wait 10 device_run /bin/sh -c '! test -d "/proc/$1"' sh "$pid" ||
        fail "the spawned heartbeat (pid $pid) is still in /proc after SIGTERM"
}

# The agent dies while it runs a command: that request fails within its
# timeout, the board is cut, and the next request fails at once.
check_no_answer() {
    local agent started rc err=$WORK/board-no-answer.err
    agent=$(device_get /var/run/board-agent/pid)
    started=$SECONDS
    (BOARD_TIMEOUT=5 device_run /bin/kill -KILL "$agent") 2>"$err"
    rc=$?
    expect "status of the unanswered request" 1 "$rc"
    [ $((SECONDS - started)) -ge 4 ] && [ $((SECONDS - started)) -le 15 ] ||
        fail "the unanswered request took $((SECONDS - started)) s with a timeout of 5 s"
    grep -q "the board did not answer device_run /bin/kill -KILL $agent within 5 s" "$err" ||
        fail "no clear message: $(cat "$err")"
    started=$SECONDS
    (device_run /bin/true) 2>"$err"
    expect "status of a request to the cut board" 1 "$?"
    [ $((SECONDS - started)) -le 2 ] || fail "a request to the cut board took $((SECONDS - started)) s"
    grep -q "the board is not running" "$err" || fail "no clear message: $(cat "$err")"
    rm -f "$err"
}

# A test shell killed outright runs no trap: the death signal ends qemu.
check_killed_shell() {
    local state=$WORK/board-killed.state shell qemu
    rm -f "$state"
    # shellcheck disable=SC2016 # expanded by the child shell
    bash -c '. "$1/board.sh"
        device_build "$2.root" "$DEVICE_SRC/fixtures/inittab.typical"
        device_start
        echo "$BOARD_QEMU_PID" >"$2"
        exec sleep 600' sh "$BOARD_SRC" "$state" >/dev/null 2>&1 &
    shell=$!
    device_wait 60 test -s "$state" || fail "the child shell did not boot its board"
    qemu=$(cat "$state" 2>/dev/null)
    kill -KILL "$shell"
    wait "$shell" 2>/dev/null
    if [ -n "$qemu" ] && ! device_wait 10 gone "$qemu"; then
        fail "qemu (pid $qemu) outlived its killed shell"
        kill -KILL "$qemu"
    fi
    rm -rf "$state" "$state.root" "$state.root.board"
}

mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)

boot board-boot
check_system
check_log_and_tool
check_files
check_commands
check_spawn
expect_stopped

boot board-no-answer
check_no_answer
expect_stopped

check_killed_shell

if [ "$FAILED" = 0 ]; then
    echo "== board: all checks passed"
    exit 0
fi
echo "== board: FAILED"
exit 1
