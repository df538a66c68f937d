# shellcheck shell=bash
# The sandboxed device: one back end of the end-to-end tests (the interface
# is in target.sh), shared with scripts/demo, the fault tests and the
# benchmark.
#
# A root file system is assembled in a scratch directory from the static
# BusyBox, the tool under test (with its C library, and qemu-arm-static for
# an armhf build) and the static sample program.  It boots in private mount,
# PID, network, UTS and IPC namespaces: syslogd first, then BusyBox init as
# process 1.  Nothing of the host is changed: mounts live in the device's
# mount namespace only, and every process of it dies with its init.
#
# Besides the interface of target.sh:
#   device_file PATH           host path of PATH as the device sees it
#   DEVICE_PID                 the host pid of the device's init
#
# Inputs (environment): those of target.sh, and DEVICE_BUSYBOX (optional,
# default: busybox on PATH).

. "$(dirname "${BASH_SOURCE[0]}")/target.sh"
DEVICE_SRC=$TARGET_SRC
DEVICE_KIND=namespace
DEVICE_ROOT=
DEVICE_PID=
DEVICE_MNTNS=
DEVICE_NSFD=
DEVICE_UNSHARE_PID=
DEVICE_SPAWNED=()
DEVICE_ARM_SYSROOT=/usr/arm-linux-gnueabihf

# Missing prerequisites are named (device_missing).
device_require() {
    local missing=()
    [ "$(id -u)" = 0 ] || device_missing "root privileges (the device needs namespaces)"
    DEVICE_BUSYBOX=${DEVICE_BUSYBOX:-$(command -v busybox || true)}
    [ -n "$DEVICE_BUSYBOX" ] || missing+=(busybox-static)
    command -v unshare >/dev/null || missing+=(util-linux)
    command -v nsenter >/dev/null || missing+=(util-linux)
    command -v setpriv >/dev/null || missing+=(util-linux)
    command -v flock >/dev/null || missing+=(util-linux)
    if [ "${KELVANE_ARCH:-host}" = armhf ]; then
        command -v qemu-arm-static >/dev/null || missing+=(qemu-user-static)
        device_is_static "${KELVANE_TOOL:-}" || [ -e "$DEVICE_ARM_SYSROOT/lib/ld-linux-armhf.so.3" ] ||
            missing+=(libc6-armhf-cross)
    fi
    [ ${#missing[@]} -eq 0 ] || device_missing "${missing[*]}"
    if readelf -l "$DEVICE_BUSYBOX" | grep -q 'program interpreter'; then
        device_die "$DEVICE_BUSYBOX is dynamically linked; install busybox-static"
    fi
    target_require_programs
    # An armhf run must not quietly test a host binary, nor the reverse.
    if readelf -h "$KELVANE_TOOL" | grep -q 'Machine: *ARM$'; then
        [ "${KELVANE_ARCH:-host}" = armhf ] || device_die "$KELVANE_TOOL is an ARM binary; set KELVANE_ARCH=armhf"
    else
        [ "${KELVANE_ARCH:-host}" = host ] || device_die "$KELVANE_TOOL is not an ARM binary"
    fi
}

# A static binary names no loader and needs no library beside it.
device_is_static() {
    [ -f "$1" ] && ! readelf -l "$1" | grep -q 'program interpreter'
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
    device_is_static "$binary" && return 0
    for lib in $(ldd "$binary" | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }'); do
        device_install_as_is "$root" "$lib"
    done
}

# A host program at DEST in the root, with the libraries it loads.
device_install_host_program() {
    local root=$1 program=$2 dest=$3
    mkdir -p "$root$(dirname "$dest")"
    cp -L "$program" "$root$dest"
    device_install_host_libs "$root" "$program"
}

# The armhf loader and the libraries the binary needs, transitively, in /lib
# as on the device; qemu-arm-static runs it.
device_install_arm_libs() {
    local root=$1 binary=$2 queue=() seen=" " name
    mkdir -p "$root/usr/bin"
    cp "$(command -v qemu-arm-static)" "$root/usr/bin/qemu-arm-static"
    device_is_static "$binary" && return 0
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
}

device_build() {
    local root=$1 inittab=$2 applet
    device_require
    target_fresh_root "$root"
    mkdir -p "$root"/{bin,dev}
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
    : >"$root/dev/full"
    : >"$root/dev/urandom"
    target_install_files "$root" "$inittab"
    # BusyBox has no flock; the host's runs here as the tool's code does.
    device_install_host_program "$root" "$(command -v flock)" /usr/bin/flock
    if [ "${KELVANE_ARCH:-host}" = armhf ]; then
        device_install_arm_libs "$root" "$KELVANE_TOOL"
    else
        device_install_host_libs "$root" "$KELVANE_TOOL"
    fi
    DEVICE_ROOT=$(cd "$root" && pwd)
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
    target_arm_teardown
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

# Through init's root, the device's files are the host's to read and write.
device_get() {
    cat "$(device_file "$1")"
}

device_put() {
    cat >"$(device_file "$1")"
}

# The command line that starts the tool on the device.
if [ "${KELVANE_ARCH:-host}" = armhf ]; then
    # binfmt_misc is not set up for ARM, so the emulator is named.
    DEVICE_APP=(/usr/bin/qemu-arm-static /usr/bin/app_kelvane)
else
    DEVICE_APP=(/usr/bin/app_kelvane)
fi

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
