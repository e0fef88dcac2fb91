#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors
# The Debian packages as scripts/package builds them: their fields and
# files, lintian's verdict, the program they carry and its debug symbols.
# usage: tests/package_test.sh host|armhf|arm64
set -euo pipefail
cd "$(dirname "$0")/.."

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# shellcheck source=tests/check.sh
. tests/check.sh

case ${1:-} in
host) arch=$(dpkg --print-architecture) triplet=$(gcc -print-multiarch) ;;
armhf) arch=armhf triplet=arm-linux-gnueabihf ;;
arm64) arch=arm64 triplet=aarch64-linux-gnu ;;
*) echo "usage: $0 host|armhf|arm64" >&2; exit 2 ;;
esac
version=$(sed -n 's/^project(msgs_iic VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
scripts/package "$1" "$tmp" >/dev/null

lib=./usr/lib/$triplet
# The cross builds are static, and their package says why.
override=
[ "$1" = host ] || override=./usr/share/lintian/overrides/msgs-iic
while read -r package files; do
	deb=$tmp/${package}_${version}_$arch.deb
	echo "-- $package"
	check "the package's fields" "$package $arch $version" \
		"$(dpkg-deb -f "$deb" Package Architecture Version 2>&1 | cut -d' ' -f2 | tr '\n' ' ' | sed 's/ $//')"
	check "the 0x50 warning in its description" 1 \
		"$(dpkg-deb -f "$deb" Description | grep -c 'WARNING: on a PC, address 0x50')"
	files=${files//@lib/$lib}
	files=${files//@doc/./usr/share/doc/$package/copyright ./usr/share/doc/$package/changelog.gz}
	read -r -a files <<<"${files//@override/$override}"
	check "its files" "$(printf '%s\n' "${files[@]}" | sort)" \
		"$(dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ { print $6 }' | sort)"
done <<'PACKAGES'
msgs-iic ./usr/bin/msgs_iic ./usr/bin/msgs_iic_on ./usr/share/man/man1/msgs_iic.1.gz ./usr/share/man/man1/msgs_iic_on.1.gz @doc @override
msgs-iic-dev ./usr/include/msgs_iic.h @lib/libmsgs_iic.a @lib/pkgconfig/msgs_iic.pc @lib/cmake/msgs_iic/msgs_iicConfig.cmake @lib/cmake/msgs_iic/msgs_iicConfigVersion.cmake @lib/cmake/msgs_iic/msgs_iic-targets.cmake @lib/cmake/msgs_iic/msgs_iic-targets-relwithdebinfo.cmake @doc
PACKAGES

echo "-- all"
check "lintian: no error and no warning on any package" "" \
	"$(lintian --fail-on none -E "$tmp"/*.deb 2>&1 | grep -E '^[EW]: ' || true)"
check "a machine-readable copyright with the MIT licence" "License: MIT" \
	"$(dpkg-deb --fsys-tarfile "$tmp/msgs-iic_${version}_$arch.deb" |
		tar -xO ./usr/share/doc/msgs-iic/copyright | grep '^License:')"

dpkg-deb -x "$tmp/msgs-iic_${version}_$arch.deb" "$tmp/root"
program=$tmp/root/usr/bin/msgs_iic
# Stripped, with its debug information under its build ID in -dbgsym.
dpkg-deb -x "$tmp/msgs-iic-dbgsym_${version}_$arch.deb" "$tmp/root"
check "the programs stripped" "" "$(file "$tmp"/root/usr/bin/* | grep -v ', stripped' || true)"
for name in msgs_iic msgs_iic_on; do
	id=$(readelf -n "$tmp/root/usr/bin/$name" | sed -n 's/.*Build ID: //p')
	check "$name's debug information in msgs-iic-dbgsym" "with debug_info" \
		"$(file "$tmp/root/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" | grep -o 'with debug_info')"
done
check "the man page is compressed" "gzip" "$(od -An -tx1 -N2 "$tmp/root/usr/share/man/man1/msgs_iic.1.gz" | tr -d ' ' | sed 's/1f8b/gzip/')"
if [ "$1" != host ]; then
	# ELF, its class (1: 32-bit, 2: 64-bit) and e_machine (40: ARM, 183:
	# AArch64); static: no program interpreter.
	elf="7f 45 4c 46 01 28 00"
	[ "$1" = armhf ] || elf="7f 45 4c 46 02 b7 00"
	check "an ARM executable for $1" "$elf" \
		"$({ od -An -tx1 -N5 "$program"; od -An -tx1 -j18 -N2 "$program"; } | xargs)"
	check "linked statically" "" "$(readelf -l "$program" | grep -i interpreter || true)"
else
	# Debian 12's C start files carry no IBT/SHSTK property, so no program
	# linked there can show control-flow protection to hardening-check;
	# the build's own hardening test checks the instructions instead.
	check "hardening-check passes on the programs" "" \
		"$(hardening-check --nocfprotection --quiet "$tmp"/root/usr/bin/* 2>&1)"
fi
if [ "$1" != host ]; then
	:
elif [ -e /dev/i2c-0 ]; then
	echo "skipped: the unpacked program's run (/dev/i2c-0 exists here)"
else
	status=0
	out=$("$program" 2>&1) || status=$?
	check "the unpacked program gives the run without a bus" "0 hello,this is I2C_RDWR i2c test 
open/dev/i2c-0failed 
I2C_RDWR err 
I2C_RDWR err 
$(printf 'rd_buf is :0\n%.0s' 1 2 3 4 5 6 7 8)" "$status $out"
fi

[ $failures -eq 0 ]
