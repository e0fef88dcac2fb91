# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors
# shellcheck shell=bash
# The test scripts' one assertion: sourced, it counts into failures.
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
