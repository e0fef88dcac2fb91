# shellcheck shell=bash disable=SC2154
# Host side of board/run: tools, guest packages, initramfs and device tree.
# Sourced by board/run, which sets here, top, cache, before, after and the
# say/die helpers.

# apt and /etc/apt need root; sudo where we are not.
as_root() {
	if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

qemu_version() {
	qemu-system-arm --version | sed -n '1s/.*version \([^ ]*\).*/\1/p'
}

# QEMU before 8.0 gives at24c-eeprom a two-byte word address whatever its
# size, so a 24C02-style write lands in the wrong place.
qemu_fits() {
	command -v qemu-system-arm >/dev/null &&
		qemu-system-arm -device at24c-eeprom,help 2>&1 | grep -q address-size
}

# Runs a command with its output in the log; on failure, the log's tail.
logged() {  # what, command...
	local what=$1
	shift
	mkdir -p "$(dirname "$log")"
	echo "== $(date '+%F %T') $what" >>"$log"
	"$@" >>"$log" 2>&1 && return
	tail -n 15 "$log" >&2
	die "$what failed: see ${log#"$top"/}"
}

# The backports suite of the mirror the machine's own sources already use.
add_backports() {
	local codename uri file=/etc/apt/sources.list.d/$1-backports.sources
	codename=$1
	grep -rqs "$codename-backports" /etc/apt/sources.list /etc/apt/sources.list.d && return
	uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
		awk '/^URIs:/ { print $2; exit }')
	[ -n "$uri" ] || uri=$(awk '$1 == "deb" && $3 == "'"$codename"'" { print $2; exit }' \
		/etc/apt/sources.list 2>/dev/null)
	[ -n "$uri" ] || die "no Debian mirror in the apt sources to take $codename-backports from"
	say "adding $codename-backports from $uri to the apt sources, for QEMU 8.0 or newer"
	printf 'Types: deb\nURIs: %s\nSuites: %s-backports\nComponents: main\nSigned-By: %s\n' \
		"$uri" "$codename" /usr/share/keyrings/debian-archive-keyring.gpg |
		as_root tee "$file" >/dev/null
}

# Sets qemu_from to the suite to take QEMU from: the release's own when it
# has QEMU 8.0 or newer (Debian 13, nothing to set), else its backports.
qemu_suite() {
	local codename candidate
	codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
	candidate=$(apt-cache policy qemu-system-arm 2>/dev/null | awk '/Candidate:/ { print $2 }')
	if [ -z "$candidate" ] || [ "$candidate" = "(none)" ]; then
		logged "apt-get update" as_root apt-get update
		candidate=$(apt-cache policy qemu-system-arm | awk '/Candidate:/ { print $2 }')
	fi
	candidate=${candidate#*:}
	[ "${candidate%%.*}" -ge 8 ] 2>/dev/null && return
	add_backports "$codename"
	qemu_from=$codename-backports
}

needs="board/run needs QEMU 8.0 or newer (qemu-system-arm, with at24c-eeprom's address-size), \
the armhf cross g++ (arm-linux-gnueabihf-g++), dtc, cpio, cmake and make"

install_host_tools() {
	local qemu_from='' suite=() tools=(cmake make g++-arm-linux-gnueabihf:arm-linux-gnueabihf-g++
		device-tree-compiler:dtc cpio gzip xz-utils:xz)
	if ! qemu_fits && ! command -v qemu-system-arm >/dev/null; then
		tools+=(qemu-system-arm)
		command -v apt-get >/dev/null && qemu_suite
		[ -n "$qemu_from" ] && suite=(-t "$qemu_from")
	fi
	"$top/scripts/need" --log "$log" --for "$needs" "${suite[@]}" "${tools[@]}" ||
		exit 2
	qemu_fits || die "QEMU $(qemu_version)'s at24c-eeprom has no address-size: \
install QEMU 8.0 or newer (on Debian 12: apt-get install -t bookworm-backports qemu-system-arm)"
}

# One run at a time in what two runs share: a second run waits here.
locked() {  # lock file, command...
	local file=$1 fd
	shift
	mkdir -p "$(dirname "$file")"
	exec {fd}>"$file"
	flock "$fd"
	"$@"
	exec {fd}>&-
}

# Debian's armhf kernel and userland, fetched with apt state of our own so
# that nothing in the host's dpkg or apt setup changes.
armhf_apt() {
	local tool=$1
	shift
	"$tool" -q -oAPT::Architecture=armhf -oAPT::Architectures::=armhf \
		-oDir::State::Lists="$cache/apt/lists" -oDir::Cache="$cache/apt/cache" \
		-oDir::State::status=/dev/null -oAPT::Sandbox::User=root "$@"
}

# Into a folder of its own, moved into place when complete: a run that
# stopped halfway leaves nothing that looks like a cache.
fetch_guest_packages() {
	local guest=$cache/guest new=$cache/guest.new image deb
	[ -f "$guest/release" ] && return
	say "fetching Debian's armhf kernel, busybox and i2c-tools (about 50 MB, once)"
	rm -rf "$cache/apt" "$cache/debs" "$new"
	mkdir -p "$cache/apt/lists/partial" "$cache/apt/cache/archives/partial" \
		"$cache/debs" "$new/root"
	logged "apt-get update (armhf)" armhf_apt apt-get update
	image=$(armhf_apt apt-cache depends linux-image-armmp |
		awk '/Depends: linux-image-/ { print $2; exit }')
	[ -n "$image" ] || die "could not resolve linux-image-armmp to a kernel package"
	(cd "$cache/debs" && logged "apt-get download" armhf_apt apt-get download \
		"$image" busybox-static i2c-tools libi2c0 libc6)

	for deb in "$cache"/debs/linux-image-*.deb; do
		dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$new" --wildcards \
			'./boot/vmlinuz-*' '*/vexpress-v2p-ca9.dtb' '*/imx6q-sabrelite.dtb' \
			'*/i2c-versatile.ko*' '*/i2c-imx.ko*' '*/i2c-dev.ko*'
	done
	mkdir -p "$new/modules"
	find "$new" -name '*.ko*' -exec mv {} "$new/modules/" \;
	xz -d "$new"/modules/*.ko.xz 2>/dev/null || true
	find "$new" -name '*.dtb' -exec mv {} "$new/" \;
	mv "$new"/boot/vmlinuz-* "$new/vmlinuz"
	for deb in "$cache"/debs/{busybox-static,i2c-tools,libi2c0,libc6}_*.deb; do
		dpkg-deb -x "$deb" "$new/root"
	done
	echo "${image#linux-image-}" >"$new/release"
	rm -rf "$guest" "$cache/debs"
	mv "$new" "$guest"
}

# The static armhf binary, copied out under the lock so that a second run
# never takes a binary that is half written.
build_armhf() {  # destination
	local build=$top/build-armhf
	logged "cmake (armhf)" cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release \
		-DCMAKE_TOOLCHAIN_FILE="$top/cmake/arm-linux-gnueabihf.cmake"
	logged "building msgs_iic for armhf" cmake --build "$build" --target msgs_iic
	cp "$build/msgs_iic" "$1"
}

# The guest commands of one step, a file each, numbered in order.
commands() {  # folder, command...
	local dir=$1 n=0 cmd
	shift
	mkdir -p "$dir"
	for cmd in "$@"; do
		n=$((n + 1))
		printf '%s\n' "$cmd" >"$dir/$(printf %03d $n)"
	done
}

# $1 work folder, $2 bus driver module, $3 yes to load i2c-dev.
make_initramfs() {
	local work=$1 guest=$cache/guest root=$1/root
	mkdir -p "$root"/{bin,dev,etc,proc,sys,tmp,lib/modules,usr/sbin}
	mkdir -p "$root"/{lib,usr/lib}/arm-linux-gnueabihf
	cp "$guest/root/bin/busybox" "$root/bin/"
	ln -s busybox "$root/bin/sh"
	cp "$guest"/root/usr/sbin/i2c* "$root/usr/sbin/"
	cp -a "$guest"/root/lib/ld-linux-armhf.so.3 "$root/lib/"
	cp -a "$guest"/root/lib/arm-linux-gnueabihf/{ld-linux-armhf.so.3,libc.so.6} \
		"$root/lib/arm-linux-gnueabihf/"
	cp -a "$guest"/root/usr/lib/arm-linux-gnueabihf/libi2c.so.0* \
		"$root/usr/lib/arm-linux-gnueabihf/"
	cp "$guest/modules/$2.ko" "$guest/modules/i2c-dev.ko" "$root/lib/modules/"
	cp "$work/msgs_iic" "$root/bin/"
	cp "$here/init" "$root/init"
	printf 'bus_module=%s\ni2c_dev=%s\n' "$2" "$3" >"$root/etc/board.conf"
	commands "$root/etc/before" "${before[@]}"
	commands "$root/etc/after" "${after[@]}"
	(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initramfs.gz"
}

# vexpress-a9's second versatile I2C controller (alias i2c1) is not modelled
# by QEMU; left enabled, its driver would wait on a bus that never answers.
make_dtb() {
	cp "$cache/guest/$1" "$2"
	if [ "$1" = vexpress-v2p-ca9.dtb ]; then
		fdtput -t s "$2" "$(fdtget -t s "$2" /aliases i2c1)" status disabled
	fi
}
