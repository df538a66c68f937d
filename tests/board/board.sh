# shellcheck shell=bash
# The emulated ARM board: one back end of the end-to-end tests (the
# interface is in target.sh).
#
# qemu-system-arm boots Debian's armmp kernel on a virt machine (Cortex-A15)
# with an initramfs of the device's files but /etc, and /etc on an ext4
# virtio disk.  The initramfs's /init (init here) mounts what the board
# needs, starts syslogd and the control agent (agent here), and execs
# BusyBox init.  Commands reach the agent over a virtio serial port, whose
# host end is a pair of FIFOs in the work directory.
#
# Besides the interface of target.sh:
#   board_cut              power cut: SIGKILL qemu now; the disk stays
#   board_boot             boot again from the same initramfs and disk
#   BOARD_DISK             the disk image of /etc (for debugfs, e2fsck)
#   BOARD_BOOT_SECONDS     how long the last boot took until ready
#   BOARD_WRITE_LOG        with BOARD_LOG_WRITES=yes: qemu's log of every
#                          write and flush that reached the disk
#                          (blklogwrites, the kernel's dm-log-writes format)
#   BOARD_LOG_BASE         the disk as it was before the first boot, where
#                          replaying that log starts
#
# Inputs (environment): those of target.sh; DEVICE_FLOCK (a static ARM
# flock, from flock.c); BOARD_KIT (the directory kit.sh fills: made here if
# need be); BOARD_TIMEOUT (seconds one request may take, default 120; it
# may be set for one call: BOARD_TIMEOUT=5 device_run ...);
# BOARD_BOOT_TIMEOUT (seconds from qemu's start to ready, default 60).
# Where /etc lives, read by device_start: BOARD_ETC, ext4 (the virtio disk,
# the default) or ubifs (a UBI volume on simulated NAND flash, made afresh
# at every boot; BOARD_UBIMKVOL names the static ARM ubimkvol for it);
# BOARD_ETC_OPTIONS, its mount options (default commit=1 for ext4, none
# for UBIFS); BOARD_LOG_WRITES=yes logs the disk's writes.

. "$(dirname "${BASH_SOURCE[0]}")/../device/target.sh"
BOARD_SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck disable=SC2034 # read by the tests
DEVICE_SRC=$TARGET_SRC
# shellcheck disable=SC2034
DEVICE_KIND=board
DEVICE_ROOT=
# shellcheck disable=SC2034
DEVICE_APP=(/usr/bin/app_kelvane)
BOARD_TIMEOUT=${BOARD_TIMEOUT:-120}
BOARD_BOOT_TIMEOUT=${BOARD_BOOT_TIMEOUT:-60}
BOARD_WORK=
BOARD_DISK=
BOARD_QEMU_PID=
BOARD_TX=
BOARD_RX=
BOARD_SEQ=0
BOARD_BOOT_SECONDS=
BOARD_WRITE_LOG=
BOARD_LOG_BASE=
# Process 1 has become init (BusyBox names itself so) and the sysinit
# script has run: the condition the sandboxed device waits for too.
# shellcheck disable=SC2016 # expanded on the board
BOARD_READY='[ "$(tr "\0" "\n" </proc/1/cmdline | head -n 1)" = init ] && [ -e /var/run/rcS.done ]'

# A static 32-bit ARM program: the board has no C library.
board_static_arm() {
    [ -f "$1" ] && readelf -h "$1" | grep -q 'Machine: *ARM$' &&
        ! readelf -l "$1" | grep -q 'program interpreter'
}

# A board that cannot be built is a failure, not a skip: nothing would
# tell a skipped board from a passing one in a summary.
board_require() {
    local tool missing=() binary
    for tool in qemu-system-arm:qemu-system-arm mkfs.ext4:e2fsprogs cpio:cpio \
        setpriv:util-linux readelf:binutils timeout:coreutils; do
        command -v "${tool%%:*}" >/dev/null || missing+=("${tool#*:}")
    done
    [ ${#missing[@]} -eq 0 ] || device_die "the board needs: apt-get install ${missing[*]}"
    [ "${KELVANE_ARCH:-host}" = armhf ] || device_die "the board runs ARM code only: set KELVANE_ARCH=armhf"
    target_require_programs
    [ -x "${DEVICE_FLOCK:-}" ] || device_die "DEVICE_FLOCK is not an executable: ${DEVICE_FLOCK:-unset}"
    local binaries=("$KELVANE_TOOL" "$DEVICE_HEARTBEAT" "$DEVICE_FLOCK")
    case ${BOARD_ETC:-ext4} in
        ext4) ;;
        ubifs)
            [ -n "${BOARD_UBIMKVOL:-}" ] || device_die "BOARD_UBIMKVOL names no ubimkvol for /etc on flash"
            binaries+=("$BOARD_UBIMKVOL")
            ;;
        *) device_die "BOARD_ETC is ext4 or ubifs, not $BOARD_ETC" ;;
    esac
    for binary in "${binaries[@]}"; do
        board_static_arm "$binary" || device_die "$binary is not a static 32-bit ARM program"
    done
    [ -n "${BOARD_KIT:-}" ] || device_die "BOARD_KIT names no directory for the board's kernel and BusyBox"
    "$BOARD_SRC/kit.sh" "$BOARD_KIT" || device_die "no board kit in $BOARD_KIT"
}

device_build() {
    local root=$1 inittab=$2
    board_require
    target_fresh_root "$root"
    mkdir -p "$root"/{bin,sys,etc,lib/modules,usr/libexec/board}
    cp "$BOARD_KIT/busybox" "$root/bin/busybox"
    # /init runs on it; it links the other applets at boot.
    ln -s busybox "$root/bin/sh"
    cp "$BOARD_KIT"/modules/* "$root/lib/modules/"
    install -m 0755 "$BOARD_SRC/init" "$root/init"
    install -m 0755 "$BOARD_SRC/agent" "$root/usr/libexec/board/agent"
    target_install_files "$root" "$inittab"
    cp "$DEVICE_FLOCK" "$root/usr/bin/flock"
    [ "${BOARD_ETC:-ext4}" = ext4 ] || install -m 0755 "$BOARD_UBIMKVOL" "$root/usr/libexec/board/ubimkvol"
    DEVICE_ROOT=$(cd "$root" && pwd)
    BOARD_WORK=$DEVICE_ROOT.board
    BOARD_DISK=$BOARD_WORK/etc.img
}

# With /etc on the disk, the initramfs holds the root but /etc (an empty
# mount point there) and the disk holds /etc, made without mounting
# anything on the host.  With /etc on flash, the initramfs holds /etc too,
# and the board's init copies it to the new volume.
board_pack() {
    local etc=${BOARD_ETC:-ext4} prune=(-path './etc/*' -prune -o)
    rm -rf "$BOARD_WORK"
    mkdir -p "$BOARD_WORK"
    board_configure "$etc"
    [ "$etc" = ext4 ] || prune=()
    (cd "$DEVICE_ROOT" && find . "${prune[@]}" -print |
        cpio -o -H newc -R 0:0 --quiet) >"$BOARD_WORK/initramfs.cpio" ||
        device_die "cannot pack the initramfs of $DEVICE_ROOT"
    [ "$etc" = ext4 ] || return 0
    # Inode tables and journal zeroed now: otherwise the kernel zeroes them
    # in the background after mounting, writes that have nothing to do
    # with a test and land amid its own.
    mkfs.ext4 -q -F -L etc -E lazy_itable_init=0,lazy_journal_init=0 -d "$DEVICE_ROOT/etc" \
        "$BOARD_DISK" 32M >"$BOARD_WORK/mkfs.log" 2>&1 || {
        cat "$BOARD_WORK/mkfs.log" >&2
        device_die "cannot make the disk image $BOARD_DISK"
    }
    [ "${BOARD_LOG_WRITES:-}" = yes ] || return 0
    BOARD_WRITE_LOG=$BOARD_WORK/etc.log
    BOARD_LOG_BASE=$BOARD_WORK/etc.base.img
    cp --sparse=always "$BOARD_DISK" "$BOARD_LOG_BASE"
    : >"$BOARD_WRITE_LOG"
}

# What the board's init reads to put /etc in place.
board_configure() {
    local options=${BOARD_ETC_OPTIONS-}
    [ -n "${BOARD_ETC_OPTIONS+set}" ] || [ "$1" != ext4 ] || options=commit=1
    printf 'ETC_FS=%s\nETC_OPTIONS=%s\n' "$1" "$options" >"$DEVICE_ROOT/usr/libexec/board/etc.conf"
}

# qemu's arguments for the disk of /etc: none on flash; with the write
# log, the blklogwrites driver between the board and the image, appending
# to the log across boots, and each of the board's requests on its own
# (qemu would merge neighbours that arrive together).
board_disk_args() {
    local drive="if=none,file=$BOARD_DISK,format=raw,id=d0" device=virtio-blk-device,drive=d0
    [ "${BOARD_ETC:-ext4}" = ext4 ] || return 0
    if [ -n "$BOARD_WRITE_LOG" ]; then
        drive="if=none,id=d0,driver=blklogwrites,file.driver=file,file.filename=$BOARD_DISK,log.driver=file,log.filename=$BOARD_WRITE_LOG,log-append=on"
        device+=,request-merging=off
    fi
    printf '%s\n' -drive "$drive" -device "$device"
}

device_start() {
    [ -n "$DEVICE_ROOT" ] || device_die "device_build first"
    target_arm_teardown
    board_pack
    board_boot
}

# Fresh FIFOs for every boot: bytes a cut board left unread in the old
# ones must not pass for a reply.  Opened read-write, they never block,
# whether qemu has its ends open yet or no more.
board_open_channel() {
    rm -f "$BOARD_WORK/ctl.in" "$BOARD_WORK/ctl.out"
    mkfifo "$BOARD_WORK/ctl.in" "$BOARD_WORK/ctl.out" || device_die "cannot make the FIFOs in $BOARD_WORK"
    exec {BOARD_TX}<>"$BOARD_WORK/ctl.in" {BOARD_RX}<>"$BOARD_WORK/ctl.out"
}

board_close_channel() {
    [ -z "$BOARD_TX" ] || exec {BOARD_TX}>&-
    [ -z "$BOARD_RX" ] || exec {BOARD_RX}<&-
    BOARD_TX='' BOARD_RX=''
}

# Boots qemu on the work directory's initramfs and disk and waits until
# the board is ready.  Should this shell die without running its traps
# (SIGKILL), the death signal takes qemu with it.
board_boot() {
    local started disk
    mapfile -t disk < <(board_disk_args)
    board_open_channel
    echo "=== boot at $(date '+%F %T')" >>"$BOARD_WORK/console.log"
    started=$EPOCHREALTIME
    setpriv --pdeathsig KILL -- qemu-system-arm -M virt -cpu cortex-a15 -m 256 \
        -nographic -no-reboot -nic none \
        -kernel "$BOARD_KIT/vmlinuz" -initrd "$BOARD_WORK/initramfs.cpio" \
        -append "console=ttyAMA0 rdinit=/init quiet panic=-1" \
        "${disk[@]}" \
        -device virtio-serial-device -chardev "pipe,id=ctl,path=$BOARD_WORK/ctl" \
        -device virtserialport,chardev=ctl,name=ctl \
        </dev/null >>"$BOARD_WORK/console.log" 2>&1 &
    BOARD_QEMU_PID=$!
    board_wait_ready
    # shellcheck disable=SC2034 # read by the tests
    BOARD_BOOT_SECONDS=$(awk -v from="$started" -v to="$EPOCHREALTIME" 'BEGIN { printf "%.1f", to - from }')
}

# The first request waits in the FIFO until the agent opens its port; the
# checks after it are quick.
board_wait_ready() {
    local deadline=$((SECONDS + BOARD_BOOT_TIMEOUT)) left
    while :; do
        left=$((deadline - SECONDS))
        [ "$left" -gt 0 ] || board_fail "the board was not ready within $BOARD_BOOT_TIMEOUT s"
        BOARD_TIMEOUT=$left board_request run "$BOARD_READY" - "the check whether it is ready" && return 0
        sleep 0.1
    done
}

# Power cut: qemu dies at once, whatever the board was doing; only what
# it had written to the disk image stays.
board_cut() {
    if [ -n "$BOARD_QEMU_PID" ]; then
        kill -KILL "$BOARD_QEMU_PID" 2>/dev/null
        wait "$BOARD_QEMU_PID" 2>/dev/null
        BOARD_QEMU_PID=
    fi
    board_close_channel
}

board_running() {
    local state
    [ -n "$BOARD_QEMU_PID" ] || return 1
    read -r _ _ state _ 2>/dev/null <"/proc/$BOARD_QEMU_PID/stat" && [ "$state" != Z ]
}

board_gone() { ! board_running; }

# Ends the test: the board is of no use any more.  qemu is killed here, so
# that when this runs in a subshell ($(device_run ...)), the caller's next
# request fails at once instead of waiting out its own timeout.  A killed
# qemu takes a while to give back its memory on a busy machine: wait until
# it has ended, or the caller's next request may still find it running.
board_fail() {
    device_log "$*"
    if [ -s "$BOARD_WORK/console.log" ]; then
        device_log "the end of the console log ($BOARD_WORK/console.log):"
        board_console_end | awk '{ print "    " $0 }' >&2
    fi
    if [ -n "$BOARD_QEMU_PID" ]; then
        kill -KILL "$BOARD_QEMU_PID" 2>/dev/null
        device_wait 10 board_gone || device_log "qemu (pid $BOARD_QEMU_PID) outlived SIGKILL"
    fi
    exit 1
}

# The last 20 lines of the console, or, when the board's init gave up,
# the 20 up to its reason (the kernel's panic follows it).
board_console_end() {
    tr -d '\r' <"$BOARD_WORK/console.log" | awk '
        /^=== boot / { n = 0; stop = 0 }
        !stop { line[++n] = $0 }
        /^board-init: / { stop = 1 }
        END { for (i = n > 20 ? n - 19 : 1; i <= n; i++) print line[i] }'
}

# board_read_line VAR DEADLINE: one line of the reply into VAR, unless the
# board dies or SECONDS passes DEADLINE first.  read -t keeps what it got
# before the timeout, so a line may come in slices.
board_read_line() {
    local part line=
    while :; do
        IFS= read -r -t 1 -u "$BOARD_RX" part
        case $? in
            0) printf -v "$1" '%s' "$line$part"; return 0 ;;
            1) return 1 ;;
        esac
        line+=$part
        board_running && [ "$SECONDS" -lt "$2" ] || return 1
    done
}

# board_read_bytes COUNT DEADLINE: COUNT bytes of the reply to standard
# output.  The shell's read would drop NUL bytes; GNU head reads no more
# than it is asked for.
board_read_bytes() {
    [ "$1" -gt 0 ] || return 0
    [ "$SECONDS" -lt "$2" ] && timeout "$(($2 - SECONDS))" head -c "$1" <&"$BOARD_RX"
}

# board_request KIND SCRIPT INPUT WHAT: one exchange with the agent (its
# protocol is in agent), INPUT a file for the command's standard input or
# - for none.  Prints the command's output and returns its status.
# Requests go strictly one at a time: the tests never make two device_*
# calls at once, so the next request waits for this reply.  The request is
# written in the background: a full FIFO blocks the writer until the board
# reads, and a board that never does must not hang the test.
board_request() {
    local kind=$1 script=$2 input=$3 what=$4 deadline=$((SECONDS + BOARD_TIMEOUT))
    local id writer reply='' status out err size=- LC_ALL=C
    board_running || board_fail "the board is not running (asked for $what)"
    BOARD_SEQ=$((BOARD_SEQ + 1))
    id=$BASHPID.$BOARD_SEQ
    [ "$input" = - ] || size=$(stat -c %s "$input")
    {
        # LC_ALL=C: the length in bytes, not in characters.
        printf '%s %s %s %s\n%s' "$id" "$kind" "${#script}" "$size" "$script"
        [ "$input" = - ] || cat "$input"
    } >&"$BOARD_TX" &
    writer=$!
    if ! { board_read_line reply "$deadline" && read -r id status out err <<<"$reply" &&
        [ "$id" = "$BASHPID.$BOARD_SEQ" ] &&
        board_read_bytes "$out" "$deadline" && board_read_bytes "$err" "$deadline" >&2; }; then
        board_no_answer "$what" "$writer" "$reply"
    fi
    wait "$writer"
    return "$status"
}

board_no_answer() {
    local what=$1 writer=$2 reply=$3
    kill "$writer" 2>/dev/null
    board_running || board_fail "the board went down during $what"
    [ -z "$reply" ] || board_fail "the board answered '$reply' to $what"
    board_fail "the board did not answer $what within $BOARD_TIMEOUT s"
}

device_run() {
    board_request run "exec$(target_quote "$@")" - "device_run $*"
}

device_spawn() {
    board_request spawn "exec$(target_quote "$@")" - "device_spawn $*"
}

device_get() {
    device_run /bin/cat "$1"
}

# Standard input goes through a file: the request gives its size first.
device_put() {
    cat >"$BOARD_WORK/put" || device_die "device_put $1: cannot read standard input"
    board_request run "exec /bin/cat >$(target_quote "$1")" "$BOARD_WORK/put" "device_put $1"
}

# Host pids of processes whose command line names this board's files: a
# qemu that outlived its kill.  The glob is expanded before grep starts, so
# that grep, whose own command line names them too, is not in the list.
board_leftovers() {
    local cmdlines=(/proc/[0-9]*/cmdline)
    [ -n "$BOARD_WORK" ] || return 0
    grep -alF -- "$BOARD_WORK/" "${cmdlines[@]}" 2>/dev/null | cut -d/ -f3
}

device_stop() {
    local left
    board_cut
    left=$(board_leftovers)
    [ -z "$DEVICE_ROOT" ] || rm -rf "$DEVICE_ROOT" "$BOARD_WORK"
    if [ -n "$left" ]; then
        device_log "processes left with this board's files: $left"
        return 1
    fi
    if [ -n "$BOARD_WORK" ] && [ -e "$BOARD_WORK" ]; then
        device_log "the board's files are left in $BOARD_WORK"
        return 1
    fi
}
