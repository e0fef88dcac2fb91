// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The msgs_iic authors

// A simulated 24C02-class EEPROM behind a stand-in for i2c-dev's I2C_RDWR.
#ifndef SIM_EEPROM_H
#define SIM_EEPROM_H

#include <cstdint>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

constexpr int sim_size = 256;
constexpr int sim_page = 8;

struct sim_eeprom {
	uint8_t addr = 0x50;
	uint8_t mem[sim_size] = {};
	uint8_t pointer = 0;          // the chip's internal word address
	bool present = true;          // false: nothing acks its address
	bool write_protect = false;   // WP pin high: acks writes, stores nothing
};

// Runs a request as i2c-dev and the chip would: returns the number of
// messages run, or -1 with errno set as the kernel sets it.
int sim_rdwr(sim_eeprom &rom, const i2c_rdwr_ioctl_data &request);

#endif
