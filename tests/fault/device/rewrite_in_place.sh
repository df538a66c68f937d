#!/bin/bash
# Where the inittab cannot be replaced by renaming a new file over it (it
# is a mount point: rename fails with EBUSY; /etc is read-only), the tool
# rewrites it in place: same file, complete new content, the mount kept, no
# temporary file left.  The space for the new content is reserved before a
# byte is written, so a full file system fails the edit and keeps the file.
#
# Then the rewrite in place killed at, or failing in, each of its calls.  A
# rewrite in place cannot be atomic: killed part way, it may leave the new
# content over the old, but never a file cut short or holding anything
# else.  A call that fails, though, is seen: the inittab is then the old
# content or the complete new one, never half written; a reported failure
# leaves the old content and says why in the system log, and a run that
# left the new content reports success (a close that fails once the new
# content is synced is only logged).
. "$(dirname "$0")/fault.sh"

fault_begin rewrite_in_place
fault_programs hb-a hb-b
mkdir -p "$DEVICE_ROOT/data"
fault_page_inittabs bound
e2e_boot

inode_of_inittab() {
    stat -L -c %i "$(device_file "$INITTAB")"
}


running_under_init() {
    local pid
    for pid in $(ls "$(device_file /proc)" | grep -E '^[0-9]+$'); do
        fault_process_is "$pid" "$1" &&
            [ "$(awk '$1 == "PPid:" { print $2 }' "$(device_file "/proc/$pid/status")" 2>/dev/null)" = 1 ] &&
            return 0
    done
    return 1
}

# rewrite_in_place OLD NEW ARG...: the run rewrites the inittab's own file.
rewrite_in_place() {
    local old=$1 new=$2 inode
    shift 2
    fault_put_inittab "$old"
    inode=$(inode_of_inittab)
    run_app --trace -- "$@"
    expect_rc 0
    expect_out_lines
    expect_inittab "$new"
    expect_inittab_owner
    [ "$(inode_of_inittab)" = "$inode" ] || e2e_fail "$INITTAB is another file now"
    fault_inittab_is_mount_point || e2e_fail "$INITTAB is no longer a mount point"
    [ ! -e "$(device_file "$TEMPORARY")" ] || e2e_fail "$TEMPORARY is left behind"
    fault_trace_kills | grep -qx '1,SIGHUP' || e2e_fail "init was not signalled"
}

# keep_in_place OLD NEW WHY FAILED ARG...: the run fails for WHY, and the
# inittab keeps its old content.
keep_in_place() {
    local old=$1 new=$2 why=$3 failed=$4
    shift 4
    cmp -s "$old" "$(device_file "$INITTAB")" || fault_put_inittab "$old"
    run_app --trace -- "$@"
    expect_rc 0
    expect_out_lines "$failed"
    expect_inittab "$old"
    expect_inittab_owner
    expect_log_says "($why)"
    [ -z "$(fault_trace_kills)" ] || e2e_fail "signals sent: $(fault_trace_kills | tr '\n' ' ')"
    [ ! -e "$(device_file "$TEMPORARY")" ] || e2e_fail "$TEMPORARY is left behind"
}

e2e_case "the inittab is a file bind-mounted over /etc/inittab: rename gives EBUSY"
cp "$E2E_OUT/small.a" "$DEVICE_ROOT/data/inittab"
device_run /bin/mount -n --bind /data/inittab "$INITTAB" || device_die "cannot bind-mount the inittab"
rewrite_in_place "$E2E_OUT/small.a" "$E2E_OUT/small.ab" register "/usr/bin/hb-b -i bound"
# uClibc-ng renames through renameat2, glibc and musl through rename.
grep -Eq '^rename(at2)?\(([^,]*, )?"/etc/inittab\+", ([^,]*, )?"/etc/inittab"(, 0)?\) = -1 EBUSY' "$E2E_OUT/trace" ||
    e2e_fail "the replacement by rename was not tried first"
device_wait 5 running_under_init /usr/bin/hb-b || e2e_fail "init did not start hb-b from the rewritten inittab"
cmp -s "$E2E_OUT/small.ab" "$DEVICE_ROOT/data/inittab" || e2e_fail "the mounted file does not hold the new content"
rewrite_in_place "$E2E_OUT/small.ab" "$E2E_OUT/small.a" deregister "/usr/bin/hb-b -i bound"
rewrite_in_place "$E2E_OUT/large.ab" "$E2E_OUT/large.a" deregister "/usr/bin/hb-b -i bound"
fault_unmount "$INITTAB"

e2e_case "the bound inittab's file system is full: the rewrite fails before writing"
device_run /bin/mount -n -t tmpfs -o size=64k fault-data /data || device_die "cannot mount /data"
cp "$E2E_OUT/small.a" "$(device_file /data/inittab)"
device_run /bin/mount -n --bind /data/inittab "$INITTAB" || device_die "cannot bind-mount the inittab"
fault_fill /data 0
keep_in_place "$E2E_OUT/small.a" "$E2E_OUT/small.ab" "No space left on device" "Register failed" \
    register "/usr/bin/hb-b -i bound"

e2e_case "the bound inittab's file system has the one page the rewrite needs"
fault_fill /data 1
rewrite_in_place "$E2E_OUT/small.a" "$E2E_OUT/small.ab" register "/usr/bin/hb-b -i bound"

e2e_case "the bound inittab's file system is full: a shorter rewrite needs no page"
rm -f "$(device_file /data/.fill)"
fault_put_inittab "$E2E_OUT/large.ab"
fault_fill /data 0
rewrite_in_place "$E2E_OUT/large.ab" "$E2E_OUT/large.a" deregister "/usr/bin/hb-b -i bound"
rm -f "$(device_file /data/.fill)"
fault_unmount "$INITTAB"
fault_unmount /data

e2e_case "/etc is read-only, the inittab is bound from a writable file system"
cp "$E2E_OUT/small.a" "$DEVICE_ROOT/data/inittab"
device_run /bin/mount -n --bind /etc /etc &&
    device_run /bin/mount -n -o remount,bind,ro /etc &&
    device_run /bin/mount -n --bind /data/inittab "$INITTAB" || device_die "cannot set up a read-only /etc"
rewrite_in_place "$E2E_OUT/small.a" "$E2E_OUT/small.ab" register "/usr/bin/hb-b -i bound"
grep -q '"/etc/inittab+".* = -1 EROFS' "$E2E_OUT/trace" ||
    e2e_fail "no temporary file was tried beside the inittab first"
fault_unmount "$INITTAB"

e2e_case "/etc and the inittab are read-only"
cp "$(device_file "$INITTAB")" "$E2E_OUT/read-only"
keep_in_place "$E2E_OUT/read-only" /dev/null "Read-only file system" "Register failed" \
    register "/usr/bin/hb-b -i bound"
fault_unmount /etc

# --- faults in the rewrite in place ------------------------------------------

e2e_case "the inittab bound over /etc/inittab again, for the faults"
fault_put_inittab "$E2E_OUT/small.a"
cp "$E2E_OUT/small.a" "$DEVICE_ROOT/data/inittab"
device_run /bin/mount -n --bind /data/inittab "$INITTAB" || device_die "cannot bind-mount the inittab"
etc_listing=$(fault_listing /etc)

tried=0
crossed=0 # crashes that left the new content over the old
for edit in register deregister; do
    if [ "$edit" = register ]; then
        fault_sweep_edit register "$E2E_OUT/small.a" "$E2E_OUT/small.ab" "/usr/bin/hb-b -i bound"
    else
        fault_sweep_edit deregister "$E2E_OUT/large.ab" "$E2E_OUT/large.a" "/usr/bin/hb-b -i bound"
    fi
    rm -f "$E2E_OUT/plan.sweep"
    fault_sweep_plan "$edit in place, traced"
    grep -q '^ftruncate ' "$E2E_OUT/plan" || e2e_fail "the run did not rewrite in place"
    while read -r name index _ _ paths; do
        [ "$paths" = "$INITTAB," ] || continue
        case $name in
            fallocate | write) errors=(ENOSPC EIO) ;;
            ftruncate | fsync | close) errors=(EIO) ;;
            *) continue ;;
        esac
        for action in signal=KILL "${errors[@]/#/error=}"; do
            e2e_case "$edit in place: $action at $name #$index"
            tried=$((tried + 1))
            fault_inject_at "$name" "$index" "$paths" "$action" -- "${ARGS[@]}" || continue
            state=$(fault_inittab_state "$OLD" "$NEW")
            if [ "$action" = signal=KILL ]; then
                if [ "$state" = other ]; then
                    crossed=$((crossed + 1))
                    fault_inittab_is_overlay "$OLD" "$NEW" ||
                        e2e_fail "$INITTAB is cut short or holds bytes of neither content"
                fi
            elif [ "$state" = other ]; then
                e2e_fail "$INITTAB is half written (- new, + actual):"
                fault_show_inittab_diff "$NEW"
            elif [ "$(cat "$E2E_OUT/rest")" = "$FAILED_LINE" ]; then
                [ "$state" = old ] || e2e_fail "the run reports a failure, but $INITTAB holds the new content"
                expect_log_says "($(fault_error_text "${action#error=}"))"
                [ -z "$(fault_trace_kills)" ] || e2e_fail "signals sent: $(fault_trace_kills | tr '\n' ' ')"
            else
                expect_out_lines
                [ "$state" = new ] || e2e_fail "the run reports no failure, but $INITTAB is the old content"
            fi
            fault_inittab_is_mount_point || e2e_fail "$INITTAB is no longer a mount point"
            fault_sweep_next_run "$state" "$etc_listing"
        done
    done <"$E2E_OUT/plan.sweep"
done

e2e_case "summary"
echo "faults tried in the rewrite in place: $tried ($crossed crashes left new content over old)"
[ "$tried" -gt 0 ] || e2e_fail "no fault was tried"
e2e_finish
