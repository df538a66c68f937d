# shellcheck shell=bash
# Checks shared by the end-to-end tests: run app_kelvane on the device and
# compare what a user sees (standard output, exit status, /etc/inittab, the
# system log, /tmp, the processes) with what the tool promises.
#
# Every case is written once, against the interface of target.sh, and runs
# on the target that KELVANE_TARGET names: the sandboxed device (namespace,
# the default) or the emulated ARM board (board).  Checks that only the
# sandboxed device can make (private mounts, strace) say so with
# e2e_namespace_only.
#
# A check that fails prints why and marks the test failed; the test goes on,
# so one run shows every broken case.  e2e_finish turns that into the status.

case ${KELVANE_TARGET:-namespace} in
    namespace) . "$(dirname "${BASH_SOURCE[0]}")/device.sh" ;;
    board) . "$(dirname "${BASH_SOURCE[0]}")/../board/board.sh" ;;
    *) echo "e2e: unknown KELVANE_TARGET ${KELVANE_TARGET}" >&2; exit 1 ;;
esac
set -uo pipefail

E2E_NAME=
E2E_OUT=
E2E_FAILED=0
E2E_CASE=
E2E_MARKS=0
E2E_LAUNCH=(device_run)
RC=
TOOL_PID=
LOG_FROM=
LOG_LINE=
LOCK_HOLDER=

E2E_FIXTURES="$DEVICE_SRC/fixtures"
# Seconds to wait for something that happens at once on an idle machine;
# only a failing check waits that long.
E2E_PATIENCE=10
LOCK=/tmp/tmp_lockfile
WORKING_COPY=/tmp/tmp_watchdog
USAGE='[USAGE] app_kelvane {register|deregister} Process1 Process2 ...(more)
[USAGE] app_kelvane -h: Get this information
[USAGE] app_kelvane -v: Get the module version'

# e2e_begin NAME [INITTAB]: build and boot a device of its own for this test.
e2e_begin() {
    E2E_NAME=$1
    local inittab=${2:-$E2E_FIXTURES/inittab.typical}
    local work=${DEVICE_WORK:?DEVICE_WORK names the scratch directory}
    mkdir -p "$work"
    work=$(cd "$work" && pwd)
    e2e_outputs "$work/$E2E_NAME.out"
    rm -rf "$E2E_OUT"
    mkdir -p "$E2E_OUT"
    device_build "$work/$E2E_NAME.root" "$inittab"
}

# The test's outputs go to DIR, without the failures of an earlier run.
e2e_outputs() {
    E2E_OUT=$1
    rm -f "$E2E_OUT/failures"
}

# The rest of the test needs what only the sandboxed device has.
e2e_namespace_only() {
    [ "$DEVICE_KIND" = namespace ] && return 0
    echo "== $E2E_NAME: the rest needs the sandboxed device ($*); not on the $DEVICE_KIND"
    return 1
}

# Puts in-ns on the device, for runs in a mount namespace of their own.
e2e_install_in_ns() {
    mkdir -p "$DEVICE_ROOT/usr/libexec/e2e"
    cp "$DEVICE_SRC/in-ns" "$DEVICE_ROOT/usr/libexec/e2e/in-ns"
    chmod 0755 "$DEVICE_ROOT/usr/libexec/e2e/in-ns"
}

# Runs CMD on the device in a mount namespace of its own.  BusyBox's unshare
# cannot set up one in a root that is not a mount point; the host's can,
# before it enters the root.
device_run_own_mounts() {
    nsenter -t "$DEVICE_PID" -m -u -i -n -p -- \
        unshare --mount --propagation private chroot "$DEVICE_ROOT" "$@" <&0 &
    wait "$!"
}

# The next runs are prepared by in-ns SETUP; without SETUP, plain again.
in_ns() {
    if [ $# -eq 0 ]; then
        E2E_LAUNCH=(device_run)
    else
        E2E_LAUNCH=(device_run_own_mounts /usr/libexec/e2e/in-ns "$1")
    fi
}

e2e_boot() {
    device_start
    echo "== $E2E_NAME: $DEVICE_KIND up (tool: ${KELVANE_ARCH:-host}, $(device_run /bin/uname -m)${BOARD_BOOT_SECONDS:+, ready in $BOARD_BOOT_SECONDS s})"
}

e2e_case() {
    E2E_CASE=$1
    echo "-- $E2E_CASE"
}

# A check may fail inside a pipeline or a command substitution, in a
# subshell whose variables are lost: the failure is noted in a file, and
# said on standard error, which no substitution captures.
e2e_fail() {
    E2E_FAILED=1
    echo "[$E2E_CASE] $*" >>"$E2E_OUT/failures"
    echo "FAIL [$E2E_CASE]: $*" >&2
}

e2e_finish() {
    [ ! -s "$E2E_OUT/failures" ] || E2E_FAILED=1
    if [ "$E2E_FAILED" = 0 ]; then
        rm -rf "$E2E_OUT"
        echo "== $E2E_NAME: all checks passed"
        exit 0
    fi
    echo "== $E2E_NAME: FAILED (outputs kept in $E2E_OUT)"
    exit 1
}

# --- the system log ------------------------------------------------------

# Writes a mark through syslogd and waits for it: every line logged before
# the mark was sent is in the file once the mark is.
log_mark() {
    E2E_MARKS=$((E2E_MARKS + 1))
    local mark="e2e-mark-$E2E_MARKS"
    device_run /usr/bin/logger -t e2e "$mark"
    if ! device_wait "$E2E_PATIENCE" device_run /bin/grep -q "e2e: $mark\$" /var/log/messages; then
        e2e_fail "syslogd lost the mark $mark"
        LOG_LINE=$(device_get /var/log/messages | wc -l)
        return
    fi
    LOG_LINE=$(device_run /bin/grep -n "e2e: $mark\$" /var/log/messages | cut -d: -f1)
}

# Lines of the system log after line FROM (a mark).
log_since() {
    device_run /usr/bin/tail -n +"$(($1 + 1))" /var/log/messages
}

# Lines FROM+1 to TO-1 of the system log (between two marks), and the
# tool's own of them as "facility.priority text".
log_between() {
    device_run /bin/sed -n "$(($1 + 1)),$(($2 - 1))p" /var/log/messages
}

app_lines() {
    sed -n 's/^.\{15\} [^ ]* \([a-z]*\.[a-z]*\) app_kelvane: \(.*\)$/\1 \2/p'
}

# --- running the tool ----------------------------------------------------

# run_app ARG...: run app_kelvane on the device through a shell that notes
# its pid (the tool's, once it execs) and then gets out of the way; E2E_LAUNCH
# starts that shell on the device.  Leaves RC, TOOL_PID and, in E2E_OUT, out,
# err, log (the system log of the run) and applog (the tool's lines of it).
E2E_PIDFILE=/var/run/e2e-tool.pid
# Longer than the lock's seven waits of at most 10 s each: a run that has
# not ended by then hangs, and is killed (BusyBox timeout execs the command
# in its own process, so the pid noted is still the tool's).
E2E_RUN_LIMIT=100
run_app() {
    log_mark
    LOG_FROM=$LOG_LINE
    "${E2E_LAUNCH[@]}" /usr/bin/timeout -s KILL "$E2E_RUN_LIMIT" \
        /bin/sh -c 'echo $$ >"$0"; exec "$@"' "$E2E_PIDFILE" \
        "${DEVICE_APP[@]}" "$@" >"$E2E_OUT/out" 2>"$E2E_OUT/err" </dev/null
    RC=$?
    [ "$RC" != 137 ] || e2e_fail "app_kelvane $* did not end within $E2E_RUN_LIMIT s"
    TOOL_PID=$(device_get "$E2E_PIDFILE")
    log_mark
    log_between "$LOG_FROM" "$LOG_LINE" >"$E2E_OUT/log"
    app_lines <"$E2E_OUT/log" >"$E2E_OUT/applog"
    # The tool writes nothing to standard error; a sanitizer report lands here.
    if [ -s "$E2E_OUT/err" ]; then
        e2e_fail "standard error is not empty:"
        sed 's/^/    /' "$E2E_OUT/err"
    fi
}

# The last run succeeded and said nothing, on standard output or in the log.
expect_quiet_success() {
    expect_rc 0
    expect_out </dev/null
    expect_app_log </dev/null
}

# The last edit left FILE as /etc/inittab and a clean /tmp, and init read it.
expect_edit_done() {
    expect_inittab "$1"
    expect_tmp_after_lock
    expect_reload
}

expect_rc() {
    [ "$RC" = "$1" ] || e2e_fail "exit status $RC, expected $1"
}

# Standard output, line for line, against the expected text on stdin.
expect_out() {
    local diffs
    if ! diffs=$(diff -u - "$E2E_OUT/out" | tail -n +3); then
        e2e_fail "standard output differs (- expected, + actual):"
        printf '%s\n' "$diffs" | sed 's/^/    /'
    fi
}

# The tool's own log lines of the last run, in order, against stdin.
expect_app_log() {
    local diffs
    if ! diffs=$(diff -u - "$E2E_OUT/applog" | tail -n +3); then
        e2e_fail "app_kelvane's system log lines differ (- expected, + actual):"
        printf '%s\n' "$diffs" | sed 's/^/    /'
    fi
}

# /etc/inittab on the device, byte for byte, against FILE.
expect_inittab() {
    local actual=$E2E_OUT/inittab.actual
    device_get /etc/inittab >"$actual"
    if ! cmp -s "$1" "$actual"; then
        e2e_fail "/etc/inittab differs from $(basename "$1") (- expected, + actual):"
        diff -u "$1" "$actual" | tail -n +3 | sed 's/^/    /'
    fi
}

# After a run that held the lock: no working copy, an empty lock file.
expect_tmp_after_lock() {
    local found
    # shellcheck disable=SC2016 # expanded on the device
    found=$(device_sh '
        if [ -e "$1" ] || [ -L "$1" ]; then echo "$1 is left behind"; fi
        if [ -L "$2" ] || [ ! -f "$2" ]; then echo "$2 is not a regular file"
        elif [ -s "$2" ]; then echo "$2 is not empty"; fi' "$WORKING_COPY" "$LOCK")
    [ -z "$found" ] || e2e_fail "$found"
}

# --- init ---------------------------------------------------------------

reload_count_since() {
    log_since "$1" | grep -c ' daemon\.[a-z]* .*reloading /etc/inittab$'
}

reloaded_since() {
    [ "$(reload_count_since "$1")" -ge 1 ]
}

# init re-read the inittab after the last run.
expect_reload() {
    if ! device_wait "$E2E_PATIENCE" reloaded_since "$LOG_FROM"; then
        e2e_fail "init did not reload /etc/inittab"
    fi
}

# init was not signalled by the last run (or since the log line FROM).  A
# SIGHUP is acted on within milliseconds; a second of grace shows a late one.
expect_no_reload() {
    local from=${1:-$LOG_FROM}
    sleep 1
    log_mark
    if [ "$(reload_count_since "$from")" != 0 ]; then
        e2e_fail "init was told to reload /etc/inittab"
    fi
}

# --- processes ----------------------------------------------------------

# Device pids whose command line is exactly the given words, in /proc order.
# Kernel threads have no program, so the walk skips them without a read.
pids_of() {
    # shellcheck disable=SC2016 # expanded on the device
    device_sh 'for dir in /proc/[0-9]*; do
            [ -e "$dir/exe" ] || continue
            cmd=$(od -An -tx1 "$dir/cmdline" 2>/dev/null | tr -d " \n") || continue
            [ "$cmd" = "$1" ] && echo "${dir#/proc/}"
        done' "$(printf '%s\0' "$@" | od -An -tx1 | tr -d ' \n')"
}

ppid_of() {
    device_get "/proc/$1/status" 2>/dev/null | awk '$1 == "PPid:" { print $2 }'
}

# The device pid is still a process, or no more.
is_running() {
    device_run /usr/bin/test -d "/proc/$1"
}

is_gone() {
    ! is_running "$1"
}

# Starts the sample program on the device by hand (not from init); prints
# its device pid once it has logged its start.
start_by_hand() {
    local path=$1 name=${1##*/} before
    shift
    before=$(start_count "$name")
    device_spawn "$path" "$@"
    if ! device_wait "$E2E_PATIENCE" start_count_above "$name" "$before"; then
        e2e_fail "$path did not start"
        return 1
    fi
    heartbeat_log "$name" | awk '$2 == "start"' | tail -n 1 | cut -d' ' -f1
}

process_count_is() {
    [ "$(pids_of "${@:2}" | wc -l)" = "$1" ]
}

# One process runs with exactly these words as its command line, started by
# init; prints its pid.
wait_running_under_init() {
    local pids
    if ! device_wait "$E2E_PATIENCE" process_count_is 1 "$@"; then
        e2e_fail "no single process '$*' within $E2E_PATIENCE s (have: $(pids_of "$@" | tr '\n' ' '))"
        return 1
    fi
    pids=$(pids_of "$@")
    [ "$(ppid_of "$pids")" = 1 ] || e2e_fail "'$*' (pid $pids) was not started by init"
    echo "$pids"
}

# No process with this command line for SECONDS, polled: a respawn would show.
expect_stays_stopped() {
    local seconds=$1 deadline
    shift
    deadline=$((SECONDS + seconds))
    while [ "$SECONDS" -lt "$deadline" ]; do
        if [ -n "$(pids_of "$@")" ]; then
            e2e_fail "'$*' runs again (pid $(pids_of "$@" | tr '\n' ' '))"
            return
        fi
        sleep 0.2
    done
}

# Who sent SIGTERM to PID, from the sample program's log; empty if nobody.
term_sender() {
    heartbeat_log "$1" | awk -v pid="$2" '$1 == pid && $2 == "term" { sub("from=", "", $3); print $3 }'
}

has_term_sender() {
    [ -n "$(term_sender "$1" "$2")" ]
}

# The sample program's pid got SIGTERM soon (from anyone).
wait_terminated() {
    device_wait "$E2E_PATIENCE" has_term_sender "$1" "$2" ||
        e2e_fail "$1 (pid $2) got no SIGTERM"
}

# --- the instance lock --------------------------------------------------

# Another process takes the tool's lock and holds it for SECONDS; returns
# once it holds it.  The command that flock runs holds the lock too, and its
# device pid is LOCK_HOLDER.  As root it makes a missing lock file private,
# as the tool does; as another USER it runs flock with OPTION... (-s for a
# shared lock).
hold_lock() {
    local seconds=$1 user=${2:-root} ready=/tmp/lock-held holder
    shift $(($# < 2 ? $# : 2))
    holder=(/usr/bin/flock "$@" "$LOCK"
        /bin/sh -c 'echo $$ >"$1.new" && mv "$1.new" "$1" && exec sleep "$2"' sh "$ready" "$seconds")
    device_run /bin/rm -f "$ready"
    # shellcheck disable=SC2016 # expanded on the device
    if [ "$user" = root ]; then
        device_spawn /bin/sh -c 'umask 077 && exec "$@"' sh "${holder[@]}"
    else
        device_spawn /bin/su -s /bin/sh "$user" -c "exec$(target_quote "${holder[@]}")"
    fi
    if device_wait "$E2E_PATIENCE" device_run /usr/bin/test -s "$ready"; then
        LOCK_HOLDER=$(device_get "$ready")
    else
        e2e_fail "flock did not take the lock"
    fi
}

release_lock() {
    device_run /bin/kill "$LOCK_HOLDER"
    device_wait "$E2E_PATIENCE" is_gone "$LOCK_HOLDER" ||
        e2e_fail "the lock holder did not end"
}

# True when at least SECONDS passed since STARTED (both from date +%s.%N).
elapsed_at_least() {
    awk -v started="$1" -v now="$(date +%s.%N)" -v seconds="$2" \
        'BEGIN { exit !(now - started >= seconds) }'
}

# Standard output of a run that met a held lock (in FILE, default the last
# run's): pairs of the failure and the random wait, at least MIN (default 1),
# then TAIL (lines, possibly none).  Sets WAITS to the sum of the waits and
# PAIRS to their number.
expect_lock_waits() {
    local tail=$1 file=${2:-$E2E_OUT/out} min=${3:-1} line waiting=
    WAITS=0
    PAIRS=0
    while IFS= read -r line; do
        if [ -z "$waiting" ] && [ "$line" = "FLock fail by error: Resource temporarily unavailable" ]; then
            waiting=yes
        elif [ -n "$waiting" ] && [[ $line =~ ^Need\ wait\ a\ Random\ Time\ ([1-9]|10)$ ]]; then
            WAITS=$((WAITS + BASH_REMATCH[1]))
            PAIRS=$((PAIRS + 1))
            waiting=
        else
            break
        fi
    done <"$file"
    [ -z "$waiting" ] || e2e_fail "a lock failure without its wait"
    [ "$PAIRS" -ge "$min" ] || e2e_fail "$PAIRS lock failures and waits printed, at least $min expected"
    if ! diff -u <(printf '%s' "$tail") <(tail -n +"$((2 * PAIRS + 1))" "$file") >/dev/null; then
        e2e_fail "standard output after the waits differs:"
        sed 's/^/    /' "$file"
    fi
}
