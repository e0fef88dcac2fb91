#!/usr/bin/env bash
# msgs_iic on the emulated ARM boards, through the real kernel I2C stack,
# and board/run's own handling of bad input.
# usage: tests/board_test.sh options|all|no-eeprom BOARD|no-i2c-dev|write-protect|before-fails
set -euo pipefail
cd "$(dirname "$0")/.."

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
report=$tmp/report
# shellcheck source=tests/check.sh
. tests/check.sh

# The guest's time for the run, in hundredths of a second, within a range.
check_time() {  # what, results folder, lowest, highest
	local cs
	cs=$(cat "$2/centiseconds")
	if [ "$cs" -ge "$3" ] && [ "$cs" -le "$4" ]; then
		echo "ok: $1 ($cs cs)"
	else
		echo "FAIL: $1: $cs cs, not within $3..$4"
		failures=$((failures + 1))
	fi
}

dump() {
	local v
	for v in "$@"; do echo "rd_buf is :$v"; done
}

# QEMU's trace of one write transaction, and of an address write followed
# by a read. Where QEMU decodes the SDA and SCL lines (trace "lines") the
# read shows the repeated START and the NACK of the last byte; its models
# of byte-level controllers (trace "bytes") log a finish at the message
# boundary whatever the driver does, and no NACK.
trace_write() {
	local b
	echo "i2c_event start(addr:0x50)"
	for b in "$@"; do echo "i2c_send send(addr:0x50) data:$b"; done
	echo "i2c_event finish(addr:0x50)"
}
trace_read() {  # lines|bytes, word address, bytes read
	local style=$1 b
	echo "i2c_event start(addr:0x50)"
	echo "i2c_send send(addr:0x50) data:$2"
	[ "$style" = lines ] || echo "i2c_event finish(addr:0x50)"
	echo "i2c_event start_async(addr:0x50)"
	shift 2
	for b in "$@"; do echo "i2c_recv recv(addr:0x50) data:$b"; done
	[ "$style" = bytes ] || echo "i2c_event nack(addr:0x50)"
	echo "i2c_event finish(addr:0x50)"
}

# sigrok's I2C decoder on a write transaction, and on an address write
# followed by a repeated START and a read, NACKed on the last byte.
decoded_write() {
	local b
	printf '%s\n' Start Write "Address write: 50" ACK
	for b in "$@"; do printf '%s\n' "Data write: $b" ACK; done
	echo Stop
}
decoded_read() {  # word address, bytes read
	local b
	printf '%s\n' Start Write "Address write: 50" ACK "Data write: $1" ACK
	printf '%s\n' "Start repeat" Read "Address read: 50" ACK
	shift
	for b in "$@"; do printf '%s\n' "Data read: $b" ACK; done | sed '$s/ACK/NACK/'
	echo Stop
}

# An EEPROM image whose byte i is (first + i) modulo 256.
image() {  # file, first
	local i
	for ((i = 0; i < 256; i++)); do printf '%b' "\\x$(printf %02x $((($2 + i) % 256)))"; done >"$1"
}

hello='hello,this is I2C_RDWR i2c test '
zeros=$(dump 0 0 0 0 0 0 0 0)
no_bus="$hello
I2C_RDWR err 
I2C_RDWR err 
$zeros"
pattern=(0x00 0x01 0x02 0x03 0x04 0x05 0x06 0x07)
read_back="i2ctransfer -y 0 w1@0x50 0x10 r8"
at24="echo 24c02 0x50 >/sys/bus/i2c/devices/i2c-0/new_device &&
dd if=/sys/bus/i2c/devices/0-0050/eeprom bs=8 skip=2 count=1 2>/dev/null | od -An -tx1"

# board/run with a report; its exit status is checked, the rest is kept.
run_board() {  # expected status, board/run's arguments...
	local want=$1 status=0
	shift
	board/run --report "$report" "$@" >"$tmp/stdout" 2>"$tmp/stderr" || status=$?
	check "board/run's exit status" "$want" "$status"
}

# Checks of a run that reached the program.
check_ran() {  # results folder, expected output
	[ -s "$1/status" ] || { echo "FAIL: the program did not run"; cat "$tmp/stderr"; exit 1; }
	check "output" "$2" "$(cat "$1/output")"
	check "exit status" 0 "$(cat "$1/status")"
	check "nothing on stderr" "" "$(cat "$1/stderr")"
}

# Bad input: exit status 2, one line, the usage, and nothing installed,
# fetched or booted (stderr holds nothing else, stdout nothing at all).
bad_input() {  # expected line, command...
	local line=$1 status=0
	shift
	"$@" >"$tmp/stdout" 2>"$tmp/stderr" </dev/null || status=$?
	check "$*" "2
$line
$(board/run --help)" "$status
$(cat "$tmp/stderr" "$tmp/stdout")"
}

# A PATH without apt or dpkg, nor the tools the scripts would install.
path_without_apt() {
	local dir=$tmp/bin tool
	mkdir -p "$dir"
	for tool in /usr/bin/* /bin/*; do
		case ${tool##*/} in
		apt*|dpkg*|cmake|make|g++*|c++|qemu-*|dtc|cpio|arm-linux-*|valgrind) ;;
		*) ln -sf "$tool" "$dir/" ;;
		esac
	done
	echo "$dir"
}

case "${1:-} ${2:-}" in
"options ")
	image "$tmp/image" 0
	while IFS='|' read -r args line; do
		# shellcheck disable=SC2086  # the arguments are words
		bad_input "board: $line" board/run ${args//@image/$tmp/image}
	done <<'ROWS'
--board|--board needs a value
--board nosuch|unknown board 'nosuch' (vexpress sabrelite raspi2b raspi3b or all)
--frob|unknown option '--frob'
--timeout abc|--timeout takes a positive whole number of seconds, not 'abc'
--timeout 0|--timeout takes a positive whole number of seconds, not '0'
--timeout 1.5|--timeout takes a positive whole number of seconds, not '1.5'
--before|--before needs a value
--after|--after needs a value
--report|--report needs a value
--no-eeprom|--no-eeprom: on vexpress the monitor's EDID ROM answers at 0x50 too
--eeprom-image /nonexistent|--eeprom-image: no readable file '/nonexistent'
--board raspi2b --no-eeprom --eeprom-image @image|--eeprom-image and --write-protect need the EEPROM that --no-eeprom removes
--board all --no-eeprom|--board all runs the good run, which --no-eeprom rules out
--board all --write-protect|--board all runs the good run, which --write-protect rules out
--board all --picture x.png|--picture draws one board's bus, not --board all's
--board raspi2b --picture x.png|--picture: QEMU traces raspi2b's bus byte by byte; vexpress has its SDA and SCL lines
--picture x.png --before true|--picture draws the first transactions, which --before would take
ROWS
	bare=$(path_without_apt)
	for script in board/run tests/run; do
		status=0
		PATH=$bare $script >"$tmp/stdout" 2>"$tmp/stderr" || status=$?
		check "$script without apt exits 2" 2 "$status"
		check "$script without apt names what it needs" 1 \
			"$(grep -c 'needs .*this host has no apt-get' "$tmp/stderr")"
	done
	;;
"all ")
	# The good run on every board, each EEPROM starting with other bytes at
	# 0x10 (0xb0 to 0xb7); the kernel's at24 driver reads them back too.
	image "$tmp/image" 0xa0
	run_board 0 --board all --eeprom-image "$tmp/image" --after "$at24"
	# What the chip must hold afterwards: the image with 0..7 at 0x10.
	cp "$tmp/image" "$tmp/written"
	printf '\x00\x01\x02\x03\x04\x05\x06\x07' |
		dd of="$tmp/written" bs=1 seek=16 conv=notrunc status=none
	written=$(od -An -tx1 "$tmp/written")
	while read -r name style; do
		dir=$report/$name
		echo "-- $name"
		check_ran "$dir" "$hello
$(dump 0 1 2 3 4 5 6 7)"
		check "i2ctransfer, then at24, read 0..7 back" "${pattern[*]}
 00 01 02 03 04 05 06 07" "$(cat "$dir/after")"
		check "the chip holds the image with 0..7 at 0x10, nothing else changed" \
			"$written" "$(od -An -tx1 "$dir/eeprom")"
		check "bus trace: the program's write and read, then the checks'" \
			"$(trace_write 0x10 "${pattern[@]}"
			   trace_read "$style" 0x10 "${pattern[@]}"
			   trace_read "$style" 0x10 "${pattern[@]}"
			   trace_read "$style" 0x00 0xa0
			   trace_read "$style" 0x10 "${pattern[@]}")" \
			"$(cat "$dir/trace")"
		check_time "two one-second pauses" "$dir" 200 260
		if [ "$style" = lines ]; then
			check "sigrok decodes the program's two transactions from SDA and SCL" \
				"$(decoded_write 10 00 01 02 03 04 05 06 07
				   decoded_read 10 00 01 02 03 04 05 06 07)" \
				"$(awk '{ print } /^Stop$/ && ++n == 2 { exit }' "$dir/bus.txt")"
		else
			check "no waveform, and why" 1 "$(grep -c '^no waveform: ' "$dir/bus.txt")"
		fi
		check "its row in the table" 1 \
			"$(grep -c -E "^$name +[^ ]+ +[^ ]+ +pass " "$tmp/stdout")"
	done <<'BOARDS'
vexpress lines
sabrelite bytes
raspi2b bytes
raspi3b bytes
BOARDS
	check "the table: a header and four rows" 5 "$(wc -l <"$tmp/stdout")"
	;;
"no-eeprom sabrelite")
	# The check read fails too: the program's output and status are kept,
	# and the failing command is reported.
	run_board 2 --board sabrelite --no-eeprom --after "$read_back"
	check_ran "$report" "$no_bus"
	check "the failing command, reported" \
		"--after command 1 failed with exit status 1: $read_back
i2ctransfer: I2C_RDWR: Connection timed out" "$(cat "$report/failed")"
	check "board/run says so" "board: --after command 1 failed with exit status 1: $read_back" \
		"$(grep -- '--after' "$tmp/stderr")"
	check "board/run prints the output" "$no_bus" "$(cat "$tmp/stdout")"
	check "no bus traffic" "" "$(cat "$report/trace")"
	check_time "no pause after the failed transfers" "$report" 0 150
	;;
"no-eeprom raspi2b"|"no-eeprom raspi3b")
	run_board 0 --board "$2" --no-eeprom
	check_ran "$report" "$no_bus"
	check "no bus traffic" "" "$(cat "$report/trace")"
	check_time "no pause after the failed transfers" "$report" 0 150
	;;
"no-i2c-dev ")
	run_board 0 --no-i2c-dev
	check_ran "$report" "$hello
open/dev/i2c-0failed 
I2C_RDWR err 
I2C_RDWR err 
$zeros"
	check "no bus traffic" "" "$(cat "$report/trace")"
	check_time "no pause" "$report" 0 50
	;;
"write-protect ")
	# Bytes above 127 at 0x10 (0x90 to 0x97), which the write cannot change;
	# and the picture of the bus, drawn from this run.
	image "$tmp/image" 0x80
	cp "$tmp/image" "$tmp/original"
	run_board 0 --eeprom-image "$tmp/image" --write-protect --after "$read_back" \
		--picture "$tmp/bus.png"
	check_ran "$report" "$hello
$(dump 144 145 146 147 148 149 150 151)"
	check "i2ctransfer reads the same bytes" "0x90 0x91 0x92 0x93 0x94 0x95 0x96 0x97" \
		"$(cat "$report/after")"
	check "the chip is unchanged" "$(od -An -tx1 "$tmp/original")" "$(od -An -tx1 "$report/eeprom")"
	check "the image file is unchanged" "$(od -An -tx1 "$tmp/original")" "$(od -An -tx1 "$tmp/image")"
	# The picture of the bus: a PNG of a sensible size.
	check "--picture draws a PNG of 1800 by 640 pixels" \
		" 89 50 4e 47 0d 0a 1a 0a 00 00 00 0d 49 48 44 52 00 00 07 08 00 00 02 80" \
		"$(od -An -tx1 -N24 "$tmp/bus.png" | tr -d '\n')"
	size=$(stat -c %s "$tmp/bus.png")
	check "of 20 to 200 kB" yes "$([ "$size" -ge 20000 ] && [ "$size" -le 200000 ] && echo yes)"
	;;
"before-fails ")
	run_board 2 --board raspi3b --before "true" --before "i2ctransfer -y 0 w1@0x51 0x00"
	check "board/run says the program did not run" \
		"board: --before command 2 failed with exit status 1, so msgs_iic did not run: i2ctransfer -y 0 w1@0x51 0x00" \
		"$(grep -- '--before' "$tmp/stderr")"
	check "no output, no status" "" "$(cat "$tmp/stdout")$(ls "$report/output" "$report/status" 2>/dev/null)"
	check "what the command printed" "i2ctransfer: I2C_RDWR: Remote I/O error" \
		"$(tail -n +2 "$report/failed")"
	;;
*)
	echo "usage: $0 options|all|no-eeprom BOARD|no-i2c-dev|write-protect|before-fails" >&2
	exit 2
	;;
esac

[ $failures -eq 0 ]
