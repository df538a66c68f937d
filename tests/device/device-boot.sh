#!/bin/sh
# Process 1 of the device's fresh namespaces, before it becomes init:
# mount what BusyBox init and syslogd need, start the logger, exec init.
# Usage (from the harness only): unshare ... sh device-boot.sh ROOT
set -eu
root=$1

# Every mount below would land on the host if the namespaces were missing.
if [ "$$" != 1 ]; then
    echo "device-boot: not process 1 of a new PID namespace, refusing" >&2
    exit 1
fi

mount -t proc -o nosuid,nodev,noexec proc "$root/proc"
mount -t tmpfs -o mode=1777,nosuid,nodev,size=16m tmpfs "$root/tmp"
for node in null console zero full urandom; do
    src=/dev/$node
    # The console is a sink: init's own output must not reach the host.
    [ "$node" = console ] && src=/dev/null
    mount --bind "$src" "$root/dev/$node"
done

# syslogd stamps its lines with the host name it finds at start.
hostname "$(cat "$root/etc/hostname")"

# syslogd daemonises; its socket must exist before init logs anything.
chroot "$root" /sbin/syslogd -O /var/log/messages
tries=0
while [ ! -S "$root/dev/log" ]; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || { echo "device-boot: syslogd did not start" >&2; exit 1; }
    sleep 0.05
done

exec chroot "$root" /sbin/init
