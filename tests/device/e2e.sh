# shellcheck shell=bash
# The one harness of the tests that run app_kelvane as a program: boot a
# device, run the tool there, and compare what a user sees (standard output,
# exit status, /etc/inittab, the system log, /tmp, the processes) with what
# the tool promises.  The end-to-end cases use it as it is; the fault tests
# (tests/fault/device/fault.sh) add strace's traces and sweeps on top.
#
# Every case is written once, against the interface of target.sh, and runs
# on the target that KELVANE_TARGET names: the sandboxed device (namespace,
# the default) or the emulated ARM board (board).  Checks that only the
# sandboxed device can make (private mounts, strace) say so with
# e2e_namespace_only.
#
# A check that fails prints why and marks the test failed; the test goes on,
# so one run shows every broken case.  e2e_finish turns that into the status.
# A probe that cannot look (a device command that fails, a log that cannot
# be read) fails the check it serves; it never reads as "nothing there".

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
RC=
TOOL_PID=
LOG_FROM=
LOG_LINE=
LOCK_HOLDER=
LOCK_WAITS=0
WAITS=0
LOCK_ERRORS=

E2E_FIXTURES="$DEVICE_SRC/fixtures"
# Seconds to wait for something that happens at once on an idle machine;
# only a failing check waits that long.  The board's emulated processor
# takes about ten times as long for everything.  A signal is acted on
# within E2E_GRACE seconds: a check that something did not happen waits
# that long first.
if [ "$DEVICE_KIND" = board ]; then
    E2E_PATIENCE=30
    E2E_GRACE=3
else
    E2E_PATIENCE=10
    E2E_GRACE=1
fi
LOCK=/tmp/tmp_lockfile
WORKING_COPY=/tmp/tmp_watchdog
USAGE='[USAGE] app_kelvane {register|deregister} Process1 Process2 ...(more)
[USAGE] app_kelvane -h: Get this information
[USAGE] app_kelvane -v: Get the module version'
TYPICAL=$E2E_FIXTURES/inittab.typical
TYPICAL_LINES=$(wc -l <"$TYPICAL")

# e2e_begin NAME [INITTAB]: build and boot a device of its own for this test.
e2e_begin() {
    E2E_NAME=$1
    local inittab=${2:-$TYPICAL}
    local work=${DEVICE_WORK:?DEVICE_WORK names the scratch directory}
    mkdir -p "$work"
    work=$(cd "$work" && pwd)
    e2e_outputs "$work/$E2E_NAME.out"
    rm -rf "$E2E_OUT"
    mkdir -p "$E2E_OUT"
    device_build "$work/$E2E_NAME.root" "$inittab"
    # What the inittab holds until a case says otherwise.
    EXPECTED=$E2E_OUT/inittab.expected
    cp "$inittab" "$EXPECTED"
    REGISTERED=()
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

# Runs CMD on the device in a mount namespace of its own.  BusyBox's unshare
# cannot set up one in a root that is not a mount point; the host's can,
# before it enters the root.
device_run_own_mounts() {
    nsenter -t "$DEVICE_PID" -m -u -i -n -p -- \
        unshare --mount --propagation private chroot "$DEVICE_ROOT" "$@" <&0 &
    wait "$!"
}

# strace (the host's, static enough to run in the root with its libraries)
# on the sandboxed device, for runs that are traced or see a call fail.
E2E_TRACES=/e2e-traces # on the device's root file system, never in its /tmp
e2e_install_strace() {
    local strace
    strace=$(command -v strace) || device_missing strace
    device_install_host_program "$DEVICE_ROOT" "$strace" /usr/bin/strace
    mkdir -p "$DEVICE_ROOT$E2E_TRACES"
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

target_probe_failed() {
    e2e_fail "$@"
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
# the mark was sent is in the file once the mark is.  Leaves LOG_LINE.
log_mark() {
    E2E_MARKS=$((E2E_MARKS + 1))
    local mark="e2e-mark-$E2E_MARKS"
    device_run /usr/bin/logger -t e2e "$mark" || e2e_fail "logger cannot send the mark $mark"
    if ! device_wait "$E2E_PATIENCE" device_run /bin/grep -q "e2e: $mark\$" /var/log/messages; then
        e2e_fail "syslogd lost the mark $mark"
        LOG_LINE=$(device_get /var/log/messages | wc -l)
        return
    fi
    LOG_LINE=$(device_run /bin/grep -n "e2e: $mark\$" /var/log/messages | cut -d: -f1)
}

# Lines of the system log after line FROM (a mark).
log_since() {
    device_run /usr/bin/tail -n +"$(($1 + 1))" /var/log/messages ||
        e2e_fail "cannot read the system log"
}

# Lines FROM+1 to TO-1 of the system log (between two marks).
log_between() {
    device_run /bin/sed -n "$(($1 + 1)),$(($2 - 1))p" /var/log/messages ||
        e2e_fail "cannot read the system log"
}

# The tool's own lines, as "facility.priority text".
app_lines() {
    sed -n 's/^.\{15\} [^ ]* \([a-z]*\.[a-z]*\) app_kelvane: \(.*\)$/\1 \2/p'
}

# --- running the tool ----------------------------------------------------

# run_app [OPTION...] [--] ARG...: runs app_kelvane ARG... on the device.
#   --no-log       leave the system log alone (a sweep's many runs)
#   --timeout SEC  kill the run after SEC seconds (default E2E_RUN_LIMIT)
#   --user NAME    run it as that user of the device
#   --trace        run it under strace (the sandboxed device only)
#   --inject EXPR  ... with strace -e inject=EXPR (repeatable)
#   --no-proc      run it where /proc is not mounted (the sandboxed device)
# Leaves RC and TOOL_PID, LOCK_WAITS, WAITS and LOCK_ERRORS (split_lock_waits)
# and, in E2E_OUT: out, err, rest, log and applog (the tool's lines of the
# run's system log), trace (the tool's own calls, for a traced run).
E2E_PIDFILE=/var/run/e2e-tool.pid
# A root of the device's directories but /proc (of which an empty mount
# point would stay), bound in a mount namespace of the run's own.
# shellcheck disable=SC2016 # expanded on the device
E2E_NO_PROC='root=/var/run/no-proc
    for dir in bin sbin usr lib lib64 etc tmp dev var; do
        [ ! -d "/$dir" ] || { mkdir -p "$root/$dir" && mount --bind "/$dir" "$root/$dir"; } || exit 99
    done
    exec chroot "$root" "$@"'

# Longer than the lock's seven waits of at most 10 s each: a run that has
# not ended by then hangs, and is killed.  Empty for none.
E2E_RUN_LIMIT=100
run_app() {
    local log=1 limit=$E2E_RUN_LIMIT user= traced=0 strace=() launch=(device_run) command started
    while [ $# -gt 0 ]; do
        case $1 in
            --no-log) log=0 ;;
            --timeout) limit=$2; shift ;;
            --user) user=$2; shift ;;
            --trace) traced=1 ;;
            --inject) traced=1; strace+=(-e "inject=$2"); shift ;;
            --no-proc) launch=(device_run_own_mounts /bin/sh -c "$E2E_NO_PROC" sh) ;;
            --) shift; break ;;
            *) break ;;
        esac
        shift
    done
    command=("${DEVICE_APP[@]}" "$@")
    if [ "$traced" = 1 ]; then
        [ "$DEVICE_KIND" = namespace ] || device_die "run_app --trace needs the sandboxed device"
        rm -rf "$(device_file "$E2E_TRACES")"/run.*
        [ -z "$user" ] || strace+=(-u "$user")
        # A failed lock attempt sleeps 1 to 10 s before the retry; the
        # retry is what matters here, not the wait.
        # shellcheck disable=SC2054 # one strace argument names two calls
        command=(/usr/bin/strace -f -ff -y -q -s 48 -o "$E2E_TRACES/run"
            -e inject=clock_nanosleep,nanosleep:retval=0:when=1 "${strace[@]}" -- "${command[@]}")
    elif [ -n "$user" ]; then
        command=(/bin/su -s /bin/sh "$user" -c "exec$(target_quote "${command[@]}")")
    else
        # The shell notes its pid, the tool's once it execs.
        command=(/bin/sh -c 'echo $$ >"$0"; exec "$@"' "$E2E_PIDFILE" "${command[@]}")
    fi
    # BusyBox timeout execs the command in its own process.
    [ -z "$limit" ] || command=(/usr/bin/timeout -s KILL "$limit" "${command[@]}")
    if [ "$log" = 1 ]; then
        log_mark
        LOG_FROM=$LOG_LINE
    fi
    started=$SECONDS
    "${launch[@]}" "${command[@]}" >"$E2E_OUT/out" 2>"$E2E_OUT/err" </dev/null
    RC=$?
    [ "$RC" != 137 ] || [ -z "$limit" ] || [ $((SECONDS - started)) -lt "$limit" ] ||
        e2e_fail "app_kelvane $* did not end within $limit s"
    run_collect "$traced" "$user" "$log"
}

# What run_app leaves behind it, from a run TRACED or not, as USER, with
# its LOG or without.
run_collect() {
    local traced=$1 user=$2 log=$3 file
    split_lock_waits
    TOOL_PID=
    : >"$E2E_OUT/trace"
    if [ "$traced" = 1 ]; then
        # The tool's own trace starts with its execve; an emulator's helper
        # threads have files of their own.
        for file in "$(device_file "$E2E_TRACES")"/run.*; do
            if [ -f "$file" ] && head -n 1 "$file" | grep -q '^execve('; then
                cp "$file" "$E2E_OUT/trace"
                TOOL_PID=${file##*.}
            fi
        done
        [ -n "$TOOL_PID" ] || e2e_fail "strace left no trace of the tool"
    elif [ -z "$user" ]; then
        TOOL_PID=$(device_get "$E2E_PIDFILE") || e2e_fail "the run noted no pid"
    fi
    : >"$E2E_OUT/log"
    if [ "$log" = 1 ]; then
        log_mark
        log_between "$LOG_FROM" "$LOG_LINE" >"$E2E_OUT/log"
    fi
    app_lines <"$E2E_OUT/log" >"$E2E_OUT/applog"
    # The tool writes nothing to standard error; a sanitizer report lands
    # here.  A run killed on purpose leaves the shell's note of it.
    if [ -s "$E2E_OUT/err" ] && [ "$RC" != 137 ]; then
        e2e_fail "standard error is not empty:"
        sed 's/^/    /' "$E2E_OUT/err"
    fi
}

# Splits standard output (FILE, default the last run's): LOCK_WAITS pairs of
# the lock's failure and wait messages start it, announcing WAITS seconds
# in all, LOCK_ERRORS holds their error texts (one a line), and the lines
# after them go to $E2E_OUT/rest.
split_lock_waits() {
    local file=${1:-$E2E_OUT/out}
    read -r LOCK_WAITS WAITS < <(awk -v rest="$E2E_OUT/rest" -v errors="$E2E_OUT/lock-errors" '
        { line[NR] = $0 }
        END {
            printf "" >rest
            printf "" >errors
            i = 1
            while (i < NR && line[i] ~ /^FLock fail by error: ./ &&
                   match(line[i + 1], /^Need wait a Random Time ([1-9]|10)$/)) {
                print substr(line[i], 22) >errors
                pairs++
                seconds += substr(line[i + 1], 25)
                i += 2
            }
            for (; i <= NR; i++)
                print line[i] >rest
            print pairs + 0, seconds + 0
        }' "$file")
    LOCK_ERRORS=$(cat "$E2E_OUT/lock-errors")
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

# The last run changed nothing: $EXPECTED, a clean /tmp, init left alone.
expect_unchanged() {
    expect_inittab "$EXPECTED"
    expect_tmp_after_lock
    expect_no_reload
}

# inittab_with OUT BASE NEW ENTRY...: BASE as the tool leaves it, with its
# count line of NEW and a respawn entry for each ENTRY, in OUT.
inittab_with() {
    local out=$1 base=$2 new=$3
    shift 3
    { cat "$base"; echo "# Orig:$(wc -l <"$base") New:$new"; [ $# = 0 ] || printf '::respawn:%s\n' "$@"; } >"$out"
}

# The inittab is the typical one with a count line and respawn entries of
# ENTRY..., in whatever order the runs that made them took the lock.
expect_typical_in_any_order() {
    local actual=$E2E_OUT/inittab.sorted entries
    device_get /etc/inittab >"$E2E_OUT/inittab" || e2e_fail "cannot read /etc/inittab"
    { head -n "$((TYPICAL_LINES + 1))" "$E2E_OUT/inittab"
        tail -n +"$((TYPICAL_LINES + 2))" "$E2E_OUT/inittab" | sort; } >"$actual"
    mapfile -t entries < <([ $# = 0 ] || printf '%s\n' "$@" | sort)
    inittab_with "$EXPECTED" "$TYPICAL" $# "${entries[@]}"
    if ! cmp -s "$EXPECTED" "$actual"; then
        e2e_fail "/etc/inittab differs (- expected, + actual, entries sorted):"
        diff -u "$EXPECTED" "$actual" | tail -n +3 | sed 's/^/    /'
    fi
}

# The last run registered ENTRY... on the typical inittab, after those of
# the earlier runs, and init read the result.
expect_registered() {
    REGISTERED+=("$@")
    inittab_with "$EXPECTED" "$TYPICAL" "${#REGISTERED[@]}" "${REGISTERED[@]}"
    expect_edit_done "$EXPECTED"
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

# Standard output after the lock's wait messages, against the lines given.
expect_out_lines() {
    local diffs
    if ! diffs=$({ [ $# -eq 0 ] || printf '%s\n' "$@"; } | diff -u - "$E2E_OUT/rest"); then
        e2e_fail "standard output after the lock's messages differs (- expected, + actual):"
        printf '%s\n' "$diffs" | tail -n +3 | sed 's/^/    /'
    fi
}

# The run printed from MIN to MAX (default MIN) pairs of the lock's wait
# messages before the rest.
expect_lock_waits() {
    [ "$LOCK_WAITS" -ge "$1" ] && [ "$LOCK_WAITS" -le "${2:-$1}" ] ||
        e2e_fail "$LOCK_WAITS pairs of lock wait messages, expected ${2:+from }$1${2:+ to $2}"
}

# The tool's own log lines of the last run, in order, against stdin.
expect_app_log() {
    local diffs
    if ! diffs=$(diff -u - "$E2E_OUT/applog" | tail -n +3); then
        e2e_fail "app_kelvane's system log lines differ (- expected, + actual):"
        printf '%s\n' "$diffs" | sed 's/^/    /'
    fi
}

# One of the tool's log lines of the last run holds TEXT.
expect_log_says() {
    grep -qF -- "$1" "$E2E_OUT/applog" ||
        e2e_fail "the system log does not say '$1': $(tr '\n' '|' <"$E2E_OUT/applog")"
}

# /etc/inittab on the device, byte for byte, against FILE.
expect_inittab() {
    local actual=$E2E_OUT/inittab.actual
    device_get /etc/inittab >"$actual" || e2e_fail "cannot read /etc/inittab"
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
        elif [ -s "$2" ]; then echo "$2 is not empty"; fi' "$WORKING_COPY" "$LOCK") ||
        e2e_fail "cannot look at /tmp"
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
# SIGHUP is acted on within milliseconds; the grace shows a late one.
expect_no_reload() {
    local from=${1:-$LOG_FROM}
    sleep "$E2E_GRACE"
    log_mark
    if [ "$(reload_count_since "$from")" != 0 ]; then
        e2e_fail "init was told to reload /etc/inittab"
    fi
}

# --- processes ----------------------------------------------------------

# Device pids whose command line is exactly the given words, in /proc order.
# Kernel threads have no program, so the walk skips them without a read.
# A process that ends during the walk is simply not listed.
pids_of() {
    # shellcheck disable=SC2016 # expanded on the device
    device_sh 'for dir in /proc/[0-9]*; do
            [ -e "$dir/exe" ] || continue
            cmd=$(od -An -tx1 "$dir/cmdline" 2>/dev/null | tr -d " \n") || continue
            [ "$cmd" != "$1" ] || echo "${dir#/proc/}"
        done' "$(printf '%s\0' "$@" | od -An -tx1 | tr -d ' \n')" ||
        e2e_fail "cannot walk the device's /proc"
}

ppid_of() {
    device_get "/proc/$1/status" 2>/dev/null | awk '$1 == "PPid:" { print $2 }'
}

# The device pid is still a process, or no more; a device command that
# fails proves neither.
is_running() {
    device_run /usr/bin/test -d "/proc/$1"
}

is_gone() {
    device_run /usr/bin/test ! -d "/proc/$1"
}

# The pid of the last start of sample program NAME with these ARGS, from
# its log ("PID start ppid=N ARGS"); init may start others meanwhile.
last_start_of() {
    local name=$1
    shift
    heartbeat_log "$name" | awk -v args="$*" '$2 == "start" {
            rest = $0
            sub(/^[^ ]+ start ppid=[^ ]*( |$)/, "", rest)
            if (rest == args) pid = $1
        }
        END { print pid }'
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
    last_start_of "$name" "$@"
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
