// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The msgs_iic authors

// A link-time stand-in for the kernel: a test executable that links
// kernel_stand_in.cpp gets its ioctl() and sleep(), so the routines'
// requests land on a simulated EEPROM, are recorded, and never sleep.
// I2C_SLAVE answers as i2c-dev does where a driver holds the address.
#ifndef KERNEL_STAND_IN_H
#define KERNEL_STAND_IN_H

#include "sim_eeprom.h"

#include <cstdint>
#include <ostream>
#include <vector>

constexpr int bus_fd = 3;   // the one descriptor the stand-in answers

struct sent_msg {
	uint16_t addr;
	uint16_t flags;
	uint16_t len;
	std::vector<uint8_t> bytes;  // what a write message carried

	bool operator==(const sent_msg &o) const
	{
		return addr == o.addr && flags == o.flags && len == o.len &&
		       bytes == o.bytes;
	}
};

void PrintTo(const sent_msg &m, std::ostream *os);

struct kernel_stand_in {
	sim_eeprom rom;
	std::vector<std::vector<sent_msg>> requests;
	unsigned int slept = 0;
	bool refuse_writes = false;   // a write of data fails, as on a bad bus
	bool address_held = false;    // a kernel driver holds 0x50: I2C_SLAVE fails
	int busy_after_write = 0;     // requests NACKed after a write of data,
	int busy_left = 0;            // as in the chip's write cycle
};

extern kernel_stand_in kernel;

#endif
