#!/bin/sh
# Makes a stand-in for a device SDK:
#
#   sdk.sh glibc DIR           Debian's armhf glibc
#   sdk.sh uclibc DIR SYSROOT  the uClibc-ng sysroot this project builds
#
# DIR gets what a Buildroot or vendor SDK holds: bin/PREFIX-gcc, g++, cpp
# and the binutils, and PREFIX/sysroot with usr/include, lib and usr/lib.
# Debian's cross compiler does the compiling. As it is, Buildroot refuses
# it (configured --with-sysroot=/, it is not relocatable) and it takes the
# build machine's armhf glibc before any sysroot it is given. A real SDK
# needs none of what its wrappers do: they pass the sysroot (the last
# --sysroot given wins, as Buildroot passes its staging copy), search its
# lib and usr/lib before the compiler's own, give the uClibc-ng one only
# that sysroot's headers, and report the sysroot for a bare -v.
set -eu
kind=$1
dir=$2
debian=arm-linux-gnueabihf
case $kind in
glibc) prefix=arm-linux-gnueabihf ;;
uclibc) prefix=arm-linux-uclibcgnueabihf ;;
*)
	echo "usage: $0 glibc DIR | uclibc DIR SYSROOT" >&2
	exit 2
	;;
esac
command -v $debian-gcc >/dev/null || {
	echo "$debian-gcc not found: install g++-arm-linux-gnueabihf" >&2
	exit 1
}

sysroot=$dir/$prefix/sysroot
rm -rf "$dir"
mkdir -p "$dir/bin" "$sysroot/usr/lib"
if [ "$kind" = glibc ]; then
	cp -a /usr/$debian/include "$sysroot/usr/include"
	cp -a /usr/$debian/lib "$sysroot/lib"
	# Its linker script names the build machine's paths; the sysroot's
	# own are /lib/..., which the linker looks up inside the sysroot.
	sed -i "s|/usr/$debian/lib/|/lib/|g" "$sysroot/lib/libc.so"
else
	[ -f "$3/usr/include/bits/uClibc_config.h" ] || {
		echo "$3 holds no uClibc-ng" >&2
		exit 1
	}
	cp -a "$3/." "$sysroot/"
fi

# Debian's programs by their full names: Buildroot's own wrappers, first
# in its PATH, bear the same names.
debian_bin=$(dirname "$(command -v $debian-gcc)")
cat >"$dir/bin/.compiler" <<EOF
#!/bin/sh
debian=$debian_bin/$debian-\${0##*/$prefix-}
sysroot=\$(cd "\$(dirname "\$0")/../$prefix/sysroot" && pwd)
next=
for arg; do
	[ -z "\$next" ] || sysroot=\$arg
	next=
	case \$arg in
	--sysroot=*) sysroot=\${arg#--sysroot=} ;;
	--sysroot) next=1 ;;
	esac
done
if [ "\$*" = -v ]; then
	"\$debian" -v 2>&1 | sed "s| --with-sysroot=/ | --with-sysroot=\$sysroot |" >&2
	exit
fi
set -- --sysroot="\$sysroot" -B"\$sysroot/usr/lib/" -B"\$sysroot/lib/" "\$@"
EOF
[ "$kind" = glibc ] || cat >>"$dir/bin/.compiler" <<EOF
set -- -nostdinc -isystem "\$sysroot/usr/include" \\
	-isystem "\$("\$debian" -print-file-name=include)" "\$@"
EOF
echo 'exec "$debian" "$@"' >>"$dir/bin/.compiler"
chmod +x "$dir/bin/.compiler"
for tool in gcc g++ cpp; do
	ln -s .compiler "$dir/bin/$prefix-$tool"
done
for tool in ar as ld ld.bfd nm objcopy objdump ranlib readelf size strings strip \
	addr2line c++filt gcc-ar gcc-nm gcc-ranlib; do
	ln -s "$debian_bin/$debian-$tool" "$dir/bin/$prefix-$tool"
done
echo "$dir/bin/$prefix-"
