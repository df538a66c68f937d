# shellcheck shell=bash
# The sandboxed device shared by the end-to-end tests and the demo.
#
# A root file system is assembled in a scratch directory from the static
# BusyBox, the tool under test (with its C library, and qemu-arm-static for
# an armhf build) and the static sample program.  It boots in private mount,
# PID, network, UTS and IPC namespaces: syslogd first, then BusyBox init as
# process 1.  Nothing of the host is changed: mounts live in the device's
# mount namespace only, and every process of it dies with its init.
#
# Source from bash, then:
#   device_build DIR INITTAB   assemble the root file system in DIR; INITTAB
#                              must run /etc/init.d/rcS at sysinit
#   device_start               boot it, and arm the tear-down for EXIT
#   device_run CMD [ARG...]    run CMD on the device (its root, PID 1 is init)
#   device_spawn CMD [ARG...]  the same in the background, output discarded
#   device_file PATH           host path of PATH as the device sees it
#   device_app ARG...          run app_kelvane on the device
#   device_stop                kill the device, remove DIR, check nothing is left
#
# Inputs (environment): KELVANE_TOOL (the tool binary), KELVANE_ARCH (host or
# armhf), DEVICE_HEARTBEAT (the static sample program), DEVICE_BUSYBOX
# (optional, default: busybox on PATH).

DEVICE_SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
DEVICE_ROOT=
DEVICE_PID=
DEVICE_MNTNS=
DEVICE_NSFD=
DEVICE_UNSHARE_PID=
DEVICE_SPAWNED=()
DEVICE_ARM_SYSROOT=/usr/arm-linux-gnueabihf
# Exit status that CTest reports as "skipped".
DEVICE_SKIP=77

device_log() { printf '%s\n' "device: $*" >&2; }

device_die() {
    device_log "$*"
    exit 1
}

# Missing prerequisites skip the test with a reason instead of failing it.
device_require() {
    local missing=()
    [ "$(id -u)" = 0 ] || { device_log "skipped: needs root for namespaces"; exit "$DEVICE_SKIP"; }
    DEVICE_BUSYBOX=${DEVICE_BUSYBOX:-$(command -v busybox || true)}
    [ -n "$DEVICE_BUSYBOX" ] || missing+=(busybox-static)
    command -v unshare >/dev/null || missing+=(util-linux)
    command -v nsenter >/dev/null || missing+=(util-linux)
    command -v setpriv >/dev/null || missing+=(util-linux)
    if [ "${KELVANE_ARCH:-host}" = armhf ]; then
        command -v qemu-arm-static >/dev/null || missing+=(qemu-user-static)
        [ -e "$DEVICE_ARM_SYSROOT/lib/ld-linux-armhf.so.3" ] || missing+=(libc6-armhf-cross)
    fi
    if [ ${#missing[@]} -gt 0 ]; then
        device_log "skipped: install ${missing[*]}"
        exit "$DEVICE_SKIP"
    fi
    if readelf -l "$DEVICE_BUSYBOX" | grep -q 'program interpreter'; then
        device_die "$DEVICE_BUSYBOX is dynamically linked; install busybox-static"
    fi
    [ -x "${KELVANE_TOOL:-}" ] || device_die "KELVANE_TOOL is not an executable: ${KELVANE_TOOL:-unset}"
    # An armhf run must not quietly test a host binary, nor the reverse.
    if readelf -h "$KELVANE_TOOL" | grep -q 'Machine: *ARM$'; then
        [ "${KELVANE_ARCH:-host}" = armhf ] || device_die "$KELVANE_TOOL is an ARM binary; set KELVANE_ARCH=armhf"
    else
        [ "${KELVANE_ARCH:-host}" = host ] || device_die "$KELVANE_TOOL is not an ARM binary"
    fi
    [ -x "${DEVICE_HEARTBEAT:-}" ] || device_die "DEVICE_HEARTBEAT is not an executable: ${DEVICE_HEARTBEAT:-unset}"
}

# Copies a host file to the same path under the root.
device_install_as_is() {
    local root=$1 path=$2
    mkdir -p "$root$(dirname "$path")"
    cp -L "$path" "$root$path"
}

# The host loader and libraries of a dynamic host binary, at their own paths.
device_install_host_libs() {
    local root=$1 binary=$2 lib
    if ! readelf -l "$binary" | grep -q 'program interpreter'; then
        return 0
    fi
    for lib in $(ldd "$binary" | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }'); do
        device_install_as_is "$root" "$lib"
    done
}

# The armhf loader and the libraries the binary needs, transitively, in /lib
# as on the device; qemu-arm-static runs it.
device_install_arm_libs() {
    local root=$1 binary=$2 queue=() seen=" " name
    mkdir -p "$root/lib"
    queue=(ld-linux-armhf.so.3 $(readelf -d "$binary" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'))
    while [ ${#queue[@]} -gt 0 ]; do
        name=${queue[0]}
        queue=("${queue[@]:1}")
        case $seen in *" $name "*) continue ;; esac
        seen="$seen$name "
        [ -e "$DEVICE_ARM_SYSROOT/lib/$name" ] || device_die "armhf library not found: $name"
        cp -L "$DEVICE_ARM_SYSROOT/lib/$name" "$root/lib/$name"
        queue+=($(readelf -d "$root/lib/$name" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'))
    done
    mkdir -p "$root/usr/bin"
    cp "$(command -v qemu-arm-static)" "$root/usr/bin/qemu-arm-static"
}

device_build() {
    local root=$1 inittab=$2 applet
    device_require
    [ -f "$inittab" ] || device_die "no inittab: $inittab"
    # The directory is wiped first: never let that be / or a relative surprise.
    case $root in
        /*/*) ;;
        *) device_die "the root must be an absolute path two levels deep: $root" ;;
    esac
    rm -rf "$root"
    mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,proc,tmp,dev,root,var/log,var/run}
    cp "$DEVICE_BUSYBOX" "$root/bin/busybox"
    for applet in $("$DEVICE_BUSYBOX" --list-full); do
        [ "$applet" = bin/busybox ] && continue
        mkdir -p "$root/$(dirname "$applet")"
        ln -sf /bin/busybox "$root/$applet"
    done
    # Mount points for the device nodes that device-boot.sh binds.
    : >"$root/dev/null"
    : >"$root/dev/console"
    : >"$root/dev/zero"
    cp -R "$DEVICE_SRC/rootfs/." "$root/"
    chmod 0755 "$root/etc/init.d/rcS"
    cp "$inittab" "$root/etc/inittab"
    chmod 0644 "$root/etc/inittab"

    cp "$DEVICE_HEARTBEAT" "$root/usr/bin/heartbeat"
    cp "$KELVANE_TOOL" "$root/usr/bin/app_kelvane"
    if [ "${KELVANE_ARCH:-host}" = armhf ]; then
        device_install_arm_libs "$root" "$KELVANE_TOOL"
    else
        device_install_host_libs "$root" "$KELVANE_TOOL"
    fi
    DEVICE_ROOT=$(cd "$root" && pwd)
}

# Waits up to SECONDS for CMD to succeed, trying every DEVICE_POLL seconds.
DEVICE_POLL=${DEVICE_POLL:-0.1}
device_wait() {
    local seconds=$1 deadline
    shift
    deadline=$((SECONDS + seconds))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep "$DEVICE_POLL"
    done
}

# Lines of the sample program's log, /var/log/NAME.log on the device.
heartbeat_log() {
    cat "$(device_file "/var/log/$1.log")" 2>/dev/null
}

start_count() {
    heartbeat_log "$1" | awk '$2 == "start"' | wc -l
}

start_count_above() {
    [ "$(start_count "$1")" -gt "$2" ]
}

device_init_ready() {
    local child
    if [ -z "$DEVICE_PID" ]; then
        child=$(cat "/proc/$DEVICE_UNSHARE_PID/task/$DEVICE_UNSHARE_PID/children" 2>/dev/null) || return 1
        [ -n "$child" ] || return 1
        DEVICE_PID=${child%% *}
        # Holding the namespace open keeps its inode number from being
        # reused by another device, so the leftover check cannot mistake
        # a stranger's processes for this device's.
        exec {DEVICE_NSFD}<"/proc/$DEVICE_PID/ns/mnt" || return 1
        DEVICE_MNTNS=$(readlink "/proc/self/fd/$DEVICE_NSFD")
    fi
    # device-boot.sh has exec'd init once process 1 lives in the root.
    [ "$(readlink "/proc/$DEVICE_PID/root")" = "$DEVICE_ROOT" ] || return 1
    [ "$(readlink "/proc/$DEVICE_PID/exe")" = "$DEVICE_ROOT/bin/busybox" ] || return 1
    # Boot is over once the sysinit script has run; init goes on with the
    # respawn entries at once.
    [ -e "$DEVICE_ROOT/var/run/rcS.done" ]
}

device_start() {
    [ -n "$DEVICE_ROOT" ] || device_die "device_build first"
    trap 'device_on_exit' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    # Should this shell die without running its traps (SIGKILL), the
    # death signals take unshare and then the device's init with it.
    setpriv --pdeathsig KILL -- \
        unshare --mount --pid --net --uts --ipc --fork --kill-child=SIGKILL \
        --propagation private \
        sh "$DEVICE_SRC/device-boot.sh" "$DEVICE_ROOT" \
        </dev/null >"$DEVICE_ROOT.boot.log" 2>&1 &
    DEVICE_UNSHARE_PID=$!
    if ! device_wait 20 device_init_ready; then
        cat "$DEVICE_ROOT.boot.log" >&2
        device_die "the device did not boot"
    fi
}

device_run() {
    # In the background and waited for, so that a signal to this shell runs
    # its traps at once rather than when the command ends.
    nsenter -t "$DEVICE_PID" -m -u -i -n -p -r -w -- "$@" <&0 &
    wait "$!"
}

device_spawn() {
    device_run "$@" </dev/null >/dev/null 2>&1 &
    DEVICE_SPAWNED+=($!)
}

device_file() {
    printf '/proc/%s/root%s\n' "$DEVICE_PID" "$1"
}

# The command line that starts the tool on the device.
if [ "${KELVANE_ARCH:-host}" = armhf ]; then
    # binfmt_misc is not set up for ARM, so the emulator is named.
    DEVICE_APP=(/usr/bin/qemu-arm-static /usr/bin/app_kelvane)
else
    DEVICE_APP=(/usr/bin/app_kelvane)
fi

device_app() {
    device_run "${DEVICE_APP[@]}" "$@"
}

# Host pids of the processes that still live in the device's mount namespace.
device_leftovers() {
    local ns
    [ -n "$DEVICE_MNTNS" ] || return 0
    for ns in /proc/[0-9]*/ns/mnt; do
        if [ "$(readlink "$ns" 2>/dev/null)" = "$DEVICE_MNTNS" ]; then
            ns=${ns#/proc/}
            printf '%s\n' "${ns%%/*}"
        fi
    done
}

device_no_leftovers() {
    [ -z "$(device_leftovers)" ]
}

device_stop() {
    local left pid
    # Killing process 1 of a PID namespace kills every process in it.  Its
    # pid is only trusted while unshare, our child, still has it as a child.
    if [ -n "$DEVICE_PID" ] && [ -n "$DEVICE_UNSHARE_PID" ] &&
        grep -qw "$DEVICE_PID" "/proc/$DEVICE_UNSHARE_PID/task/$DEVICE_UNSHARE_PID/children" 2>/dev/null; then
        kill -KILL "$DEVICE_PID" 2>/dev/null || true
    elif [ -n "$DEVICE_UNSHARE_PID" ]; then
        # Not booted yet: unshare's death signal takes the child along.
        kill -KILL "$DEVICE_UNSHARE_PID" 2>/dev/null || true
    fi
    [ -z "$DEVICE_UNSHARE_PID" ] || wait "$DEVICE_UNSHARE_PID" 2>/dev/null || true
    for pid in "${DEVICE_SPAWNED[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    device_wait 20 device_no_leftovers || true
    left=$(device_leftovers)
    if [ -n "$DEVICE_NSFD" ]; then
        exec {DEVICE_NSFD}<&-
        DEVICE_NSFD=
    fi
    if [ -n "$DEVICE_ROOT" ]; then
        rm -rf "$DEVICE_ROOT" "$DEVICE_ROOT.boot.log"
    fi
    DEVICE_PID= DEVICE_UNSHARE_PID= DEVICE_SPAWNED=()
    if [ -n "$left" ]; then
        device_log "processes left in the device's mount namespace: $left"
        return 1
    fi
}

device_on_exit() {
    local status=$?
    trap - EXIT
    device_stop || { [ "$status" != 0 ] || status=1; }
    exit "$status"
}
