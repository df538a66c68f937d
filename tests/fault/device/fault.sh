# shellcheck shell=bash
# What the fault tests add to the harness of the end-to-end tests
# (tests/device/e2e.sh): strace in the device, so that a run of app_kelvane
# can be killed, or can see one of its own system calls fail, at an exact
# call; the files such runs need; and the checks of what they leave behind.
#
# Source from bash (the harness's inputs as for e2e.sh), then:
#   fault_begin NAME [INITTAB]   e2e_begin, with strace in the device
#   run_app --trace / --inject EXPR (see e2e.sh) for traced runs
#   fault_plan TRACE             the tool's calls on its files (see there)
#   fault_inject_at ...          one run with a fault at one such call
#   fault_sweep_*                what the sweeps of every call share

. "$(dirname "${BASH_SOURCE[0]}")/../../device/e2e.sh"

INITTAB=/etc/inittab
TEMPORARY=/etc/inittab+

# The sweeps wait for syslogd hundreds of times: poll often.
DEVICE_POLL=0.01
# The tool walks /proc: the watcher that BusyBox timeout leaves for a
# second after each run would change the calls of the next.  A run that
# may hang says so with --timeout.
E2E_RUN_LIMIT=

# Paths the tool works on, as strace -y shows them: in quotes as an argument,
# in angle brackets as what a descriptor refers to.
FAULT_OWN_PATHS='["<](/etc/inittab\+?|/etc|/tmp/tmp_watchdog|/tmp/tmp_lockfile)( \(deleted\))?[">]'

# --- the device ---------------------------------------------------------

fault_begin() {
    e2e_begin "$@"
    e2e_install_strace
}

# Unmounts the device's PATH.  Detached at once even while busy: a program
# init started meanwhile, syslogd or init itself may have a file open there
# for a moment, and the test goes on with the file system beneath.
fault_unmount() {
    device_run /bin/umount -n -l "$1" || device_die "cannot unmount $1"
}

# Sample programs: hard links to the sample daemon, one name each, so each
# logs to /var/log/NAME.log and shows its own path in /proc/PID/cmdline.
fault_programs() {
    local name
    for name in "$@"; do
        ln -f "$DEVICE_ROOT/usr/bin/heartbeat" "$DEVICE_ROOT/usr/bin/$name"
    done
}

# The inittabs of the runs that meet full or awkward file systems, in
# $E2E_OUT: small.a and small.ab end just short of one page, large.a and
# large.ab of two, with one or both of the programs hb-a and hb-b registered
# with the option "-i WORD".
fault_page_inittabs() {
    local a="/usr/bin/hb-a -i $1" b="/usr/bin/hb-b -i $1"
    fault_inittab_padded "$E2E_OUT/small.a" "$E2E_OUT/base.small" "$TYPICAL" 4090 1 "$a"
    inittab_with "$E2E_OUT/small.ab" "$E2E_OUT/base.small" 2 "$a" "$b"
    fault_inittab_padded "$E2E_OUT/large.ab" "$E2E_OUT/base.large" "$TYPICAL" 8190 2 "$a" "$b"
    inittab_with "$E2E_OUT/large.a" "$E2E_OUT/base.large" 1 "$a"
}

# --- traces -------------------------------------------------------------

# Every call of the tool that names one of its files, and every signal it
# sends, one a line: NAME INDEX ORDINAL MARK PATHS.  INDEX counts such calls
# of NAME; ORDINAL counts every call of NAME in the run, as strace's when=
# does; MARK is "injected" for a call strace made fail, "?" for one that
# never returned, "-" otherwise; PATHS are the files the call names.
fault_plan() {
    awk -v own="$FAULT_OWN_PATHS" '
        /^(\+\+\+|---|<\.\.\.)/ { next }
        {
            name = $0
            sub(/\(.*/, "", name)
            count[name]++
            # The paths a call names, not the one its result refers to.
            call = $0
            result = ""
            for (at = length(call) - 2; at > 0; at--)
                if (substr(call, at, 3) == " = ") {
                    result = substr(call, at + 3)
                    call = substr(call, 1, at - 1)
                    break
                }
            if (name != "kill" && call !~ own)
                next
            paths = ""
            rest = call
            while (match(rest, own)) {
                paths = paths substr(rest, RSTART + 1, RLENGTH - 2) ","
                rest = substr(rest, RSTART + RLENGTH)
            }
            if (name == "kill") {
                paths = call
                sub(/^kill\(/, "", paths)
                sub(/\).*/, "", paths)
                gsub(/ /, "", paths)
            }
            mark = "-"
            if (result ~ /\(INJECTED\)$/)
                mark = "injected"
            else if (result == "?" || result == "")
                mark = "?"
            print name, ++index_of[name], count[name], mark, paths
        }' "$1"
}

# The line of the trace that holds the ORDINAL-th call of NAME.
fault_trace_call() {
    awk -v want="$2" -v ord="$3" '
        /^(\+\+\+|---|<\.\.\.)/ { next }
        {
            name = $0
            sub(/\(.*/, "", name)
            if (name == want && ++count == ord) { print; exit }
        }' "$1"
}

# The tool's kill calls in the last traced run, as "PID,SIGNAL".
fault_trace_kills() {
    sed -n 's/^kill(\([0-9-]*\), \([A-Z0-9]*\)).*/\1,\2/p' "$E2E_OUT/trace"
}

fault_trace_killed() {
    tail -n 1 "$E2E_OUT/trace" | grep -q '^+++ killed by SIGKILL +++$'
}

# --- the files --------------------------------------------------------------

# Writes OUT: FILE followed by comment lines that bring OUT, once EXTRA
# more bytes are added to it, to SIZE bytes exactly.
fault_pad() {
    local out=$1 file=$2 size=$3 extra=$4 need line
    cp "$file" "$out"
    need=$((size - extra - $(stat -c %s "$out")))
    [ "$need" -ge 2 ] || device_die "cannot pad $file to $size bytes"
    while [ "$need" -gt 0 ]; do
        if [ "$need" -ge 80 ]; then
            line="# padding$(printf '%70s' '' | tr ' ' '.')"
        elif [ "$need" -ge 2 ]; then
            line="#$(printf '%*s' "$((need - 2))" '' | tr ' ' '.')"
        else
            line=
        fi
        printf '%s\n' "$line" >>"$out"
        need=$((need - ${#line} - 1))
    done
}

# fault_inittab_padded OUT PADDED BASE SIZE NEW ENTRY...: writes PADDED,
# BASE with padding, and OUT, as inittab_with on PADDED, of SIZE bytes.
fault_inittab_padded() {
    local out=$1 padded=$2 base=$3 size=$4 news=$5 digits entry extra
    shift 5
    # The count line's length depends on the padded file's line count.
    for digits in 1 2 3 4 5; do
        extra=$((13 + digits + ${#news}))
        for entry in "$@"; do
            extra=$((extra + 11 + ${#entry}))
        done
        fault_pad "$padded" "$base" "$size" "$extra"
        inittab_with "$out" "$padded" "$news" "$@"
        [ "$(stat -c %s "$out")" != "$size" ] || return 0
    done
    device_die "cannot pad $base to $size bytes"
}

# Pages a file of SIZE bytes takes on tmpfs.
fault_pages() {
    echo $((($1 + 4095) / 4096))
}

# Fills the file system that holds device directory DIR, with the file
# DIR/.fill, until exactly KEEP pages are free.
fault_fill() {
    local dir=$1 keep=$2 fill free
    fill=$(device_file "$dir/.fill")
    rm -f "$fill"
    free=$(stat -f -c %a "$(device_file "$dir")")
    [ "$free" -ge "$keep" ] || device_die "$dir has $free pages free, fewer than $keep"
    if [ "$free" -gt "$keep" ]; then
        dd if=/dev/zero of="$fill" bs=4096 count=$((free - keep)) status=none ||
            device_die "cannot fill $dir"
    fi
    free=$(stat -f -c %a "$(device_file "$dir")")
    [ "$free" = "$keep" ] || device_die "$dir has $free pages free after filling, not $keep"
}

# Puts FILE's content in the device's inittab (through links, as root
# 0644, the way the tool leaves it), without telling init.  Init may still
# be reading it after the last run's hang-up signal: the file is replaced
# whole, so that init never sees a part of it, unless it is a link or a
# mount point.
fault_put_inittab() {
    local target
    target=$(device_file "$INITTAB")
    if [ ! -L "$target" ] && ! fault_inittab_is_mount_point && cp "$1" "$target.put" &&
        mv "$target.put" "$target"; then
        :
    else
        rm -f "$target.put"
        cat "$1" >"$target"
    fi
    chown 0:0 "$target"
    chmod 0644 "$target"
}

fault_inittab_is_mount_point() {
    awk '$5 == "/etc/inittab" { found = 1 } END { exit !found }' "/proc/$DEVICE_PID/mountinfo"
}

# old, new or other: what the device's inittab holds.
fault_inittab_state() {
    local actual
    actual=$(device_file "$INITTAB")
    if cmp -s "$1" "$actual"; then
        echo old
    elif cmp -s "$2" "$actual"; then
        echo new
    else
        echo other
    fi
}

# The device's inittab is no shorter than the shorter of OLD and NEW, and
# each of its bytes is the byte of OLD or of NEW at the same offset: a
# rewrite in place stopped part way, never a file cut short or filled with
# anything else.
fault_inittab_is_overlay() {
    local actual
    actual=$(device_file "$INITTAB")
    # One line per offset: the byte of the inittab, of OLD, of NEW; a field
    # is empty where its file has ended.
    paste -d: <(od -An -v -tu1 -w1 "$actual") <(od -An -v -tu1 -w1 "$1") <(od -An -v -tu1 -w1 "$2") |
        tr -d ' ' |
        awk -F: -v least="$(stat -c %s "$1" "$2" | sort -n | head -n 1)" '
            $1 != "" && $1 != $2 && $1 != $3 { bad = 1 }
            $1 != "" { size++ }
            END { exit !(size >= least && !bad) }'
}

fault_show_inittab_diff() {
    diff -u "$1" "$(device_file "$INITTAB")" | tail -n +3 | head -n 20 | sed 's/^/    /'
}

# The inittab keeps root as its owner and mode 0644.
expect_inittab_owner() {
    local got
    got=$(stat -L -c '%u:%g %a' "$(device_file "$INITTAB")")
    [ "$got" = "0:0 644" ] || e2e_fail "$INITTAB is $got, expected 0:0 644"
}

# The names in a device directory, one a line.
fault_listing() {
    ls -A "$(device_file "$1")" | sort
}

# After a run that held the lock: /tmp holds the empty lock file and
# nothing else, and /etc holds what it held at LISTING.
expect_clean_after_run() {
    local etc_listing=$1 lock
    lock=$(device_file "$LOCK")
    if [ "$(fault_listing /tmp)" != "$(basename "$LOCK")" ]; then
        e2e_fail "/tmp holds: $(fault_listing /tmp | tr '\n' ' ')"
    fi
    if [ -L "$lock" ] || [ ! -f "$lock" ] || [ -s "$lock" ]; then
        e2e_fail "$LOCK is not an empty regular file"
    fi
    if [ "$(fault_listing /etc)" != "$etc_listing" ]; then
        e2e_fail "/etc changed: $(diff <(printf '%s\n' "$etc_listing") <(fault_listing /etc) |
            sed -n 's/^[<>] //p' | tr '\n' ' ')"
    fi
}

# Removes what a killed or failed run may have left in /tmp and beside the
# inittab; the lock file stays, as it does on a device.
fault_clear_leftovers() {
    rm -rf "$(device_file "$WORKING_COPY")" "$(device_file "$TEMPORARY")"
}

# --- processes --------------------------------------------------------------

# The process runs and is the sample program at PATH.
fault_process_is() {
    local cmdline
    cmdline=$({ tr '\0' '\n' <"$(device_file "/proc/$1/cmdline")"; } 2>/dev/null | head -n 1)
    [ "$cmdline" = "$2" ]
}

# --- errors ---------------------------------------------------------------

# The C library's text for an error name, as the tool's log shows it;
# KELVANE_LIBC says which library the tool is linked against.
fault_error_text() {
    case ${KELVANE_LIBC:-glibc}:$1 in
        musl:EIO) echo "I/O error" ;;
        *:EIO) echo "Input/output error" ;;
        *:ENOSPC) echo "No space left on device" ;;
        *:EACCES) echo "Permission denied" ;;
        *:EPERM) echo "Operation not permitted" ;;
        *:EINTR) echo "Interrupted system call" ;;
        *:ENOLCK) echo "No locks available" ;;
        *:EROFS) echo "Read-only file system" ;;
        *) echo "$1" ;;
    esac
}

# --- the sweeps -------------------------------------------------------------

# What a sweep moves between: OLD holds before each run, NEW once the run
# is done; ARGS is the run, AGAIN what the same run prints once NEW holds.
# The inittab spans several transfers of the copy's buffer, so that a copy
# can stop half done.  Init acts on a reload while the test may already be
# putting OLD back, so it may read any of these files: program C has no
# file, so that init can never start a copy of it; C runs only by hand,
# under that name (see fault_start_c).
fault_sweep_setup() {
    local edit=$1 base=$E2E_OUT/inittab.base i
    SWEEP_EDIT=$edit
    {
        cat "$TYPICAL"
        for i in $(seq 1 120); do
            printf '# note %03d: kept byte for byte by every edit of this file\n' "$i"
        done
    } >"$base"
    fault_programs hb-a hb-b
    inittab_with "$E2E_OUT/inittab.a" "$base" 1 "/usr/bin/hb-a -i kept"
    inittab_with "$E2E_OUT/inittab.ab" "$base" 2 "/usr/bin/hb-a -i kept" "/usr/bin/hb-b -i swept"
    inittab_with "$E2E_OUT/inittab.ac" "$base" 2 "/usr/bin/hb-a -i kept" "/usr/bin/hb-c -i swept"
    # Init runs A from boot on, and nothing else of the sweep: the set of
    # processes, and with it the tool's walk of /proc, stays the same.
    cp "$E2E_OUT/inittab.a" "$DEVICE_ROOT$INITTAB"
    if [ "$edit" = register ]; then
        fault_sweep_edit register "$E2E_OUT/inittab.a" "$E2E_OUT/inittab.ab" "/usr/bin/hb-b -i swept"
    else
        fault_sweep_edit "$edit" "$E2E_OUT/inittab.ac" "$E2E_OUT/inittab.a" "/usr/bin/hb-c -i swept"
    fi
}

# fault_sweep_edit EDIT OLD NEW ENTRY: the sweep's run, EDIT of ENTRY, and
# what it prints in FAILED_LINE and, once NEW holds, in AGAIN.
fault_sweep_edit() {
    OLD=$2 NEW=$3 ARGS=("$1" "$4") FAILED_LINE="${1^} failed"
    case $1 in
        register) AGAIN=("[Duplicated]" "$FAILED_LINE") ;;
        deregister) AGAIN=("[Nothing to deregister]" "$FAILED_LINE") ;;
        *) device_die "register or deregister, not '$1'" ;;
    esac
}

# fault_sweep_start NAME EDIT: the device of sweep NAME.EDIT, booted, with
# /etc as ETC_LISTING lists it.
fault_sweep_start() {
    fault_begin "$1.$2"
    fault_sweep_setup "$2"
    e2e_boot
    device_wait 10 start_count_above hb-a 0 || e2e_fail "init did not start hb-a"
    # Every process from here on gets a process id above C's.
    device_run /bin/sh -c "echo $((FAULT_C_PID + 100)) >/proc/sys/kernel/ns_last_pid" ||
        device_die "cannot set the device's last process id"
    ETC_LISTING=$(fault_listing /etc)
}

# Program C runs by hand, under its name, always with the same process id,
# below that of every process the sweep starts: the tool's walk of /proc
# then meets the same processes before C in every run, whatever init and
# the test start and stop meanwhile, and the calls of a run keep their
# ordinals.
FAULT_C_PID=5000
C_PID=
C_LOG_FROM=0 # lines of C's log before the running C started

# Senders of SIGTERM to the running C (its pid is that of every C).
fault_c_term_senders() {
    heartbeat_log hb-c | tail -n +"$((C_LOG_FROM + 1))" |
        awk -v pid="$C_PID" '$1 == pid && $2 == "term" { sub("from=", "", $3); print $3 }'
}

fault_c_terminated_by() {
    fault_c_term_senders | grep -qx "$1"
}

fault_c_running() {
    [ -n "$C_PID" ] && fault_process_is "$C_PID" /usr/bin/hb-c && [ -z "$(fault_c_term_senders)" ]
}

fault_c_gone() {
    [ ! -e "$(device_file "/proc/$FAULT_C_PID")" ]
}

# What started the last C, which must be gone, not dying, when the next
# run starts: the walk of /proc reads every process.
FAULT_C_SPAWNER=
fault_start_c() {
    local before attempt
    for attempt in 1 2 3; do
        device_wait 10 fault_c_gone || device_die "process $FAULT_C_PID did not end"
        [ -z "$FAULT_C_SPAWNER" ] || wait "$FAULT_C_SPAWNER" 2>/dev/null
        before=$(start_count hb-c)
        C_LOG_FROM=$(heartbeat_log hb-c | wc -l)
        # The shell leaves C to init at once: a parent that ended with C,
        # during the tool's walk, would be read in one run and gone in the
        # next, and the calls after the walk would change their ordinals.
        device_spawn /bin/sh -c "echo $((FAULT_C_PID - 1)) >/proc/sys/kernel/ns_last_pid;
            (exec -a /usr/bin/hb-c /usr/bin/heartbeat -i swept) &"
        FAULT_C_SPAWNER=${DEVICE_SPAWNED[-1]}
        device_wait 5 start_count_above hb-c "$before" || device_die "hb-c did not start"
        C_PID=$(heartbeat_log hb-c | awk '$2 == "start"' | tail -n 1 | cut -d' ' -f1)
        [ "$C_PID" != "$FAULT_C_PID" ] || return 0
        # Another process took the id first: stop this C and try again.
        device_run /bin/kill -TERM "$C_PID"
        device_wait 5 sh -c "[ ! -e '$(device_file "/proc/$C_PID")' ]" || true
    done
    device_die "hb-c does not get process id $FAULT_C_PID"
}

# The reference run: the plan of the sweep, in $E2E_OUT/plan.
fault_sweep_plan() {
    e2e_case "${1:-a run without faults, traced}"
    # Every run of the sweep finds the lock file that the first run made;
    # the plan is made from one that finds it too.
    if [ ! -e "$(device_file "$LOCK")" ]; then
        sweep_reset
        run_app --no-log "${ARGS[@]}"
    fi
    sweep_reset
    run_app --no-log --trace -- "${ARGS[@]}"
    expect_rc 0
    expect_lock_waits 0
    expect_out_lines
    expect_inittab "$NEW"
    cp "$E2E_OUT/trace" "$E2E_OUT/trace.reference"
    fault_plan "$E2E_OUT/trace.reference" >"$E2E_OUT/plan"
    [ -s "$E2E_OUT/plan.sweep" ] || cp "$E2E_OUT/plan" "$E2E_OUT/plan.sweep"
    local kind
    # The sweep covers what replacing a file takes; a run without one of
    # these calls would leave part of the promise untried.
    for kind in 'open|openat' write fsync 'rename|renameat|renameat2' 'unlink|unlinkat' flock; do
        grep -Eq "^($kind) " "$E2E_OUT/plan" ||
            e2e_fail "the run makes no call of $kind on its files"
    done
}

# The run after a faulty one, with no fault: it completes from whatever
# the faulty run left, and leaves nothing behind.
fault_sweep_next_run() {
    local state=$1 etc_listing=$2
    # A broken inittab has been reported already; start again from OLD.
    if [ "$state" = other ]; then
        fault_put_inittab "$OLD"
        state=old
    fi
    run_app --no-log "${ARGS[@]}"
    expect_rc 0
    expect_lock_waits 0
    if [ "$state" = new ]; then
        expect_out_lines "${AGAIN[@]}"
    else
        expect_out_lines
    fi
    expect_inittab "$NEW"
    expect_inittab_owner
    expect_clean_after_run "$etc_listing"
    [ ! -s "$E2E_OUT/err" ] || e2e_fail "standard error: $(head -c 300 "$E2E_OUT/err")"
}

# Made ready for each run of a sweep: OLD in place, nothing left over,
# C running for a deregistration.  A test may define its own after
# sourcing this file.
SWEEP_EDIT=
sweep_reset() {
    fault_put_inittab "$OLD"
    fault_clear_leftovers
    [ "$SWEEP_EDIT" != deregister ] || fault_c_running || fault_start_c
}

# The last run hit the call NAME INDEX (naming PATHS) with ACTION.
fault_hit() {
    local name=$1 index=$2 paths=$3 action=$4
    fault_plan "$E2E_OUT/trace" >"$E2E_OUT/plan.run"
    case $action in
        signal=KILL)
            fault_trace_killed &&
                [ "$(tail -n 1 "$E2E_OUT/plan.run")" = "$name $index $(awk -v n="$name" -v i="$index" \
                    '$1 == n && $2 == i { print $3 }' "$E2E_OUT/plan") ? $paths" ]
            ;;
        *)
            [ "$(awk '$4 == "injected" { print $1, $2, $5 }' "$E2E_OUT/plan.run")" = "$name $index $paths" ]
            ;;
    esac
}

# fault_inject_at NAME INDEX PATHS ACTION [OPTION...] -- ARG...: after
# sweep_reset, runs the tool with strace doing ACTION (signal=KILL,
# error=EIO, ...) at its INDEX-th call of NAME on its files.  The call's
# ordinal comes from the plan.  When the run makes a different number of
# calls before it (a process came or went, so the walk of /proc differs),
# the plan is traced afresh and the run made again, up to four times (on
# a loaded machine init may still be reaping what it forked on the last
# SIGHUP while the walk reads /proc).  Returns 1, having reported why,
# when the call could not be hit.
fault_inject_at() {
    local name=$1 index=$2 paths=$3 action=$4 attempt ordinal options=()
    shift 4
    while [ "$1" != -- ]; do
        options+=("$1")
        shift
    done
    shift
    for attempt in 1 2 3 4 5; do
        ordinal=$(awk -v n="$name" -v i="$index" '$1 == n && $2 == i { print $3 }' "$E2E_OUT/plan")
        if [ -n "$ordinal" ]; then
            sweep_reset
            run_app "${options[@]}" --inject "$name:$action:when=$ordinal" -- "$@"
            fault_hit "$name" "$index" "$paths" "$action" && return 0
        fi
        if [ "$attempt" != 5 ]; then
            local saved=$E2E_CASE
            # A process of the harness's may still be ending: let it.
            sleep 1
            fault_sweep_plan "the plan traced afresh: $name #$index was missed"
            E2E_CASE=$saved
        fi
    done
    e2e_fail "$action did not hit $name #$index ($paths); the run's calls on its files:"
    sed 's/^/    /' "$E2E_OUT/plan.run"
    return 1
}
