#!/bin/bash
# Whatever another user plants at the working copy's or the lock file's
# path (a symbolic link to a root-owned file, a link to nothing, a file of
# their own, even one running as a program, a FIFO, a directory, empty or
# not) is never followed, written into or waited on: no file elsewhere is
# created, changed or truncated, no run hangs, and each run completes; a
# directory with something in it is moved aside whole, and a planted lock
# file is made afresh as root's own.  An inittab that is a symbolic link
# stays one, and the file it leads to is replaced whole, keeping its owner
# and mode.
. "$(dirname "$0")/fault.sh"

fault_begin planted_files
fault_programs hb-a hb-b
inittab_with "$E2E_OUT/one" "$TYPICAL" 1 "/usr/bin/hb-a -i planted"
inittab_with "$E2E_OUT/two" "$TYPICAL" 2 "/usr/bin/hb-a -i planted" "/usr/bin/hb-b -i planted"
mkdir -p "$DEVICE_ROOT/root" "$DEVICE_ROOT/data"
printf 'a file only root may read or write\n' >"$DEVICE_ROOT/root/victim"
chmod 0600 "$DEVICE_ROOT/root/victim"
cp -p "$DEVICE_ROOT/root/victim" "$E2E_OUT/victim"
e2e_boot
OTHER=33 # www-data on the device
etc_listing=$(fault_listing /etc)

# Files of the device's root file system (outside /tmp) created or changed
# since the mark, other than the inittab, its directory, logs and the
# harness's own notes.
touched_since_mark() {
    find "$DEVICE_ROOT" \( -newer "$E2E_OUT/mark" -o -cnewer "$E2E_OUT/mark" \) \
        ! -path "$DEVICE_ROOT/var/log" ! -path "$DEVICE_ROOT/var/log/*" \
        ! -path "$DEVICE_ROOT/var/run" ! -path "$DEVICE_ROOT/var/run/*" \
        ! -path "$DEVICE_ROOT$E2E_TRACES" ! -path "$DEVICE_ROOT$E2E_TRACES/*" \
        ! -path "$DEVICE_ROOT/etc" ! -path "$DEVICE_ROOT/etc/inittab" -print |
        sed "s|^$DEVICE_ROOT||"
}

expect_nothing_touched() {
    local touched
    touched=$(touched_since_mark)
    [ -z "$touched" ] || e2e_fail "files outside /tmp created or changed: $(echo "$touched" | tr '\n' ' ')"
    cmp -s "$E2E_OUT/victim" "$DEVICE_ROOT/root/victim" || e2e_fail "/root/victim changed"
    [ ! -e "$DEVICE_ROOT/root/absent" ] || e2e_fail "/root/absent was created"
}

# plant PATH KIND: puts KIND at the device path PATH, as user OTHER would.
plant() {
    local path=$1 host
    host=$(device_file "$path")
    rm -rf "$host"
    case $2 in
        link) ln -s /root/victim "$host" ;;
        dangling-link) ln -s /root/absent "$host" ;;
        directory-link) ln -s /root "$host" ;;
        file)
            printf 'planted\n' >"$host"
            chmod 0666 "$host"
            # A second name keeps the planted file in sight after the tool
            # has removed the first.
            ln "$host" "$(device_file /tmp/planted-view)"
            ;;
        fifo) mkfifo -m 0666 "$host" ;;
        directory) mkdir -m 0777 "$host" ;;
        full-directory)
            mkdir -m 0777 "$host"
            printf 'kept\n' >"$host/inside"
            ;;
    esac
    case $2 in
        *link) chown -h "$OTHER:$OTHER" "$host" ;;
        full-directory) chown -R "$OTHER:$OTHER" "$host" ;;
        *) chown "$OTHER:$OTHER" "$host" ;;
    esac
}

start_case() {
    e2e_case "$1"
    fault_put_inittab "$E2E_OUT/one"
    fault_clear_leftovers
    rm -f "$(device_file /tmp/planted-view)"
    touch "$E2E_OUT/mark"
    # A file changed in the same clock tick as the mark would not show.
    sleep 0.01
}

# --- the working copy -------------------------------------------------------

for kind in link dangling-link directory-link file fifo directory; do
    start_case "$WORKING_COPY planted as: $kind"
    plant "$WORKING_COPY" "$kind"
    run_app --timeout 30 -- register "/usr/bin/hb-b -i planted"
    expect_rc 0
    expect_out_lines
    expect_inittab "$E2E_OUT/two"
    expect_nothing_touched
    if [ "$kind" = file ]; then
        [ "$(cat "$(device_file /tmp/planted-view)")" = planted ] ||
            e2e_fail "the planted file was written into"
        rm -f "$(device_file /tmp/planted-view)"
    fi
    expect_clean_after_run "$etc_listing"
done

# expect_moved_aside PATH: the directory planted at PATH was moved aside whole.
expect_moved_aside() {
    local aside
    aside=$(ls -d "$(device_file "$1")".???????????????? 2>/dev/null)
    [ "$(cat "$aside/inside" 2>/dev/null)" = kept ] ||
        e2e_fail "the directory planted at $1 was not moved aside whole"
    rm -rf "$aside"
}

start_case "$WORKING_COPY planted as: a directory with a file in it"
plant "$WORKING_COPY" full-directory
run_app --timeout 30 -- register "/usr/bin/hb-b -i planted"
expect_rc 0
expect_out_lines
expect_inittab "$E2E_OUT/two"
expect_nothing_touched
expect_moved_aside "$WORKING_COPY"
expect_clean_after_run "$etc_listing"

# --- the lock file ----------------------------------------------------------

# A lock file that is not root's own is removed, never followed, written
# into or waited on, and made afresh: the run goes ahead.
expect_lock_made_afresh() {
    expect_rc 0
    expect_out_lines
    expect_inittab "$E2E_OUT/two"
    expect_nothing_touched
    [ "$(stat -c '%F %u %a %h' "$(device_file "$LOCK")")" = "regular empty file 0 600 1" ] ||
        e2e_fail "$LOCK is $(stat -c '%F %u %a %h' "$(device_file "$LOCK")"), not root's own"
}

for kind in link dangling-link directory-link fifo directory full-directory; do
    start_case "$LOCK planted as: $kind"
    plant "$LOCK" "$kind"
    run_app --timeout 30 -- register "/usr/bin/hb-b -i planted"
    expect_lock_made_afresh
    [ "$kind" != full-directory ] || expect_moved_aside "$LOCK"
done

# A file that cannot be opened for writing (it runs as a program) must
# not keep every run out.
start_case "$LOCK planted as: a program of another user, running"
rm -rf "$(device_file "$LOCK")"
device_spawn /bin/su -s /bin/sh www-data -c "cp /usr/bin/heartbeat $LOCK && exec $LOCK"
device_wait 5 process_count_is 1 "$LOCK" || e2e_fail "the planted program did not start"
run_app --timeout 30 -- register "/usr/bin/hb-b -i planted"
expect_lock_made_afresh
device_run /bin/kill "$(pids_of "$LOCK")"

start_case "$LOCK planted as: a FIFO another process holds open"
plant "$LOCK" fifo
device_spawn /bin/sh -c "exec 3<>$LOCK; : >/var/log/fifo-held; exec sleep 60"
device_wait 5 test -e "$(device_file /var/log/fifo-held)" || e2e_fail "the FIFO was not opened"
run_app --timeout 30 -- register "/usr/bin/hb-b -i planted"
expect_lock_made_afresh

start_case "$LOCK planted as: a file of another user"
plant "$LOCK" file
run_app --timeout 30 -- register "/usr/bin/hb-b -i planted"
expect_lock_made_afresh
[ "$(cat "$(device_file /tmp/planted-view)")" = planted ] || e2e_fail "the planted lock file was written into"
rm -f "$(device_file /tmp/planted-view)"

start_case "a run after the plants are gone"
rm -rf "$(device_file "$LOCK")"
run_app --no-log register "/usr/bin/hb-b -i planted"
expect_rc 0
expect_out_lines
expect_inittab "$E2E_OUT/two"
expect_clean_after_run "$etc_listing"

# --- an inittab that is a symbolic link ---------------------------------------

# link_case LINK... : /etc/inittab -> LINK[0] -> ... -> /data/inittab; each
# edit replaces /data/inittab and keeps every link.
link_case() {
    local links=("$@") i inode
    e2e_case "$INITTAB as a link: ${links[*]}"
    rm -f "$DEVICE_ROOT/etc/inittab" "$DEVICE_ROOT"/data/*
    ln -s "${links[0]}" "$DEVICE_ROOT/etc/inittab"
    for ((i = 1; i < ${#links[@]}; i++)); do
        ln -s "${links[i]}" "$DEVICE_ROOT/data/link$i"
    done
    cp "$E2E_OUT/one" "$DEVICE_ROOT/data/inittab"
    # As on a device whose /etc is read-only: the file is another user's,
    # with a mode of its own.
    chown 0:1 "$DEVICE_ROOT/data/inittab"
    chmod 0640 "$DEVICE_ROOT/data/inittab"
    for command in register deregister; do
        inode=$(stat -c %i "$DEVICE_ROOT/data/inittab")
        run_app --trace -- "$command" "/usr/bin/hb-b -i planted"
        expect_rc 0
        expect_out_lines
        if [ "$command" = register ]; then
            cmp -s "$E2E_OUT/two" "$DEVICE_ROOT/data/inittab" || e2e_fail "/data/inittab is not the new content"
        else
            inittab_with "$E2E_OUT/none" "$TYPICAL" 1 "/usr/bin/hb-a -i planted"
            cmp -s "$E2E_OUT/none" "$DEVICE_ROOT/data/inittab" || e2e_fail "/data/inittab is not the new content"
        fi
        [ "$(readlink "$DEVICE_ROOT/etc/inittab")" = "${links[0]}" ] || e2e_fail "$INITTAB is no longer the link"
        for ((i = 1; i < ${#links[@]}; i++)); do
            [ "$(readlink "$DEVICE_ROOT/data/link$i")" = "${links[i]}" ] || e2e_fail "/data/link$i changed"
        done
        [ "$(stat -c '%u:%g %a' "$DEVICE_ROOT/data/inittab")" = "0:1 640" ] ||
            e2e_fail "/data/inittab is $(stat -c '%u:%g %a' "$DEVICE_ROOT/data/inittab"), not 0:1 640"
        [ "$(stat -c %i "$DEVICE_ROOT/data/inittab")" != "$inode" ] ||
            e2e_fail "/data/inittab was rewritten in place, not replaced"
        [ "$(ls -A "$DEVICE_ROOT/data" | grep -vc '^link[0-9]*$')" = 1 ] ||
            e2e_fail "/data holds: $(ls -A "$DEVICE_ROOT/data" | tr '\n' ' ')"
        [ ! -e "$DEVICE_ROOT$TEMPORARY" ] && [ ! -L "$DEVICE_ROOT$TEMPORARY" ] ||
            e2e_fail "$TEMPORARY was created"
        fault_trace_kills | grep -qx '1,SIGHUP' || e2e_fail "init was not signalled"
    done
}

link_case /data/inittab
link_case ../data/inittab
link_case /data/link1 inittab

e2e_case "/etc is read-only, $INITTAB a link to a writable file"
rm -f "$DEVICE_ROOT/etc/inittab" "$DEVICE_ROOT"/data/*
ln -s /data/inittab "$DEVICE_ROOT/etc/inittab"
cp "$E2E_OUT/one" "$DEVICE_ROOT/data/inittab"
device_run /bin/mount -n --bind /etc /etc && device_run /bin/mount -n -o remount,bind,ro /etc ||
    device_die "cannot make /etc read-only"
run_app register "/usr/bin/hb-b -i planted"
expect_rc 0
expect_out_lines
cmp -s "$E2E_OUT/two" "$DEVICE_ROOT/data/inittab" || e2e_fail "/data/inittab is not the new content"
[ "$(ls -A "$DEVICE_ROOT/data")" = inittab ] || e2e_fail "/data holds: $(ls -A "$DEVICE_ROOT/data" | tr '\n' ' ')"
fault_unmount /etc

e2e_finish
