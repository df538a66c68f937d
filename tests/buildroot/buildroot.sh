#!/bin/bash
# Builds the package app-kelvane of the BR2_EXTERNAL tree in br2-external/
# with Buildroot, offline, each time from an empty output folder: against
# a stand-in glibc SDK, dynamic, and a stand-in uClibc-ng SDK, static.
# Checks each program, and leaves the uClibc-ng one at WORK/app_kelvane
# for the board.
#
#   buildroot.sh WORK
#
# Environment: KELVANE_BUILDROOT_SITE, a folder of every source tarball
# the build needs (served as Buildroot's only download site);
# KELVANE_BUILDROOT_TREE, a Buildroot tree of one's own (default: the
# buildroot-*.tar.xz of that folder, unpacked in WORK); KELVANE_SOURCE,
# the project's checkout; KELVANE_UCLIBC_SYSROOT, the uClibc-ng sysroot
# of this build; KELVANE_VERSION; KELVANE_OWN_TOOL and KELVANE_STRIP,
# this build's own static uClibc-ng tool and the strip for it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$1
site=$KELVANE_BUILDROOT_SITE
external=$KELVANE_SOURCE/br2-external
needed=$KELVANE_SOURCE/tests/package/check_needed.cmake

say() { printf 'buildroot: %s\n' "$*" >&2; }
fail() {
    say "$*"
    exit 1
}
# Where scripts/test runs (KELVANE_REQUIRE_ALL), a failure; by hand, a skip.
missing() {
    [ -z "${KELVANE_REQUIRE_ALL:-}" ] || fail "missing: $*"
    say "skipped: $*"
    exit 77
}

[ -d "$site" ] || missing "no folder of Buildroot sources at $site (KELVANE_BUILDROOT_SITE)"
for program in rsync wget file bc unzip patch cpio; do
    command -v $program >/dev/null || missing "Buildroot needs $program: run scripts/install-deps"
done
rm -rf "$work"
mkdir -p "$work/src"
tree=${KELVANE_BUILDROOT_TREE:-}
if [ -z "$tree" ]; then
    tarball=$(find "$site" -maxdepth 1 -name 'buildroot-*.tar.xz' | sort | tail -n 1)
    [ -n "$tarball" ] || missing "no buildroot-*.tar.xz in $site (KELVANE_BUILDROOT_SITE)"
    tar xf "$tarball" -C "$work"
    tree=$(find "$work" -maxdepth 1 -name 'buildroot-*' -type d)
fi
[ -f "$tree/Makefile" ] && [ -d "$tree/package" ] || missing "no Buildroot tree at $tree (KELVANE_BUILDROOT_TREE)"

# Buildroot wants host-tar 1.35 and host-pkgconf 2.3.0, which Debian 12
# cannot give as tarballs that match Buildroot's hashes: their Debian
# sources build in their place, named in each output folder's local.mk.
overrides=$work/local.mk
: >"$overrides"
for package in tar pkgconf; do
    source=$(find "$site" -maxdepth 1 -name "${package}_*.orig.tar.*" | sort | tail -n 1)
    [ -n "$source" ] || continue
    tar xf "$source" -C "$work/src"
    dir=$(find "$work/src" -maxdepth 1 -name "$package-*" -type d)
    echo "HOST_$(echo "$package" | tr '[:lower:]' '[:upper:]')_OVERRIDE_SRCDIR = $dir" >>"$overrides"
done
# tar's configure refuses to run as root without it.
export FORCE_UNSAFE_CONFIGURE=1

# configure KIND: the sample defconfig with the stand-in SDK's
# toolchain and the download site in place of Buildroot's own.
configure() {
    local kind=$1 out=$work/$1
    {
        sed "s|@SDK@|$work/sdk-$kind|" "$here/$kind.config"
        echo "BR2_PRIMARY_SITE=\"file://$(cd "$site" && pwd)\""
        echo 'BR2_PRIMARY_SITE_ONLY=y'
        echo "BR2_DL_DIR=\"$work/dl\""
        echo "BR2_JLEVEL=$(nproc)"
    } >"$work/$kind.config"
    make -C "$tree" BR2_EXTERNAL="$external" O="$out" kelvane_cortex_a7_defconfig >/dev/null
    "$tree/support/kconfig/merge_config.sh" -m -O "$out" "$out/.config" "$work/$kind.config" \
        >"$work/$kind.merge.log" 2>&1 || fail "$kind: merging $work/$kind.config failed ($work/$kind.merge.log)"
    make -C "$tree" O="$out" olddefconfig >>"$work/$kind.merge.log" 2>&1 ||
        fail "$kind: make olddefconfig failed ($work/$kind.merge.log)"
    grep -qx 'BR2_PACKAGE_APP_KELVANE=y' "$out/.config" ||
        fail "$kind: app-kelvane is not selected in $out/.config (does the toolchain have C++?)"
    cp "$overrides" "$out/local.mk"
}

# build KIND: make app-kelvane; on failure, Buildroot's own last words.
build() {
    local kind=$1 started=$SECONDS
    if ! make -C "$work/$kind" app-kelvane >"$work/$kind.log" 2>&1; then
        tail -n 25 "$work/$kind.log" >&2
        fail "$kind: make app-kelvane failed (log: $work/$kind.log)"
    fi
    say "$kind: make app-kelvane took $((SECONDS - started)) s"
}

# check KIND: an ARM program that needs the C library only, answers -v
# under qemu-arm-static (with status 1, as -v ends), and was built
# without the tests.
check() {
    local kind=$1 out=$work/$1 program=$work/$1/target/usr/sbin/app_kelvane
    local header version build_dir tests
    [ -f "$program" ] || fail "$kind: Buildroot installed no $program"
    header=$(readelf -h "$program")
    grep -q 'Class: *ELF32' <<<"$header" && grep -q 'Machine: *ARM' <<<"$header" ||
        fail "$kind: $program is not a 32-bit ARM program"
    # The C library only (and, dynamic, the loader that keeps glibc's
    # stack-protector canary on ARM), as the project's packages are checked.
    if [ "$kind" = glibc ]; then
        cmake -DBINARY="$program" -P "$needed" >/dev/null || fail "$kind: needs more than the C library"
        version=$(qemu-arm-static -L "$out/target" "$program" -v || :)
    else
        cmake -DBINARY="$program" -DSTATIC=1 -P "$needed" >/dev/null || fail "$kind: not static"
        version=$(qemu-arm-static "$program" -v || :)
    fi
    [ "$version" = "The version is $KELVANE_VERSION" ] ||
        fail "$kind: -v printed '$version', not 'The version is $KELVANE_VERSION'"
    build_dir=$(find "$out/build" -maxdepth 1 -name 'app-kelvane-*' -type d)
    grep -qx 'BUILD_TESTING:BOOL=OFF' "$build_dir/CMakeCache.txt" || fail "$kind: BUILD_TESTING was not OFF"
    tests=$(cd "$build_dir" && find . -name CTestTestfile.cmake -o -name 'libgtest*' -o -path './tests/*/CMakeFiles')
    [ -z "$tests" ] || fail "$kind: the package build made tests: ${tests//$'\n'/ }"
    grep -qa -e gtest -e GoogleTest "$program" && fail "$kind: $program holds GoogleTest"
    say "$kind: $program: $(stat -c %s "$program") bytes"
}

sh "$here/sdk.sh" glibc "$work/sdk-glibc" >/dev/null
sh "$here/sdk.sh" uclibc "$work/sdk-uclibc" "$KELVANE_UCLIBC_SYSROOT" >/dev/null
for kind in glibc uclibc; do
    configure $kind
done
# The two builds side by side: much of each is one configure script.
build glibc &
glibc=$!
build uclibc || { wait $glibc; exit 1; }
wait $glibc
for kind in glibc uclibc; do
    check $kind
done
cp "$work/uclibc/target/usr/sbin/app_kelvane" "$work/app_kelvane"

# The options that keep the tool small are the project's, whatever the
# toolchain file: Buildroot's static program is within 10% of this build's.
"$KELVANE_STRIP" -o "$work/own_tool" "$KELVANE_OWN_TOOL"
own=$(stat -c %s "$work/own_tool")
built=$(stat -c %s "$work/app_kelvane")
[ $((built * 10)) -le $((own * 11)) ] ||
    fail "uclibc: Buildroot's program has $built bytes, over 10% more than this build's $own"
say "uclibc: $built bytes, this build's own tool $own"
