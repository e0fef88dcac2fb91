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
	say "adding $codename-backports from $uri for a newer QEMU"
	printf 'Types: deb\nURIs: %s\nSuites: %s-backports\nComponents: main\nSigned-By: %s\n' \
		"$uri" "$codename" /usr/share/keyrings/debian-archive-keyring.gpg |
		as_root tee "$file" >/dev/null
}

install_host_tools() {
	"$top/scripts/need" cmake make g++-arm-linux-gnueabihf device-tree-compiler \
		cpio gzip xz-utils
	qemu_fits && return
	say "installing QEMU 8.0 or newer (the first run downloads about 60 MB)"
	local codename candidate
	codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
	as_root apt-get update -qq >&2
	candidate=$(apt-cache policy qemu-system-arm | awk '/Candidate:/ { print $2 }')
	candidate=${candidate#*:}
	if [ "${candidate%%.*}" -lt 8 ] 2>/dev/null; then
		add_backports "$codename"
		as_root apt-get update -qq >&2
		as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
			-t "$codename-backports" qemu-system-arm >&2
	else
		as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-system-arm >&2
	fi
	qemu_fits || die "QEMU $(qemu_version)'s at24c-eeprom has no address-size: need QEMU 8.0 or newer"
}

# Debian's armhf kernel and userland, fetched with apt state of our own so
# that nothing in the host's dpkg or apt setup changes.
armhf_apt() {
	local tool=$1
	shift
	"$tool" -qq -oAPT::Architecture=armhf -oAPT::Architectures::=armhf \
		-oDir::State::Lists="$cache/apt/lists" -oDir::Cache="$cache/apt/cache" \
		-oDir::State::status=/dev/null -oAPT::Sandbox::User=root "$@"
}

fetch_guest_packages() {
	local guest=$cache/guest
	[ -f "$guest/release" ] && return
	say "fetching Debian's armhf kernel, busybox and i2c-tools (about 50 MB, once)"
	rm -rf "$cache/apt" "$cache/debs" "$guest"
	mkdir -p "$cache/apt/lists/partial" "$cache/apt/cache/archives/partial" \
		"$cache/debs" "$guest/root"
	armhf_apt apt-get update >&2
	local image
	image=$(armhf_apt apt-cache depends linux-image-armmp |
		awk '/Depends: linux-image-/ { print $2; exit }')
	[ -n "$image" ] || die "could not resolve linux-image-armmp to a kernel package"
	(cd "$cache/debs" && armhf_apt apt-get download "$image" busybox-static \
		i2c-tools libi2c0 libc6 >&2)

	local deb
	for deb in "$cache"/debs/linux-image-*.deb; do
		dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$guest" --wildcards \
			'./boot/vmlinuz-*' '*/vexpress-v2p-ca9.dtb' '*/imx6q-sabrelite.dtb' \
			'*/i2c-versatile.ko*' '*/i2c-imx.ko*' '*/i2c-dev.ko*'
	done
	mkdir -p "$guest/modules"
	find "$guest" -name '*.ko*' -exec mv {} "$guest/modules/" \;
	xz -d "$guest"/modules/*.ko.xz 2>/dev/null || true
	find "$guest" -name '*.dtb' -exec mv {} "$guest/" \;
	mv "$guest"/boot/vmlinuz-* "$guest/vmlinuz"
	for deb in "$cache"/debs/{busybox-static,i2c-tools,libi2c0,libc6}_*.deb; do
		dpkg-deb -x "$deb" "$guest/root"
	done
	image=${image#linux-image-}
	echo "$image" >"$guest/release"
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
	cp "$top/build-armhf/msgs_iic" "$root/bin/"
	cp "$here/init" "$root/init"
	printf 'bus_module=%s\ni2c_dev=%s\n' "$2" "$3" >"$root/etc/board.conf"
	printf '%s\n' "${before[@]}" >"$root/etc/before.sh"
	printf '%s\n' "${after[@]}" >"$root/etc/after.sh"
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
