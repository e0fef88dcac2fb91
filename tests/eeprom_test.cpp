// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The msgs_iic authors

// The transfer routines against a stand-in for the kernel: this executable
// links kernel_stand_in.cpp's ioctl() and sleep(), so the routines' calls
// reach a simulated EEPROM instead of a bus.
#include "msgs_iic.h"
#include "kernel_stand_in.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int c_caller_round_trip(int fd, uint8_t *out);

namespace {

// A fresh EEPROM holding 0xff - i at word i, and stdout captured.
void reset()
{
	kernel = kernel_stand_in{};
	for (int i = 0; i < sim_size; i++)
		kernel.rom.mem[i] = static_cast<uint8_t>(0xff - i);
	testing::internal::CaptureStdout();
}

std::string printed()
{
	std::fflush(stdout);
	return testing::internal::GetCapturedStdout();
}

const sent_msg addr_write{0x50, 0, 1, {0x10}};

const sent_msg page_write{0x50, 0, 9, {0x10, 0xa0, 0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7}};

struct transfer_case {
	const char *name;
	int fd;
	uint8_t dev_addr;
	int count;
	int result;
	const char *line;
	std::vector<std::vector<sent_msg>> requests;
};

const transfer_case write_cases[] = {
	{"count 0 sends the word address alone", bus_fd, 0x50, 0, 0, "",
	 {{addr_write}}},
	{"count 8 is one message of 9", bus_fd, 0x50, 8, 0, "", {{page_write}}},
	{"count 9 is refused", bus_fd, 0x50, 9, -1,
	 "This function supports up to 8 bytes at a time !!!\n", {}},
	{"count -1 is refused", bus_fd, 0x50, -1, -1, "Byte count out of range !!!\n", {}},
	{"INT_MIN is refused", bus_fd, 0x50, INT_MIN, -1, "Byte count out of range !!!\n", {}},
	{"closed descriptor", -1, 0x50, 8, -1, "I2C_RDWR err \n", {{page_write}}},
	{"nothing at the address", bus_fd, 0x51, 1, -1, "I2C_RDWR err \n",
	 {{{0x51, 0, 2, {0x10, 0xa0}}}}},
};

TEST(eeprom, write)
{
	for (const transfer_case &c : write_cases) {
		SCOPED_TRACE(c.name);
		reset();
		const uint8_t pattern[8] = {0xa0, 0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7};
		uint8_t data[8];
		std::copy(pattern, pattern + 8, data);
		const uint8_t before = kernel.rom.mem[0x10];

		// A count of 0 comes with no buffer at all.
		const int result = eeprom_write(c.fd, c.dev_addr, 0x10,
						c.count == 0 ? nullptr : data, c.count);

		EXPECT_EQ(printed(), c.line);
		EXPECT_EQ(result, c.result);
		EXPECT_EQ(kernel.requests, c.requests);
		EXPECT_EQ(kernel.slept, result == 0 ? 1u : 0u);
		EXPECT_TRUE(std::equal(data, data + 8, pattern));
		const bool stored = result == 0 && c.count > 0;
		EXPECT_EQ(kernel.rom.mem[0x10], stored ? pattern[0] : before);
	}
}

const transfer_case read_cases[] = {
	{"count 8", bus_fd, 0x50, 8, 0, "", {{addr_write, {0x50, I2C_M_RD, 8, {}}}}},
	{"count 16 is not capped", bus_fd, 0x50, 16, 0, "",
	 {{addr_write, {0x50, I2C_M_RD, 16, {}}}}},
	{"count 0", bus_fd, 0x50, 0, 0, "", {{addr_write, {0x50, I2C_M_RD, 0, {}}}}},
	{"count 65535 goes to the kernel, which refuses it", bus_fd, 0x50, 65535, -1,
	 "I2C_RDWR err \n", {{addr_write, {0x50, I2C_M_RD, 65535, {}}}}},
	{"count 65536 is refused", bus_fd, 0x50, 65536, -1, "Byte count out of range !!!\n", {}},
	{"count 65544 is refused", bus_fd, 0x50, 65544, -1, "Byte count out of range !!!\n", {}},
	{"count -1 is refused", bus_fd, 0x50, -1, -1, "Byte count out of range !!!\n", {}},
	{"closed descriptor", -1, 0x50, 8, -1, "I2C_RDWR err \n",
	 {{addr_write, {0x50, I2C_M_RD, 8, {}}}}},
};

TEST(eeprom, read)
{
	constexpr uint8_t untouched = 0x5a;
	for (const transfer_case &c : read_cases) {
		SCOPED_TRACE(c.name);
		reset();
		std::vector<uint8_t> data(65536 + 16, untouched);

		const int result = eeprom_read(c.fd, c.dev_addr, 0x10, data.data(), c.count);

		EXPECT_EQ(printed(), c.line);
		EXPECT_EQ(result, c.result);
		EXPECT_EQ(kernel.requests, c.requests);
		EXPECT_EQ(kernel.slept, result == 0 ? 1u : 0u);
		const int filled = result == 0 ? c.count : 0;
		for (int i = 0; i < static_cast<int>(data.size()); i++) {
			const uint8_t want = i < filled ? kernel.rom.mem[(0x10 + i) % sim_size]
							: untouched;
			ASSERT_EQ(data[i], want) << "byte " << i;
		}
	}
}

TEST(eeprom, c_caller_round_trip)
{
	reset();
	uint8_t out[2] = {};
	EXPECT_EQ(c_caller_round_trip(bus_fd, out), 0);
	EXPECT_EQ(printed(), "");
	EXPECT_EQ(out[0], 1);
	EXPECT_EQ(out[1], 2);
	EXPECT_EQ(kernel.slept, 2u);
}

} // namespace
