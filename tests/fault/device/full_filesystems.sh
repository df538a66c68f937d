#!/bin/bash
# /etc and /tmp on tiny file systems filled to the last page, and /tmp out
# of inodes: the inittab is never truncated or shortened, a run that cannot
# complete says so and the system log says why, and init is not told to
# reload.  Each inittab ends just short of a page boundary, so an edit that
# grows it needs one more page: a file rewritten in place would fit once its
# old pages were freed, and be cut short when they are not enough.
. "$(dirname "$0")/fault.sh"

fault_begin full_filesystems
fault_programs hb-a hb-b
# Register grows a one-page file to two pages; deregister shrinks a
# two-page file, which still needs two pages for its replacement.
fault_page_inittabs full
e2e_boot

# run_full DIR KEEP OLD NEW FAILED ARG...: one run with DIR's file system
# full but for KEEP pages.  The run completes exactly when NEW fits beside
# OLD; otherwise nothing changes and the failure is reported with its
# cause.
run_full() {
    local dir=$1 keep=$2 old=$3 new=$4 failed=$5 needed state
    shift 5
    e2e_case "$*: $dir full but for $keep pages"
    fault_put_inittab "$old"
    fault_clear_leftovers
    fault_fill "$dir" "$keep"
    run_app --trace -- "$@"
    needed=$(fault_pages "$(stat -c %s "$new")")
    state=$(fault_inittab_state "$old" "$new")
    expect_rc 0
    expect_lock_waits 0
    expect_inittab_owner
    if [ "$keep" -lt "$needed" ]; then
        [ "$state" = old ] || {
            e2e_fail "$INITTAB is not the old content (- old, + actual):"
            fault_show_inittab_diff "$old"
        }
        expect_out_lines "$failed"
        expect_log_says "(No space left on device)"
        [ -z "$(fault_trace_kills)" ] || e2e_fail "signals sent: $(fault_trace_kills | tr '\n' ' ')"
    else
        [ "$state" = new ] || {
            e2e_fail "$INITTAB is not the new content (- new, + actual):"
            fault_show_inittab_diff "$new"
        }
        expect_out_lines
        fault_trace_kills | grep -qx '1,SIGHUP' || e2e_fail "init was not signalled"
    fi
    [ ! -e "$(device_file "$TEMPORARY")" ] || e2e_fail "$TEMPORARY is left behind"
    [ ! -e "$(device_file "$WORKING_COPY")" ] || e2e_fail "$WORKING_COPY is left behind"
    rm -f "$(device_file "$dir/.fill")"
}

# Register grows small.a to two pages; deregister shrinks large.ab, whose
# replacement still needs two: each with DIR full but for 0 to 3 pages.
run_full_both() {
    local keep
    for keep in 0 1 2 3; do
        run_full "$1" "$keep" "$E2E_OUT/small.a" "$E2E_OUT/small.ab" "Register failed" \
            register "/usr/bin/hb-b -i full"
        run_full "$1" "$keep" "$E2E_OUT/large.ab" "$E2E_OUT/large.a" "Deregister failed" \
            deregister "/usr/bin/hb-b -i full"
    done
}

# --- /etc -------------------------------------------------------------------

e2e_case "/etc on a file system of 16 pages"
device_run /bin/mount -n -t tmpfs -o size=64k,mode=0755 fault-etc /etc ||
    device_die "cannot mount a tmpfs on /etc"
cp -a "$DEVICE_ROOT/etc/." "$(device_file /etc)/"

e2e_case "a failing run on a full /etc leaves init alone"
fault_put_inittab "$E2E_OUT/small.a"
fault_fill /etc 0
run_app register "/usr/bin/hb-b -i full"
expect_out_lines "Register failed"
expect_no_reload
rm -f "$(device_file /etc/.fill)"

run_full_both /etc
fault_unmount /etc

# --- /tmp -------------------------------------------------------------------

e2e_case "/tmp on a file system of 16 pages"
device_run /bin/mount -n -t tmpfs -o size=64k,mode=1777 fault-tmp /tmp ||
    device_die "cannot mount a tmpfs on /tmp"
run_full_both /tmp
fault_unmount /tmp

# --- /tmp out of inodes -----------------------------------------------------

e2e_case "/tmp with room for the lock file but no working copy"
device_run /bin/mount -n -t tmpfs -o size=64k,nr_inodes=2,mode=1777 fault-tmp /tmp ||
    device_die "cannot mount a tmpfs on /tmp"
fault_put_inittab "$E2E_OUT/small.a"
run_app register "/usr/bin/hb-b -i full"
expect_rc 0
expect_out_lines "Register failed"
expect_inittab "$E2E_OUT/small.a"
grep -qF "unable to open destination file '$WORKING_COPY' (No space left on device)" "$E2E_OUT/applog" ||
    e2e_fail "the system log does not say why: $(tr '\n' '|' <"$E2E_OUT/applog")"
[ "$(fault_listing /tmp)" = tmp_lockfile ] || e2e_fail "/tmp holds: $(fault_listing /tmp | tr '\n' ' ')"

e2e_case "/tmp with no room for the lock file"
fault_unmount /tmp
device_run /bin/mount -n -t tmpfs -o size=64k,nr_inodes=1,mode=1777 fault-tmp /tmp ||
    device_die "cannot mount a tmpfs on /tmp"
run_app register "/usr/bin/hb-b -i full"
expect_rc 1
expect_out_lines
expect_inittab "$E2E_OUT/small.a"
grep -qx "user.info Cannot Open the $LOCK" "$E2E_OUT/applog" ||
    e2e_fail "the system log does not say the lock file could not be opened: $(tr '\n' '|' <"$E2E_OUT/applog")"
[ -z "$(fault_listing /tmp)" ] || e2e_fail "/tmp holds: $(fault_listing /tmp | tr '\n' ' ')"
fault_unmount /tmp

e2e_finish
