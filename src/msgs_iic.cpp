// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The msgs_iic authors

// msgs_iic: writes the bytes 0..7 to the EEPROM at 0x50 on /dev/i2c-0 from
// word address 0x10, reads them back and prints them.
//
// WARNING: on a PC, 0x50 on an I2C bus is often a memory module's SPD EEPROM
// or a monitor's EDID. Run this only where 0x50 is an EEPROM you may write.

#include "msgs_iic.h"

#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

namespace {

constexpr int max_write_count = 8;       // one page of a 24C01/24C02
constexpr int max_read_count = 0xffff;   // what i2c_msg.len can carry
constexpr unsigned int pause_seconds = 1;

void say(const char *line)
{
	std::puts(line);
}

// Counts that can't be carried in i2c_msg.len as they are.
bool count_refused(int count, int max)
{
	if (count >= 0 && count <= max)
		return false;
	say("Byte count out of range !!!");
	return true;
}

// Filled in place after a memset, so the hole between len and buf is
// defined too: no undefined byte reaches the kernel.
void fill_msg(i2c_msg &msg, uint8_t dev_addr, __u16 flags, int len, uint8_t *buf)
{
	std::memset(&msg, 0, sizeof(msg));
	msg.addr = dev_addr;
	msg.flags = flags;
	msg.len = static_cast<__u16>(len);
	msg.buf = buf;
}

// Runs the messages as one combined transaction; pauses only on success.
int transfer(int fd, i2c_msg *msgs, unsigned int nmsgs)
{
	i2c_rdwr_ioctl_data request;
	std::memset(&request, 0, sizeof(request));
	request.msgs = msgs;
	request.nmsgs = nmsgs;
	if (ioctl(fd, I2C_RDWR, &request) < 0) {
		say("I2C_RDWR err ");
		return -1;
	}
	sleep(pause_seconds);
	return 0;
}

} // namespace

extern "C" int eeprom_write(int fd, uint8_t dev_addr, uint8_t word_addr,
			    const uint8_t *data, int count)
{
	if (count > max_write_count) {
		say("This function supports up to 8 bytes at a time !!!");
		return -1;
	}
	if (count_refused(count, max_write_count))
		return -1;

	uint8_t staging[1 + max_write_count] = {};
	staging[0] = word_addr;
	if (count > 0)  // data may be null when there is nothing to copy
		std::memcpy(staging + 1, data, static_cast<size_t>(count));

	i2c_msg msg;
	fill_msg(msg, dev_addr, 0, count + 1, staging);
	return transfer(fd, &msg, 1);
}

extern "C" int eeprom_read(int fd, uint8_t dev_addr, uint8_t word_addr,
			   uint8_t *data, int count)
{
	if (count_refused(count, max_read_count))
		return -1;

	i2c_msg msgs[2];
	fill_msg(msgs[0], dev_addr, 0, 1, &word_addr);
	fill_msg(msgs[1], dev_addr, I2C_M_RD, count, data);
	return transfer(fd, msgs, 2);
}

// Built as the library for other modules (msgs_iic::eeprom), the file
// holds the routines alone.
#ifndef MSGS_IIC_NO_MAIN
int main()
{
	constexpr char device[] = "/dev/i2c-0";
	constexpr uint8_t eeprom_addr = 0x50;   // see the warning above
	constexpr uint8_t word_addr = 0x10;
	constexpr int count = 8;
	uint8_t wr_buf[count] = {};
	uint8_t rd_buf[count] = {};

	// Whole lines out before each pause, and none lost if we are killed.
	std::setvbuf(stdout, nullptr, _IOLBF, 0);

	say("hello,this is I2C_RDWR i2c test ");
	const int fd = open(device, O_RDWR);
	if (fd < 0)
		say("open/dev/i2c-0failed ");  // the transfers then fail too

	for (int i = 0; i < count; i++)
		wr_buf[i] = static_cast<uint8_t>(i);
	eeprom_write(fd, eeprom_addr, word_addr, wr_buf, count);
	eeprom_read(fd, eeprom_addr, word_addr, rd_buf, count);

	for (int i = 0; i < count; i++)
		std::printf("rd_buf is :%d\n", rd_buf[i]);

	close(fd);
	return 0;  // the verdict is in the lines, not the status
}
#endif
