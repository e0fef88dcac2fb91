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
the armhf cross g++ (arm-linux-gnueabihf-g++), dtc, cpio, cmake and make; \
sigrok-cli for a report of vexpress's bus, gnuplot for a picture of it"

install_host_tools() {
	local qemu_from='' suite=() tools=(cmake make g++-arm-linux-gnueabihf:arm-linux-gnueabihf-g++
		device-tree-compiler:dtc cpio gzip xz-utils:xz)
	if ! qemu_fits && ! command -v qemu-system-arm >/dev/null; then
		tools+=(qemu-system-arm)
		command -v apt-get >/dev/null && qemu_suite
		[ -n "$qemu_from" ] && suite=(-t "$qemu_from")
	fi
	# Only when asked for: the decoder for a report or a picture of a
	# line-level bus, gnuplot for the picture.
	[ -z "$report$picture" ] || ! wire_board || tools+=(sigrok-cli)
	[ -z "$picture" ] || tools+=(gnuplot-nox:gnuplot)
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
	flock -n "$fd" || { say "waiting for another board/run (${file#"$top"/})"; flock "$fd"; }
	"$@"
	exec {fd}>&-
}

# Debian's packages for the guest, fetched with apt state of our own for
# each architecture, so that nothing in the host's dpkg or apt setup changes.
guest_apt() {  # architecture, tool, argument...
	local arch=$1 state=$cache/apt-$1 tool=$2
	shift 2
	mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
	"$tool" -q -oAPT::Architecture="$arch" -oAPT::Architectures::="$arch" \
		-oDir::State::Lists="$state/lists" -oDir::Cache="$state/cache" \
		-oDir::State::status=/dev/null -oAPT::Sandbox::User=root "$@"
}

# The package lists of one architecture, brought up to date once a run.
lists() {  # architecture
	[ -e "$cache/apt-$1/updated" ] && return
	logged "apt-get update ($1)" guest_apt "$1" apt-get update
	: >"$cache/apt-$1/updated"
}

download() {  # architecture, folder, package...
	local arch=$1 dir=$2
	shift 2
	lists "$arch"
	mkdir -p "$dir"
	(cd "$dir" && logged "apt-get download ($arch)" guest_apt "$arch" apt-get download "$@")
}

# Each part of the cache is filled in a folder of its own and moved into
# place when complete: a run that stopped halfway leaves nothing behind
# that looks like a cache.
fetch_guest() {  # kernel flavour...
	local flavour
	rm -f "$cache"/apt-*/updated
	[ -d "$cache/userland" ] || fetch_userland
	for flavour in "$@"; do
		[ -d "$cache/kernel-$flavour" ] || fetch_kernel "$flavour"
	done
}

# busybox, i2c-tools and the libraries they need: armhf, for every board.
fetch_userland() {
	local new=$cache/userland.new deb
	say "fetching Debian's armhf busybox and i2c-tools (once)"
	rm -rf "$new"
	download armhf "$new/debs" busybox-static i2c-tools libi2c0 libc6
	for deb in "$new"/debs/*.deb; do
		dpkg-deb -x "$deb" "$new/root"
	done
	rm -rf "$new/debs"
	mv "$new" "$cache/userland"
}

# Debian's kernel of one flavour: the kernel, its device trees, and the
# modules the boards load (I2C controllers, i2c-dev, at24).
fetch_kernel() {  # flavour
	local flavour=$1 arch=armhf new=$cache/kernel-$1.new image deb
	[ "$flavour" = armmp ] || arch=$flavour
	rm -rf "$new"
	mkdir -p "$new/modules" "$new/dtbs"
	lists "$arch"
	image=$(guest_apt "$arch" apt-cache depends "linux-image-$flavour" |
		awk '/Depends: linux-image-/ { print $2; exit }')
	[ -n "$image" ] || die "could not resolve linux-image-$flavour to a kernel package"
	say "fetching Debian's $arch kernel ${image#linux-image-} (about $(deb_size "$arch" "$image") MB, once)"
	download "$arch" "$new/debs" "$image"
	deb=$(echo "$new"/debs/*.deb)
	dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$new" --wildcards './boot/vmlinuz-*' \
		'*.dtb' '*/drivers/i2c/*.ko*' '*/misc/eeprom/at24.ko*'
	find "$new/lib" -name '*.ko*' -exec mv {} "$new/modules/" \;
	xz -d "$new"/modules/*.ko.xz 2>/dev/null || true
	(cd "$new/usr/lib/$image" && find . -name '*.dtb' | cpio -pdm --quiet "$new/dtbs")
	mv "$new"/boot/vmlinuz-* "$new/vmlinuz"
	echo "${image#linux-image-}" >"$new/release"
	rm -rf "${new:?}"/{debs,boot,lib,usr}
	mv "$new" "$cache/kernel-$flavour"
}

deb_size() {  # architecture, package: its download in MB
	guest_apt "$1" apt-cache show "$2" | awk '/^Size:/ { print int($2 / 1e6); exit }'
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

# The initramfs of the board in b_*: the armhf userland whatever the
# kernel, the board's modules, msgs_iic and /init.
make_initramfs() {  # run folder, output
	local kernel=$cache/kernel-$b_kernel user=$cache/userland root=$1/root
	mkdir -p "$root"/{bin,dev,etc,proc,sys,tmp,lib/modules,usr/sbin}
	mkdir -p "$root"/{lib,usr/lib}/arm-linux-gnueabihf
	cp "$user/root/bin/busybox" "$root/bin/"
	ln -s busybox "$root/bin/sh"
	cp "$user"/root/usr/sbin/i2c* "$root/usr/sbin/"
	cp -a "$user"/root/lib/ld-linux-armhf.so.3 "$root/lib/"
	cp -a "$user"/root/lib/arm-linux-gnueabihf/{ld-linux-armhf.so.3,libc.so.6} \
		"$root/lib/arm-linux-gnueabihf/"
	cp -a "$user"/root/usr/lib/arm-linux-gnueabihf/libi2c.so.0* \
		"$root/usr/lib/arm-linux-gnueabihf/"
	cp "$kernel"/modules/{"$b_module",i2c-dev,at24}.ko "$root/lib/modules/"
	cp "$work/msgs_iic" "$root/bin/"
	cp "$here/init" "$root/init"
	printf 'bus_module=%s\ni2c_dev=%s\neeprom=%s\n' "$b_module" "$i2c_dev" "$eeprom" \
		>"$root/etc/board.conf"
	commands "$root/etc/before" "${before[@]}"
	commands "$root/etc/after" "${after[@]}"
	(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$2"
}

# The board's device tree, with the node that QEMU does not model disabled.
make_dtb() {  # output
	cp "$cache/kernel-$b_kernel/dtbs/$b_dtb" "$1"
	local node
	for node in ${b_off//,/ }; do
		[ "$node" = - ] && continue
		[ "${node#/}" != "$node" ] || node=$(fdtget -t s "$1" /aliases "$node")
		fdtput -t s "$1" "$node" status disabled
	done
}

# The chip's first 256 bytes: FILE's, padded with 0xff as a part ships.
make_image() {  # output
	head -c 256 /dev/zero | tr '\0' '\377' >"$1"
	[ -z "$image" ] || dd if="$image" of="$1" bs=256 count=1 conv=notrunc status=none
}

# QEMU's at24c-eeprom sets its pointer to (old pointer << 8 | word address)
# modulo rom-size. Only at rom-size 256 is that a 24C02's pointer, so a
# writable chip has no backing file (whose size would be a whole 512-byte
# sector) and /init loads its first bytes over the bus. A write-protected
# chip is never written, so it can be 512 bytes backed by the image twice:
# whichever half a stale pointer bit selects, the bytes are the same.
eeprom_devices() {  # run folder
	if [ "$protect" = no ]; then
		make_image "$1/root/etc/eeprom.img"
		devices=(-device "at24c-eeprom,bus=$b_bus,address=0x50,rom-size=256,address-size=1")
		return
	fi
	make_image "$1/half.img"
	cat "$1/half.img" "$1/half.img" >"$1/eeprom.img"
	devices=(-drive "if=none,id=ee,file=$1/eeprom.img,format=raw"
		-device "at24c-eeprom,bus=$b_bus,address=0x50,rom-size=512,address-size=1,drive=ee,writable=off")
}

# Boots the board and leaves the run's results in $work/NAME/results:
# console, trace, kernel, wall, eeprom, and, once the guest got that far,
# before, output, stderr, status, centiseconds, after and failed; or error,
# with the reason, when the run did not finish.
boot_board() {  # name
	local name=$1 run=$work/$1 serial=() devices=() wire=() port qemu started
	board_row "$name"
	[ "$b_trace" = bytes ] || wire=(-trace bitbang_i2c_data)
	rm -rf "$run"
	mkdir -p "$run/results" "$run/root/etc"
	[ "$eeprom" = no ] || eeprom_devices "$run"
	make_initramfs "$run" "$run/initramfs.gz"
	make_dtb "$run/board.dtb"
	for ((port = 1; port < b_port; port++)); do serial+=(-serial null); done
	serial+=(-serial "file:$run/console")
	cat "$cache/kernel-$b_kernel/release" >"$run/results/kernel"

	say "booting $name with kernel $(cat "$run/results/kernel")"
	started=$SECONDS
	: >"$run/console"
	# shellcheck disable=SC2086  # the machine's options are words
	timeout "$limit" "$b_qemu" $b_machine \
		-kernel "$cache/kernel-$b_kernel/vmlinuz" -dtb "$run/board.dtb" \
		-initrd "$run/initramfs.gz" \
		-append "console=$b_console rdinit=/init panic=-1" -no-reboot \
		-display none -monitor none -audio none "${serial[@]}" "${devices[@]}" \
		-trace 'i2c_*' "${wire[@]}" -D "$run/trace" 2>"$run/qemu.err" &
	qemu=$!
	# Some boards halt instead of powering off: stop QEMU once the run is over.
	until grep -q -a -E '^@@(done|fail)' "$run/console"; do
		kill -0 $qemu 2>/dev/null || break
		sleep 0.2
	done
	sleep 0.5
	kill $qemu 2>/dev/null || true
	wait $qemu 2>/dev/null || true
	echo $((SECONDS - started)) >"$run/results/wall"
	collect "$run" "$run/results"
}

# What a report holds; a report folder loses these names and nothing else.
report_files="output stderr status centiseconds before after failed console trace
bus.vcd bus.txt eeprom kernel wall error error.log"

publish() {  # name, results folder, report folder
	local name
	if [ -e "$2/bus.vcd" ]; then
		decode_bus "$2/bus.vcd" >"$2/bus.txt"
	else
		echo "no waveform: QEMU models $1's I2C controller ($b_module) byte by byte," \
			"so its trace has no SDA and SCL lines" >"$2/bus.txt"
	fi
	shift
	mkdir -p "$2"
	for name in $report_files; do
		rm -f "${2:?}/$name"
		[ ! -e "$1/$name" ] || cp "$1/$name" "$2/$name"
	done
}

# The run's results out of the console's markers.
collect() {  # run folder, results folder
	local run=$1 dir=$2 step status n cmd
	tr -d '\r' <"$run/console" >"$dir/console"
	: >>"$run/trace"
	cut_trace <"$run/trace" >"$dir/trace"
	[ "$b_trace" = bytes ] || wire_vcd "$1" <"$run/trace" >"$dir/bus.vcd"
	if ! grep -q '^@@done' "$dir/console"; then
		if [ -n "$(field "$dir" fail)" ]; then
			echo "the run on the board failed: $(field "$dir" fail)"
		elif [ "$(cat "$dir/wall")" -ge "$limit" ]; then
			echo "timed out after $limit s: the board did not boot or hung"
		else
			echo "the board stopped before the run finished"
		fi >"$dir/error"
		tail -n 20 "$dir/console" "$run/qemu.err" >>"$dir/error.log"
		return
	fi
	section "$dir" before >"$dir/before"
	if [ -n "$(field "$dir" status)" ]; then
		for step in output stderr after; do
			section "$dir" $step >"$dir/$step"
		done
		field "$dir" status >"$dir/status"
		field "$dir" centiseconds >"$dir/centiseconds"
	fi
	[ "$eeprom" = no ] || section "$dir" eeprom | hex_bytes >"$dir/eeprom"
	read -r step status n <<<"$(field "$dir" failed)" || true
	[ -n "${step:-}" ] || return 0
	n=$((10#$n))
	if [ "$step" = before ]; then cmd=${before[n - 1]}; else cmd=${after[n - 1]}; fi
	{
		printf -- '--%s command %s failed with exit status %s' "$step" "$n" "$status"
		[ "$step" = after ] || printf ', so msgs_iic did not run'
		printf ': %s\n' "$cmd"
		section "$dir" failed
	} >"$dir/failed"
}

# i2ctransfer's "0x12 0x34 ..." as the bytes themselves.
hex_bytes() {
	local words byte
	read -r -a words <<<"$(tr '\n' ' ')"
	for byte in "${words[@]}"; do printf '%b' "\\x${byte#0x}"; done
}

section() {  # results folder, name: what the guest printed between markers
	sed -n "/^@@begin $2\$/,/^@@end $2\$/p" "$1/console" | sed '1d;$d' | base64 -d
}
field() { sed -n "s/^@@$2 //p" "$1/console" | head -n 1; }

guest_seconds() {  # results folder
	local cs
	cs=$(cat "$1/centiseconds" 2>/dev/null) || { echo -; return; }
	printf '%d.%02d' $((cs / 100)) $((cs % 100))
}

# One board's run as a person reads it: the program's output as it printed
# it on stdout, its stderr and a summary on stderr, then a failed guest
# command; a run that did not finish ends board/run here.
show_run() {  # name, results folder
	local dir=$2
	if [ -e "$dir/error" ]; then
		cat "$dir/error.log" >&2
		die "$(cat "$dir/error")"
	fi
	if [ -e "$dir/status" ]; then
		cat "$dir/output"
		cat "$dir/stderr" >&2
		say "$1 ($b_stands), Linux $(cat "$dir/kernel"), QEMU $(qemu_version)"
		say "msgs_iic exit status $(cat "$dir/status"), $(guest_seconds "$dir") s in the guest, $(cat "$dir/wall") s wall time for the board"
	fi
	if [ -e "$dir/failed" ]; then
		say "$(head -n 1 "$dir/failed")"
		tail -n +2 "$dir/failed" >&2
	fi
}

# board/run's exit status for one board: the program's, or 2 after a failed
# guest command.
run_status() {  # results folder
	if [ -e "$1/failed" ]; then echo 2; else cat "$1/status"; fi
}
