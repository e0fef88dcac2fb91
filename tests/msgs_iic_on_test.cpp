// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The msgs_iic authors

// msgs_iic_on's parts, each against a table: what it takes for a bus, which
// nodes it accepts, which adapters it refuses, and which answers go on.
#define MSGS_IIC_ON_NO_MAIN
#pragma GCC diagnostic ignored "-Wunused-function"  // what only main calls
#include "../tools/msgs_iic_on.cpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Bad input: one line saying what is wrong.
TEST(msgs_iic_on, command_line)
{
	const struct {
		std::vector<std::string> args;
		std::string line;  // empty: accepted
		bool yes, force;
	} cases[] = {
		{{"1"}, "", false, false},
		{{"-y", "/dev/i2c-3"}, "", true, false},
		{{"3", "--force", "-y"}, "", true, true},
		{{}, std::string("msgs_iic_on: no BUS given; ") + usage, false, false},
		{{"-y"}, std::string("msgs_iic_on: no BUS given; ") + usage, true, false},
		{{"abc"}, "msgs_iic_on: 'abc' is not a bus number N or /dev/i2c-N", false, false},
		{{"/dev/null"}, "msgs_iic_on: '/dev/null' is not a bus number N or /dev/i2c-N",
		 false, false},
		{{"--frob", "1"}, std::string("msgs_iic_on: unknown option '--frob'; ") + usage,
		 false, false},
		{{"-1"}, std::string("msgs_iic_on: unknown option '-1'; ") + usage, false, false},
		{{"1", "2"}, std::string("msgs_iic_on: one BUS only; ") + usage, false, false},
	};
	for (const auto &c : cases) {
		std::vector<char *> argv{const_cast<char *>("msgs_iic_on")};
		for (const std::string &a : c.args)
			argv.push_back(const_cast<char *>(a.c_str()));
		request r;
		testing::internal::CaptureStderr();
		const bool ok = parse_args(static_cast<int>(argv.size()), argv.data(), r);
		const std::string err = testing::internal::GetCapturedStderr();
		SCOPED_TRACE(c.line);
		EXPECT_EQ(ok, c.line.empty());
		EXPECT_EQ(err, c.line.empty() ? "" : c.line + "\n");
		EXPECT_EQ(r.yes, c.yes);
		EXPECT_EQ(r.force, c.force);
	}
}

TEST(msgs_iic_on, bus_argument)
{
	const struct {
		const char *arg;
		long bus;
	} cases[] = {
		{"0", 0}, {"1", 1}, {"13", 13}, {"/dev/i2c-7", 7}, {"1048575", 1048575},
		{"", -1}, {"x", -1}, {"1x", -1}, {"+1", -1}, {" 1", -1}, {"0x1", -1},
		{"1048576", -1}, {"99999999999999999999", -1}, {"/dev/i2c-", -1},
		{"/dev/i2c-1/", -1}, {"/dev/spidev0.0", -1}, {"i2c-1", -1},
	};
	for (const auto &c : cases)
		EXPECT_EQ(parse_bus(c.arg), c.bus) << "'" << c.arg << "'";
}

TEST(msgs_iic_on, only_i2c_dev_nodes)
{
	struct stat st = {};
	st.st_mode = S_IFCHR | 0600;
	st.st_rdev = makedev(i2c_dev_major, 3);
	EXPECT_TRUE(is_i2c_dev(st));
	st.st_rdev = makedev(1, 3);  // /dev/null's numbers
	EXPECT_FALSE(is_i2c_dev(st));
	st.st_mode = S_IFBLK | 0600;
	st.st_rdev = makedev(i2c_dev_major, 3);
	EXPECT_FALSE(is_i2c_dev(st));
	ASSERT_EQ(stat("/dev/null", &st), 0);
	EXPECT_FALSE(is_i2c_dev(st));
	ASSERT_EQ(stat("/", &st), 0);
	EXPECT_FALSE(is_i2c_dev(st));
}

// Adapter names as the kernel's drivers give them.
TEST(msgs_iic_on, adapters_refused)
{
	const struct {
		const char *name;
		bool refused;
	} cases[] = {
		{"SMBus I801 adapter at efa0", true},
		{"SMBus PIIX4 adapter port 0 at 0b00", true},
		{"SMBus nForce2 adapter at 4c00", true},
		{"SMBus iSMT adapter at 7ffc000", true},
		{"SMBus Via Pro adapter at 0400", true},
		{"i915 gmbus dpb", true},
		{"DPDDC-B", true},
		{"AUX B/DDI B/PHY B", true},
		{"AMDGPU DM i2c hw bus 0", true},
		{"Radeon i2c bit bus 0x90", true},
		{"nvkm-0000:01:00.0-bus-0005", true},
		{"NVIDIA i2c adapter 1 at 1:00.0", true},
		{"DesignWare HDMI", true},
		{"AST i2c bit bus", true},
		{"smbus lowercase", true},
		{"1e78a080.i2c-bus", false},               // ASPEED BMC
		{"bcm2835 (i2c@7e804000)", false},         // Raspberry Pi
		{"21a0000.i2c", false},                    // i.MX
		{"mv64xxx_i2c adapter", false},            // Allwinner
		{"i2c-ch341-usb at bus 001 device 004", false},
		{"MCP2221 usb-i2c bridge", false},
		{"i2c-tiny-usb at bus 001 device 005", false},
		{"Synopsys DesignWare I2C adapter", false},
		{"(unknown)", false},
	};
	for (const auto &c : cases)
		EXPECT_EQ(adapter_refused(c.name), c.refused) << c.name;

	char name[128];
	adapter_name(1048575, name, sizeof(name));  // a bus no machine has
	EXPECT_STREQ(name, "(unknown)");
}

// Only y goes on; no answer, a closed input or any other answer is no.
TEST(msgs_iic_on, answers)
{
	const struct {
		std::string input;
		bool yes;
	} cases[] = {
		{"", false}, {"\n", false}, {"n\n", false}, {"N\n", false}, {"no\n", false},
		{"yy\n", false}, {" y\n", false}, {"y please\n", false},
		{"y\n", true}, {"Y\n", true}, {"yes\n", true}, {"y", true}, {"y\r\n", true},
	};
	for (const auto &c : cases) {
		std::string input = c.input;
		FILE *in = fmemopen(input.data(), input.size(), "r");
		if (input.empty())
			in = std::fopen("/dev/null", "r");
		ASSERT_NE(in, nullptr);
		EXPECT_EQ(confirmed(in), c.yes) << "'" << c.input << "'";
		std::fclose(in);
	}
}

} // namespace
