#!/bin/sh
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

# Runs msgs_iic once and turns its lines into test cases: through LAVA's
# lava-test-case where it is on PATH, else as one line a case and a
# closing "N passed, N failed" (exit status 1 when anything failed).
# POSIX sh; runs under busybox.
#
# usage: lava/msgs-iic.sh [PROGRAM]   (default: msgs_iic from PATH)
#
# WARNING: msgs_iic writes eight bytes at 0x10 of whatever answers at 0x50
# on /dev/i2c-0. On a PC that is often a memory module's SPD EEPROM or a
# monitor's EDID: run this only where 0x50 is an EEPROM you may write.

program=${1:-msgs_iic}
out=$(mktemp) || exit 2
trap 'rm -f "$out"' EXIT
passed=0
failed=0

# Seconds as /proc/uptime gives them (0.89) in centiseconds. The hundredths
# go in as 1NN - 100: pasted after a 0, they would read as octal.
centiseconds() {
	echo $((${1%.*} * 100 + 1${1#*.} - 100))
}

uptime_cs() {
	read -r up _ </proc/uptime
	centiseconds "$up"
}

# One test case, with its measurement if any.
case_result() {  # name, pass|fail, [measurement, units]
	if [ "$2" = pass ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
	if command -v lava-test-case >/dev/null 2>&1; then
		if [ $# -gt 2 ]; then
			lava-test-case "$1" --result "$2" --measurement "$3" --units "$4"
		else
			lava-test-case "$1" --result "$2"
		fi
	else
		echo "$*"
	fi
}

# pass when the condition holds
verdict() {  # command...
	if "$@"; then echo pass; else echo fail; fi
}

# The program ran, and none of these lines is in its output.
# shellcheck disable=SC2317  # called through verdict
ran_without() {  # grep pattern...
	[ "$(head -n 1 "$out")" = "$hello" ] && ! grep -q "$@" "$out"
}

hello='hello,this is I2C_RDWR i2c test '
good=$(printf '%s\n' "$hello"; printf 'rd_buf is :%d\n' 0 1 2 3 4 5 6 7)

start=$(uptime_cs)
"$program" >"$out"
status=$?
end=$(uptime_cs)

case_result open "$(verdict ran_without -e '^open/dev/i2c-0failed $')"
case_result transfers "$(verdict ran_without -e '^I2C_RDWR err $' -e '^This function supports')"
case_result read-back "$(verdict [ "$(grep '^rd_buf is :' "$out")" = "$(echo "$good" | tail -n 8)" ])"
case_result exit-status "$(verdict [ "$status" -eq 0 ])"
case_result run "$(verdict [ "$(cat "$out")" = "$good" ])"
cs=$((end - start))
case_result time "$(verdict [ "$(head -n 1 "$out")" = "$hello" ])" \
	"$((cs / 100)).$((cs / 10 % 10))$((cs % 10))" seconds

if ! command -v lava-test-case >/dev/null 2>&1; then
	echo "$passed passed, $failed failed"
	[ "$failed" -eq 0 ] || exit 1
fi
exit 0
