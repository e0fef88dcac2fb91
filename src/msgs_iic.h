/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 The msgs_iic authors */

/*
 * EEPROM transfers over the Linux i2c-dev I2C_RDWR request.
 *
 * Both routines take an open read-write descriptor of an I2C bus device
 * (such as /dev/i2c-0), the EEPROM's plain 7-bit bus address (0x50, not
 * shifted), the one-byte word address where the transfer starts, a buffer
 * and a byte count. Each sends one combined I2C transaction, returns 0 on
 * success or -1 on failure, prints one line on stdout when it fails, and
 * sleeps one second after a transfer that succeeds.
 *
 * eeprom_write: count 0 to 8; data holds count bytes and is only read.
 *   The chip wraps inside its write page, so the caller keeps a write
 *   inside one page: 8 bytes aligned to 8 on 24C01/24C02 parts. A write
 *   that crosses a page boundary overwrites the start of the same page.
 * eeprom_read: count 0 to 65535; data has room for count bytes and is
 *   filled only by a transfer that succeeds. The kernel itself refuses
 *   more than 8192 bytes in one message.
 *
 * WARNING: on a PC, 0x50 on an I2C bus is often a memory module's SPD
 * EEPROM or a monitor's EDID. A write there can leave the machine unable
 * to boot or the monitor unknown to it.
 */
#ifndef MSGS_IIC_H
#define MSGS_IIC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int eeprom_write(int fd, uint8_t dev_addr, uint8_t word_addr,
		 const uint8_t *data, int count);
int eeprom_read(int fd, uint8_t dev_addr, uint8_t word_addr,
		uint8_t *data, int count);

#ifdef __cplusplus
}
#endif

#endif /* MSGS_IIC_H */
