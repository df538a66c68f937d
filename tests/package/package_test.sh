#!/bin/sh
# What a device receives: the tool installed into a root file system, and
# the Debian package of one build.
#
#   package_test.sh build    BUILD_DIR OUT_DIR CPACK
#   package_test.sh install  BUILD_DIR WORK_DIR CMAKE PAGE ARCH READELF
#   package_test.sh contents OUT_DIR WORK_DIR PAGE ARCH VERSION READELF DEPENDS
#   package_test.sh version  OUT_DIR WORK_DIR VERSION [EMULATOR ...]
#
# ARCH is the Debian architecture the build is for (amd64, armhf, ...).
set -eu

kBinary=usr/sbin/app_kelvane
kPage=usr/share/man/man8/app_kelvane.8
kSkip=77

fail() {
	echo "FAIL: $*" >&2
	exit 1
}

# A fresh directory for one test, removed whatever the outcome.
fresh_dir() {
	rm -rf "$1"
	mkdir -p "$1"
	trap 'rm -rf "$work"' EXIT
}

the_package() {
	set -- "$1"/*.deb
	[ $# -eq 1 ] && [ -f "$1" ] || fail "expected exactly one package in $(dirname "$1"), found: $*"
	echo "$1"
}

# readelf's name of the machine each Debian architecture runs.
machine_of() {
	case $1 in
	amd64) echo 'Advanced Micro Devices X86-64' ;;
	i386) echo 'Intel 80386' ;;
	arm64) echo 'AArch64' ;;
	armhf | armel) echo 'ARM' ;;
	*) fail "no machine known for architecture $1" ;;
	esac
}

# The binary is for ARCH, carries no symbol table, and can be executed.
check_binary() {
	binary=$1 arch=$2 readelf=$3
	[ -f "$binary" ] && [ -x "$binary" ] || fail "$binary is not an executable file"
	machine=$("$readelf" -h "$binary" | sed -n 's/^ *Machine: *//p')
	[ "$machine" = "$(machine_of "$arch")" ] ||
		fail "$binary is for '$machine', not for $arch"
	flags=$("$readelf" -h "$binary" | sed -n 's/^ *Flags: *//p')
	case $arch/$flags in
	armhf/*hard-float*) ;;
	armhf/*) fail "$binary does not use the hard-float ABI of armhf: $flags" ;;
	esac
	if "$readelf" -S "$binary" | grep -q '\.symtab'; then
		fail "$binary is not stripped"
	fi
}

check_page() {
	cmp "$1" "$2" || fail "$2 differs from the manual page $1"
}

build() {
	build_dir=$1 out=$2 cpack=$3
	rm -rf "$out"
	"$cpack" -G DEB --config "$build_dir/CPackConfig.cmake" -B "$out"
	deb=$(the_package "$out")
	echo "built $deb"
}

install_rules() {
	build_dir=$1 work=$2 cmake=$3 page=$4 arch=$5 readelf=$6
	fresh_dir "$work"
	DESTDIR="$work/root" "$cmake" --install "$build_dir" --prefix /usr
	staged=$(cd "$work/root" && find . ! -type d | sed 's|^\./||' | sort)
	expected=$(printf '%s\n' "$kBinary" "$kPage" | sort)
	[ "$staged" = "$expected" ] ||
		fail "install staged other files than the tool and its page:
$staged"
	check_binary "$work/root/$kBinary" "$arch" "$readelf"
	check_page "$page" "$work/root/$kPage"
	echo "install stages $kBinary and $kPage"
}

# Every entry that is not a directory must be one of the two files, owned
# by root with the usual modes; every directory must lead to one of them.
check_listing() {
	deb=$1
	dpkg-deb --contents "$deb" | awk -v binary="./$kBinary" -v page="./$kPage" '
		{ path = $6; mode = $1; owner = $2 }
		mode ~ /^d/ {
			if (index(binary, path) != 1 && index(page, path) != 1)
				bad = bad "\n  unexpected directory " path
			next
		}
		path == binary && mode == "-rwxr-xr-x" && owner == "root/root" { seen++; next }
		path == page && mode == "-rw-r--r--" && owner == "root/root" { seen++; next }
		{ bad = bad "\n  unexpected entry " $0 }
		END {
			if (seen != 2) bad = bad "\n  the binary and the page are not both there as expected"
			if (bad != "") { print "package contents:" bad; exit 1 }
		}' || fail "contents of $deb"
}

contents() {
	out=$1 work=$2 page=$3 arch=$4 version=$5 readelf=$6 depends=$7
	deb=$(the_package "$out")
	dpkg-deb --info "$deb"
	got_arch=$(dpkg-deb --field "$deb" Architecture)
	got_version=$(dpkg-deb --field "$deb" Version)
	name=$(dpkg-deb --field "$deb" Package)
	[ "$got_arch" = "$arch" ] || fail "package architecture is '$got_arch', not $arch"
	[ "$got_version" = "$version" ] || fail "package version is '$got_version', not $version"
	got_depends=$(dpkg-deb --field "$deb" Depends)
	[ "$got_depends" = "$depends" ] || fail "package depends on '$got_depends', not '$depends'"
	[ "$(basename "$deb")" = "${name}_${version}_${arch}.deb" ] ||
		fail "package file $(basename "$deb") is not named ${name}_${version}_${arch}.deb"
	dpkg-deb --contents "$deb"
	check_listing "$deb"
	fresh_dir "$work"
	dpkg-deb -x "$deb" "$work/root"
	check_binary "$work/root/$kBinary" "$arch" "$readelf"
	check_page "$page" "$work/root/$kPage"
	echo "$deb holds the $arch tool and its page, nothing else"
}

# Mount and pid namespaces of our own, so nothing the tool might do can
# reach the host: /tmp is a fresh tmpfs and /etc is read-only inside.
namespace_options() {
	if [ "$(id -u)" -eq 0 ]; then
		echo "--mount --pid --fork --kill-child --mount-proc"
	else
		echo "--user --map-root-user --mount --pid --fork --kill-child --mount-proc"
	fi
}

version() {
	out=$1 work=$2 version=$3
	shift 3
	deb=$(the_package "$out")
	fresh_dir "$work"
	dpkg-deb -x "$deb" "$work/root"
	options=$(namespace_options)
	# shellcheck disable=SC2086 # the options are words
	if ! unshare $options true 2>/dev/null; then
		echo "SKIP: this machine cannot create mount and pid namespaces" >&2
		exit "$kSkip"
	fi
	status=0
	# shellcheck disable=SC2086,SC2016
	unshare $options sh -c '
		set -eu
		root=$1 result=$2
		shift 2
		cd "$root"
		exec 3>"$result"
		mount -t tmpfs -o mode=1777 kelvane-tmp /tmp
		mount --bind /etc /etc
		mount -o remount,bind,ro /etc
		status=0
		"$@" ./usr/sbin/app_kelvane -v >&3 || status=$?
		exec 3>&-
		left=$(ls -A /tmp)
		if [ -n "$left" ]; then
			echo "-v left files in /tmp: $left" >&2
			exit 125
		fi
		exit "$status"' sh "$work/root" "$work/output" "$@" || status=$?
	[ "$status" -ne 125 ] || fail "-v must not create anything"
	printf 'The version is %s\n' "$version" >"$work/expected"
	cmp "$work/expected" "$work/output" ||
		fail "-v printed '$(cat "$work/output")', not 'The version is $version'"
	[ "$status" -eq 1 ] || fail "-v exited with status $status, not 1"
	echo "the packaged tool prints 'The version is $version' and exits with status 1"
}

command=$1
shift
case $command in
build) build "$@" ;;
install) install_rules "$@" ;;
contents) contents "$@" ;;
version) version "$@" ;;
*) fail "unknown command $command" ;;
esac
