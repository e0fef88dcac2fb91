// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The msgs_iic authors

#include "sim_eeprom.h"

#include <cerrno>

namespace {

constexpr unsigned int kernel_max_msgs = I2C_RDWR_IOCTL_MAX_MSGS;
constexpr unsigned int kernel_max_len = 8192;

int fail(int err)
{
	errno = err;
	return -1;
}

// Writes wrap inside the current page, as on the real part.
void store(sim_eeprom &rom, uint8_t byte)
{
	if (!rom.write_protect)
		rom.mem[rom.pointer] = byte;
	const int page_start = rom.pointer & ~(sim_page - 1);
	rom.pointer = static_cast<uint8_t>(page_start + (rom.pointer + 1) % sim_page);
}

void run_msg(sim_eeprom &rom, const i2c_msg &msg)
{
	if (msg.flags & I2C_M_RD) {
		for (unsigned int i = 0; i < msg.len; i++)
			msg.buf[i] = rom.mem[rom.pointer++];
		return;
	}
	if (msg.len == 0)
		return;
	rom.pointer = msg.buf[0];
	for (unsigned int i = 1; i < msg.len; i++)
		store(rom, msg.buf[i]);
}

} // namespace

int sim_rdwr(sim_eeprom &rom, const i2c_rdwr_ioctl_data &request)
{
	if (request.nmsgs > kernel_max_msgs)
		return fail(EINVAL);
	for (unsigned int i = 0; i < request.nmsgs; i++)
		if (request.msgs[i].len > kernel_max_len)
			return fail(EINVAL);
	for (unsigned int i = 0; i < request.nmsgs; i++) {
		const i2c_msg &msg = request.msgs[i];
		if (!rom.present || msg.addr != rom.addr)
			return fail(ENXIO);
		run_msg(rom, msg);
	}
	return static_cast<int>(request.nmsgs);
}
