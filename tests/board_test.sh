#!/usr/bin/env bash
# msgs_iic on the emulated ARM board, through the real kernel I2C stack.
# usage: tests/board_test.sh good|no-i2c-dev|no-eeprom
set -euo pipefail
cd "$(dirname "$0")/.."

report=$(mktemp -d)
trap 'rm -rf "$report"' EXIT
failures=0

check() {  # what, expected, actual
	if [ "$2" = "$3" ]; then
		echo "ok: $1"
	else
		echo "FAIL: $1"
		diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") || true
		failures=$((failures + 1))
	fi
}

# The guest's time for the run, in hundredths of a second, within a range.
check_time() {  # what, lowest, highest
	local cs
	cs=$(cat "$report/centiseconds")
	if [ "$cs" -ge "$2" ] && [ "$cs" -le "$3" ]; then
		echo "ok: $1 ($cs cs)"
	else
		echo "FAIL: $1: $cs cs, not within $2..$3"
		failures=$((failures + 1))
	fi
}

dump() {
	local v
	for v in "$@"; do echo "rd_buf is :$v"; done
}

# QEMU's trace of one write transaction, then of one address write with a
# repeated START and a read of the given bytes, NACKed on the last.
trace_write() {
	local b
	echo "i2c_event start(addr:0x50)"
	for b in "$@"; do echo "i2c_send send(addr:0x50) data:$b"; done
	echo "i2c_event finish(addr:0x50)"
}
trace_read() {  # word address, bytes read
	local b
	echo "i2c_event start(addr:0x50)"
	echo "i2c_send send(addr:0x50) data:$1"
	echo "i2c_event start_async(addr:0x50)"
	shift
	for b in "$@"; do echo "i2c_recv recv(addr:0x50) data:$b"; done
	echo "i2c_event nack(addr:0x50)"
	echo "i2c_event finish(addr:0x50)"
}

hello='hello,this is I2C_RDWR i2c test '
zeros=$(dump 0 0 0 0 0 0 0 0)
pattern=(0x00 0x01 0x02 0x03 0x04 0x05 0x06 0x07)
seed=(0xaa 0xab 0xac 0xad 0xae 0xaf 0xb0 0xb1)

run_board() {
	local status=0
	board/run --report "$report" "$@" >/dev/null || status=$?
	[ -s "$report/status" ] || { echo "FAIL: the board run did not finish"; exit 1; }
	check "exit status" 0 "$status"
	check "nothing on stderr" "" "$(cat "$report/stderr")"
}

case ${1:-} in
good)
	run_board --before "i2ctransfer -y 0 w9@0x50 0x10 ${seed[*]}" \
		--after "i2ctransfer -y 0 w1@0x50 0x10 r8"
	check "output" "$hello
$(dump 0 1 2 3 4 5 6 7)" "$(cat "$report/output")"
	check "i2ctransfer reads back what was written" "${pattern[*]}" "$(cat "$report/after")"
	check "bus trace: seed, the program's write and read, the check" \
		"$(trace_write 0x10 "${seed[@]}"
		   trace_write 0x10 "${pattern[@]}"
		   trace_read 0x10 "${pattern[@]}"
		   trace_read 0x10 "${pattern[@]}")" \
		"$(cat "$report/trace")"
	check_time "two one-second pauses" 200 260
	;;
no-i2c-dev)
	run_board --no-i2c-dev
	check "output" "$hello
open/dev/i2c-0failed 
I2C_RDWR err 
I2C_RDWR err 
$zeros" "$(cat "$report/output")"
	check "no bus traffic" "" "$(cat "$report/trace")"
	check_time "no pause" 0 50
	;;
no-eeprom)
	run_board --board sabrelite --no-eeprom
	check "output" "$hello
I2C_RDWR err 
I2C_RDWR err 
$zeros" "$(cat "$report/output")"
	check_time "no pause after the failed transfers" 0 150
	;;
*)
	echo "usage: $0 good|no-i2c-dev|no-eeprom" >&2
	exit 2
	;;
esac

[ $failures -eq 0 ]
