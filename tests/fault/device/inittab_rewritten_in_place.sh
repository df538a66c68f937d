#!/bin/bash
# Where the inittab cannot be replaced by renaming a new file over it (it
# is a mount point: rename fails with EBUSY; /etc is read-only), the tool
# rewrites it in place: same file, complete new content, the mount kept, no
# temporary file left.  The space for the new content is reserved before a
# byte is written, so a full file system fails the edit and keeps the file.
. "$(dirname "$0")/fault.sh"

fault_begin inittab_rewritten_in_place
fault_programs hb-a hb-b
mkdir -p "$DEVICE_ROOT/data"
fault_in_place_inittabs
fault_boot

inode_of_inittab() {
    stat -L -c %i "$(device_file "$INITTAB")"
}

inittab_is_mount_point() {
    awk '$5 == "/etc/inittab" { found = 1 } END { exit !found }' "/proc/$DEVICE_PID/mountinfo"
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
    fault_run --trace --log -- "$@"
    expect_rc 0
    expect_out_lines
    expect_inittab "$new"
    expect_inittab_owner
    [ "$(inode_of_inittab)" = "$inode" ] || fault_fail "$INITTAB is another file now"
    inittab_is_mount_point || fault_fail "$INITTAB is no longer a mount point"
    [ ! -e "$(device_file "$TEMPORARY")" ] || fault_fail "$TEMPORARY is left behind"
    fault_trace_kills | grep -qx '1,SIGHUP' || fault_fail "init was not signalled"
}

# keep_in_place OLD NEW WHY FAILED ARG...: the run fails for WHY, and the
# inittab keeps its old content.
keep_in_place() {
    local old=$1 new=$2 why=$3 failed=$4
    shift 4
    cmp -s "$old" "$(device_file "$INITTAB")" || fault_put_inittab "$old"
    fault_run --trace --log -- "$@"
    expect_rc 0
    expect_out_lines "$failed"
    expect_inittab "$old"
    expect_inittab_owner
    grep -qF "($why)" "$FAULT_OUT/applog" ||
        fault_fail "the system log does not say why ($why): $(tr '\n' '|' <"$FAULT_OUT/applog")"
    [ -z "$(fault_trace_kills)" ] || fault_fail "signals sent: $(fault_trace_kills | tr '\n' ' ')"
    [ ! -e "$(device_file "$TEMPORARY")" ] || fault_fail "$TEMPORARY is left behind"
}

fault_case "the inittab is a file bind-mounted over /etc/inittab: rename gives EBUSY"
cp "$FAULT_OUT/small.a" "$DEVICE_ROOT/data/inittab"
device_run /bin/mount -n --bind /data/inittab "$INITTAB" || device_die "cannot bind-mount the inittab"
rewrite_in_place "$FAULT_OUT/small.a" "$FAULT_OUT/small.ab" register "/usr/bin/hb-b -i bound"
# uClibc-ng renames through renameat2, glibc and musl through rename.
grep -Eq '^rename(at2)?\(([^,]*, )?"/etc/inittab\+", ([^,]*, )?"/etc/inittab"(, 0)?\) = -1 EBUSY' "$FAULT_OUT/trace" ||
    fault_fail "the replacement by rename was not tried first"
device_wait 5 running_under_init /usr/bin/hb-b || fault_fail "init did not start hb-b from the rewritten inittab"
cmp -s "$FAULT_OUT/small.ab" "$DEVICE_ROOT/data/inittab" || fault_fail "the mounted file does not hold the new content"
rewrite_in_place "$FAULT_OUT/small.ab" "$FAULT_OUT/small.a" deregister "/usr/bin/hb-b -i bound"
rewrite_in_place "$FAULT_OUT/large.ab" "$FAULT_OUT/large.a" deregister "/usr/bin/hb-b -i bound"
device_run /bin/umount -n "$INITTAB"

fault_case "the bound inittab's file system is full: the rewrite fails before writing"
device_run /bin/mount -n -t tmpfs -o size=64k fault-data /data || device_die "cannot mount /data"
cp "$FAULT_OUT/small.a" "$(device_file /data/inittab)"
device_run /bin/mount -n --bind /data/inittab "$INITTAB" || device_die "cannot bind-mount the inittab"
fault_fill /data 0
keep_in_place "$FAULT_OUT/small.a" "$FAULT_OUT/small.ab" "No space left on device" "Register failed" \
    register "/usr/bin/hb-b -i bound"

fault_case "the bound inittab's file system has the one page the rewrite needs"
fault_fill /data 1
rewrite_in_place "$FAULT_OUT/small.a" "$FAULT_OUT/small.ab" register "/usr/bin/hb-b -i bound"

fault_case "the bound inittab's file system is full: a shorter rewrite needs no page"
rm -f "$(device_file /data/.fill)"
fault_put_inittab "$FAULT_OUT/large.ab"
fault_fill /data 0
rewrite_in_place "$FAULT_OUT/large.ab" "$FAULT_OUT/large.a" deregister "/usr/bin/hb-b -i bound"
rm -f "$(device_file /data/.fill)"
device_run /bin/umount -n "$INITTAB"
device_run /bin/umount -n /data

fault_case "/etc is read-only, the inittab is bound from a writable file system"
cp "$FAULT_OUT/small.a" "$DEVICE_ROOT/data/inittab"
device_run /bin/mount -n --bind /etc /etc &&
    device_run /bin/mount -n -o remount,bind,ro /etc &&
    device_run /bin/mount -n --bind /data/inittab "$INITTAB" || device_die "cannot set up a read-only /etc"
rewrite_in_place "$FAULT_OUT/small.a" "$FAULT_OUT/small.ab" register "/usr/bin/hb-b -i bound"
grep -q '"/etc/inittab+".* = -1 EROFS' "$FAULT_OUT/trace" ||
    fault_fail "no temporary file was tried beside the inittab first"
device_run /bin/umount -n "$INITTAB"

fault_case "/etc and the inittab are read-only"
cp "$(device_file "$INITTAB")" "$FAULT_OUT/read-only"
keep_in_place "$FAULT_OUT/read-only" /dev/null "Read-only file system" "Register failed" \
    register "/usr/bin/hb-b -i bound"
device_run /bin/umount -n /etc

fault_finish
