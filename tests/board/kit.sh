#!/bin/bash
# kit.sh DIR: the parts of the emulated board that come from Debian, in DIR:
#   vmlinuz           the armmp kernel
#   modules/NAME.ko   the modules the board's disk and control port need
#   modules/order     their names, one a line, in the order to load them
#   modules/order.nand the same for /etc on UBIFS on simulated NAND flash,
#                     loaded after those only by a board that asks for it
#   busybox           the static armhf BusyBox
# fetched with apt-get download (nothing is installed, nothing goes to
# /boot) and cached: a complete DIR is used as it is, without apt.
set -uo pipefail

# In load order: each after those it needs (the depends= of its .ko).
KIT_MODULES=(crc32c_generic virtio_mmio virtio_blk virtio_console jbd2 mbcache crc16 ext4)
# UBIFS needs crc16 (above) and, before it mounts anything, every
# compressor it was built with: zstd and deflate are modules, lzo built in.
KIT_NAND_MODULES=(nandsim ubi zstd_compress zstd deflate ubifs)

kit_die() {
    printf 'kit: %s\n' "$*" >&2
    exit 1
}

kit_complete() {
    local module
    [ -s "$KIT/vmlinuz" ] && [ -x "$KIT/busybox" ] || return 1
    [ "$(cat "$KIT/modules/order" 2>/dev/null)" = "$(printf '%s\n' "${KIT_MODULES[@]}")" ] || return 1
    [ "$(cat "$KIT/modules/order.nand" 2>/dev/null)" = "$(printf '%s\n' "${KIT_NAND_MODULES[@]}")" ] || return 1
    for module in "${KIT_MODULES[@]}" "${KIT_NAND_MODULES[@]}"; do
        [ -s "$KIT/modules/$module.ko" ] || return 1
    done
}

kit_require() {
    command -v apt-get >/dev/null || kit_die "no apt-get: install apt"
    command -v dpkg-deb >/dev/null || kit_die "no dpkg-deb: install dpkg"
    command -v tar >/dev/null || kit_die "no tar: install tar"
    dpkg --print-foreign-architectures | grep -qx armhf ||
        kit_die "armhf is not a foreign architecture here: dpkg --add-architecture armhf && apt-get update"
}

# The versioned package that linux-image-armmp points to today.
kit_kernel_package() {
    local package
    package=$(apt-cache depends linux-image-armmp:armhf 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-armmp\)\(:armhf\)\?$/\1/p' | head -n 1)
    [ -n "$package" ] || kit_die "apt knows no linux-image-armmp:armhf: run apt-get update"
    printf '%s:armhf\n' "$package"
}

# kit_fetch PACKAGE: its .deb in DIR/debs, downloaded once.
kit_fetch() {
    local package=$1 name=${1%%:*} deb
    deb=$(find "$KIT/debs" -name "${name}_*_armhf.deb" | head -n 1)
    if [ -z "$deb" ]; then
        # Run as root, apt's download user may not write to DIR.
        (cd "$KIT/debs" && apt-get download -q -o APT::Sandbox::User=root "$package") >&2 ||
            kit_die "apt-get download $package failed (an old package list? apt-get update)"
        deb=$(find "$KIT/debs" -name "${name}_*_armhf.deb" | head -n 1)
        [ -n "$deb" ] || kit_die "apt-get download $package left no .deb in $KIT/debs"
    fi
    printf '%s\n' "$deb"
}

# kit_extract DEB MEMBER...: only these members of DEB, into DIR/new.
kit_extract() {
    local deb=$1
    shift
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$KIT/new" --wildcards "$@" ||
        kit_die "cannot unpack $* from $deb"
}

kit_build() {
    local package kernel busybox module patterns=()
    package=$(kit_kernel_package) || exit 1
    kernel=$(kit_fetch "$package") || exit 1
    busybox=$(kit_fetch busybox-static:armhf) || exit 1
    rm -rf "$KIT/new"
    mkdir -p "$KIT/new"
    for module in "${KIT_MODULES[@]}" "${KIT_NAND_MODULES[@]}"; do
        patterns+=("./lib/modules/*/$module.ko")
    done
    kit_extract "$kernel" './boot/vmlinuz-*' "${patterns[@]}"
    kit_extract "$busybox" ./bin/busybox
    mkdir -p "$KIT/modules"
    for module in "${KIT_MODULES[@]}" "${KIT_NAND_MODULES[@]}"; do
        find "$KIT/new/lib/modules" -name "$module.ko" -exec mv {} "$KIT/modules/" \;
    done
    printf '%s\n' "${KIT_MODULES[@]}" >"$KIT/modules/order"
    printf '%s\n' "${KIT_NAND_MODULES[@]}" >"$KIT/modules/order.nand"
    mv "$KIT/new/bin/busybox" "$KIT/busybox"
    mv "$KIT"/new/boot/vmlinuz-* "$KIT/vmlinuz"
    rm -rf "$KIT/new"
}

[ $# -eq 1 ] || kit_die "usage: kit.sh DIR"
mkdir -p "$1/debs" || kit_die "cannot create $1"
KIT=$(cd "$1" && pwd)
kit_complete && exit 0
kit_require
kit_build
kit_complete || kit_die "the kit in $KIT is incomplete after unpacking"
echo "kit: $(basename "$(find "$KIT/debs" -name 'linux-image-*.deb')" .deb) and BusyBox in $KIT" >&2
