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
fault_inittab_padded "$FAULT_OUT/small.a" "$FAULT_OUT/base.small" "$BASE_INITTAB" 4090 1 \
    "/usr/bin/hb-a -i full"
fault_inittab "$FAULT_OUT/small.ab" "$FAULT_OUT/base.small" 2 "/usr/bin/hb-a -i full" "/usr/bin/hb-b -i full"
fault_inittab_padded "$FAULT_OUT/large.ab" "$FAULT_OUT/base.large" "$BASE_INITTAB" 8190 2 \
    "/usr/bin/hb-a -i full" "/usr/bin/hb-b -i full"
fault_inittab "$FAULT_OUT/large.a" "$FAULT_OUT/base.large" 1 "/usr/bin/hb-a -i full"
fault_boot

# run_full DIR KEEP OLD NEW FAILED ARG...: one run with DIR's file system
# full but for KEEP pages.  The run completes exactly when NEW fits beside
# OLD; otherwise nothing changes and the failure is reported with its
# cause.
run_full() {
    local dir=$1 keep=$2 old=$3 new=$4 failed=$5 needed state
    shift 5
    fault_case "$*: $dir full but for $keep pages"
    fault_put_inittab "$old"
    fault_clear_leftovers
    fault_fill "$dir" "$keep"
    fault_run --trace --log -- "$@"
    needed=$(fault_pages "$(stat -c %s "$new")")
    state=$(fault_inittab_state "$old" "$new")
    expect_rc 0
    expect_lock_waits 0
    expect_inittab_owner
    if [ "$keep" -lt "$needed" ]; then
        [ "$state" = old ] || {
            fault_fail "$INITTAB is not the old content (- old, + actual):"
            fault_show_inittab_diff "$old"
        }
        expect_out_lines "$failed"
        grep -qF "(No space left on device)" "$FAULT_OUT/applog" ||
            fault_fail "the system log does not say why: $(tr '\n' '|' <"$FAULT_OUT/applog")"
        [ -z "$(fault_trace_kills)" ] || fault_fail "signals sent: $(fault_trace_kills | tr '\n' ' ')"
    else
        [ "$state" = new ] || {
            fault_fail "$INITTAB is not the new content (- new, + actual):"
            fault_show_inittab_diff "$new"
        }
        expect_out_lines
        fault_trace_kills | grep -qx '1,SIGHUP' || fault_fail "init was not signalled"
    fi
    [ ! -e "$(device_file "$TEMPORARY")" ] || fault_fail "$TEMPORARY is left behind"
    [ ! -e "$(device_file "$WORKING_COPY")" ] || fault_fail "$WORKING_COPY is left behind"
    rm -f "$(device_file "$dir/.fill")"
}

# --- /etc -------------------------------------------------------------------

fault_case "/etc on a file system of 16 pages"
device_run /bin/mount -n -t tmpfs -o size=64k,mode=0755 fault-etc /etc ||
    device_die "cannot mount a tmpfs on /etc"
cp -a "$DEVICE_ROOT/etc/." "$(device_file /etc)/"

fault_case "a failing run on a full /etc leaves init alone"
fault_put_inittab "$FAULT_OUT/small.a"
fault_fill /etc 0
fault_mark
from=$MARK_LINE
fault_run -- register "/usr/bin/hb-b -i full"
expect_out_lines "Register failed"
# Init acts on a hang-up signal within milliseconds; a second shows a late one.
sleep 1
fault_mark
[ "$(fault_reloads_between "$from" "$MARK_LINE")" = 0 ] || fault_fail "init reloaded the inittab"
rm -f "$(device_file /etc/.fill)"

for keep in 0 1 2 3; do
    run_full /etc "$keep" "$FAULT_OUT/small.a" "$FAULT_OUT/small.ab" "Register failed" \
        register "/usr/bin/hb-b -i full"
done
for keep in 0 1 2 3; do
    run_full /etc "$keep" "$FAULT_OUT/large.ab" "$FAULT_OUT/large.a" "Deregister failed" \
        deregister "/usr/bin/hb-b -i full"
done
device_run /bin/umount -n /etc || device_die "cannot unmount /etc"

# --- /tmp -------------------------------------------------------------------

fault_case "/tmp on a file system of 16 pages"
device_run /bin/mount -n -t tmpfs -o size=64k,mode=1777 fault-tmp /tmp ||
    device_die "cannot mount a tmpfs on /tmp"
for keep in 0 1 2 3; do
    run_full /tmp "$keep" "$FAULT_OUT/small.a" "$FAULT_OUT/small.ab" "Register failed" \
        register "/usr/bin/hb-b -i full"
done
for keep in 0 1 2 3; do
    run_full /tmp "$keep" "$FAULT_OUT/large.ab" "$FAULT_OUT/large.a" "Deregister failed" \
        deregister "/usr/bin/hb-b -i full"
done
device_run /bin/umount -n /tmp || device_die "cannot unmount /tmp"

# --- /tmp out of inodes -----------------------------------------------------

fault_case "/tmp with room for the lock file but no working copy"
device_run /bin/mount -n -t tmpfs -o size=64k,nr_inodes=2,mode=1777 fault-tmp /tmp ||
    device_die "cannot mount a tmpfs on /tmp"
fault_put_inittab "$FAULT_OUT/small.a"
fault_run --log -- register "/usr/bin/hb-b -i full"
expect_rc 0
expect_out_lines "Register failed"
expect_inittab "$FAULT_OUT/small.a"
grep -qF "unable to open destination file '$WORKING_COPY' (No space left on device)" "$FAULT_OUT/applog" ||
    fault_fail "the system log does not say why: $(tr '\n' '|' <"$FAULT_OUT/applog")"
[ "$(fault_listing /tmp)" = tmp_lockfile ] || fault_fail "/tmp holds: $(fault_listing /tmp | tr '\n' ' ')"

fault_case "/tmp with no room for the lock file"
device_run /bin/umount -n /tmp
device_run /bin/mount -n -t tmpfs -o size=64k,nr_inodes=1,mode=1777 fault-tmp /tmp ||
    device_die "cannot mount a tmpfs on /tmp"
fault_run --log -- register "/usr/bin/hb-b -i full"
expect_rc 1
expect_out_lines
expect_inittab "$FAULT_OUT/small.a"
grep -qx "user.info Cannot Open the $LOCK" "$FAULT_OUT/applog" ||
    fault_fail "the system log does not say the lock file could not be opened: $(tr '\n' '|' <"$FAULT_OUT/applog")"
[ -z "$(fault_listing /tmp)" ] || fault_fail "/tmp holds: $(fault_listing /tmp | tr '\n' ' ')"
device_run /bin/umount -n /tmp

fault_finish
