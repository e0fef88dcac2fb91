/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 The msgs_iic authors */

/* Proves the header and the routines' linkage work from C. */
#include "msgs_iic.h"

int c_caller_round_trip(int fd, uint8_t *out)
{
	const uint8_t data[2] = {1, 2};

	if (eeprom_write(fd, 0x50, 0x20, data, 2) != 0)
		return -1;
	return eeprom_read(fd, 0x50, 0x20, out, 2);
}
