/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 The msgs_iic authors */

/*
 * Another module's use of the routines: a read on a descriptor that is not
 * open fails with -1 and the routine's own line on stdout, read back here
 * through a pipe.
 */
#include <msgs_iic.h>

#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(void)
{
	char line[32] = "";
	uint8_t data[8];
	int fds[2];

	if (pipe(fds) != 0 || dup2(fds[1], STDOUT_FILENO) < 0)
		return 2;
	if (eeprom_read(-1, 0x50, 0x10, data, 8) != -1)
		return 1;
	fflush(stdout);
	close(fds[1]);
	close(STDOUT_FILENO);
	if (read(fds[0], line, sizeof(line) - 1) < 0)
		return 2;
	return strcmp(line, "I2C_RDWR err \n") != 0;
}
