// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The msgs_iic authors

// msgs_iic_on's parts, each against a table: what it takes for a bus, which
// nodes it accepts, which adapters it refuses, which answers go on, what a
// journal is, and how the bytes are kept and put back. The routines run on
// the link-time stand-in for the kernel; msgs_iic itself, and the /dev of
// its own, are stood in for below.
#define MSGS_IIC_ON_NO_MAIN
#pragma GCC diagnostic ignored "-Wunused-function"  // what only main calls
#include "../tools/msgs_iic_on.cpp"

#include "kernel_stand_in.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// What the stand-in for msgs_iic does, and what it saw.
struct stand_in_run {
	bool writes = true;           // its write of 0..7 reaches the chip
	bool refuse_restore = false;  // then every write of data fails
	int signal = 0;               // it is stopped by this signal
	int dev_error = 0;            // the /dev of its own cannot be made
	int runs = 0;
	std::string journal;          // the journal's text while it ran
	const char *journal_path = "";
} test_run;

std::string slurp(const std::string &path)
{
	std::ifstream in(path);
	std::stringstream s;
	s << in.rdbuf();
	return s.str();
}

int private_dev(const struct stat &)
{
	return test_run.dev_error;
}

int run_msgs_iic(int, const sigset_t &, int &signal_number)
{
	constexpr uint8_t pattern[kept] = {0, 1, 2, 3, 4, 5, 6, 7};
	test_run.runs++;
	test_run.journal = slurp(test_run.journal_path);
	if (test_run.writes)
		eeprom_write(bus_fd, eeprom_addr, word_addr, pattern, kept);
	kernel.refuse_writes = test_run.refuse_restore;
	signal_number = test_run.signal;
	return test_run.signal ? 128 + test_run.signal : 0;
}

// Bad input: one line saying what is wrong.
TEST(msgs_iic_on, command_line)
{
	const struct {
		std::vector<std::string> args;
		std::string line;  // empty: accepted
		bool yes, force;
		bool keep = true, help = false, version = false;
		const char *journal = nullptr;
		bool check = false;
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
		{{"--no-keep", "1"}, "", false, false, false},
		{{"--journal", "/tmp/j", "1"}, "", false, false, true, false, false, "/tmp/j"},
		{{"1", "--journal"}, std::string("msgs_iic_on: --journal needs a FILE; ") + usage,
		 false, false},
		{{"--journal", "", "1"}, std::string("msgs_iic_on: --journal needs a FILE; ") + usage,
		 false, false},
		{{"--no-keep", "--journal", "/tmp/j", "1"},
		 std::string("msgs_iic_on: --journal keeps the bytes that --no-keep gives up; ") +
			 usage, false, false, false, false, false, "/tmp/j"},
		{{"--help"}, "", false, false, true, true},
		{{"-y", "-h", "--frob"}, "", true, false, true, true},
		{{"--version"}, "", false, false, true, false, true},
		{{"--check", "0"}, "", false, false, true, false, false, nullptr, true},
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
		EXPECT_EQ(r.keep, c.keep);
		EXPECT_EQ(r.help, c.help);
		EXPECT_EQ(r.version, c.version);
		EXPECT_STREQ(r.journal ? r.journal : "", c.journal ? c.journal : "");
		EXPECT_EQ(r.check, c.check);
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

const char good_journal[] = "msgs_iic_on journal 1\nbus 3\nadapter test adapter\n"
			    "address 0x50\nword 0x10\n"
			    "bytes 0xef 0xee 0xed 0xec 0xeb 0xea 0xe9 0xe8\n";

// A journal is only the text that this program writes, to the byte.
TEST(msgs_iic_on, journal_text)
{
	journal_entry e;
	e.bus = 3;
	std::snprintf(e.adapter, sizeof(e.adapter), "test adapter");
	for (int i = 0; i < kept; i++)
		e.bytes[i] = static_cast<uint8_t>(0xef - i);
	char text[512];
	format_journal(e, text, sizeof(text));
	EXPECT_STREQ(text, good_journal);

	const std::string good = good_journal;
	auto with = [&](const std::string &from, const std::string &to) {
		std::string changed = good;
		return changed.replace(changed.find(from), from.size(), to);
	};
	const struct {
		std::string text;
		bool read;
	} cases[] = {
		{good, true},
		{with("journal 1", "journal 2"), false},
		{with("bus 3", "bus x"), false},
		{with("bus 3", "bus 3 "), false},
		{with("bus 3", "bus 1048576"), false},
		{with("address 0x50", "address 0x51"), false},
		{with("word 0x10", "word 0x18"), false},
		{with("0xe8\n", "0xe8"), false},
		{with("0xe8", "0x0x"), false},
		{with("0xe9 0xe8", "0xe9"), false},
		{with("0xef", "0xEF"), false},
		{with("adapter test adapter\n", ""), false},
		{good + "bytes 0x00\n", false},
		{"", false},
	};
	for (const auto &c : cases) {
		journal_entry found;
		EXPECT_EQ(parse_journal(c.text.c_str(), found), c.read) << c.text;
		if (c.read) {
			EXPECT_EQ(found.bus, 3u);
			EXPECT_STREQ(found.adapter, "test adapter");
			EXPECT_EQ(std::memcmp(found.bytes, e.bytes, kept), 0);
		}
	}
}

// The bytes at 0x10 as found: 0xef down to 0xe8.
const std::vector<uint8_t> found_bytes = {0xef, 0xee, 0xed, 0xec, 0xeb, 0xea, 0xe9, 0xe8};
const std::vector<uint8_t> test_pattern = {0, 1, 2, 3, 4, 5, 6, 7};
const std::vector<uint8_t> earlier_bytes = {0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18};

std::vector<uint8_t> at_0x10()
{
	return std::vector<uint8_t>(kernel.rom.mem + 0x10, kernel.rom.mem + 0x18);
}

// Requests that wrote data: the test's, and the restore's.
int data_writes()
{
	int n = 0;
	for (const auto &request : kernel.requests)
		n += request.size() == 1 && request[0].len > 1;
	return n;
}

struct keep_case {
	const char *name;
	bool keep;
	bool present, write_protect;
	const char *left;          // the journal an earlier run left, or null
	const char *journal_path;  // null: a fresh file of the test's
	stand_in_run run;
	int status;
	int signal;
	std::vector<uint8_t> chip;    // the bytes at 0x10 afterwards
	bool journal_stays;
	int writes;
	std::vector<std::string> lines;   // what msgs_iic_on said, @ for the journal
};

const std::string kept_line = "msgs_iic_on: kept the 8 bytes at 0x10 and put them back: "
			      "read back, they match: ef ee ed ec eb ea e9 e8";
const std::string earlier_line = "msgs_iic_on: the journal @ holds the 8 bytes at 0x10 "
				 "that an earlier run did not put back: 11 12 13 14 15 16 17 18";
const std::string put_back_line = "msgs_iic_on: put back the 8 bytes from the journal: read "
				  "back, they match: 11 12 13 14 15 16 17 18";
const char earlier_journal[] = "msgs_iic_on journal 1\nbus 3\nadapter test adapter\n"
			       "address 0x50\nword 0x10\n"
			       "bytes 0x11 0x12 0x13 0x14 0x15 0x16 0x17 0x18\n";

stand_in_run with(bool writes, bool refuse, int signal, int dev_error = 0)
{
	stand_in_run r;
	r.writes = writes;
	r.refuse_restore = refuse;
	r.signal = signal;
	r.dev_error = dev_error;
	return r;
}

const keep_case keep_cases[] = {
	{"the good run, restored", true, true, false, nullptr, nullptr, with(true, false, 0),
	 exit_ran, 0, found_bytes, false, 2, {kept_line}},
	{"--no-keep: the pattern stays", false, true, false, nullptr, nullptr,
	 with(true, false, 0), exit_ran, 0, test_pattern, false, 1, {}},
	{"a journal that an earlier run left, put back first", true, true, false,
	 earlier_journal, nullptr, with(true, false, 0), exit_ran, 0, earlier_bytes, false, 3,
	 {earlier_line, put_back_line,
	  "msgs_iic_on: kept the 8 bytes at 0x10 and put them back: read back, they match: "
	  "11 12 13 14 15 16 17 18"}},
	{"the restore refused", true, true, false, nullptr, nullptr, with(true, true, 0),
	 exit_not_restored, 0, test_pattern, true, 2,
	 {"msgs_iic_on: the restore failed: the 8 bytes at 0x10 were ef ee ed ec eb ea e9 e8, "
	  "and read back 00 01 02 03 04 05 06 07; put them back with: i2ctransfer -y 3 w9@0x50 0x10 0xef 0xee 0xed 0xec 0xeb 0xea "
	  "0xe9 0xe8 (the journal @ keeps them)"}},
	{"nothing answers the first read", true, false, false, nullptr, nullptr,
	 with(true, false, 0), exit_failed, 0, found_bytes, false, 0,
	 {"msgs_iic_on: nothing answered the read of the 8 bytes at 0x10, so they could not "
	  "be kept: nothing written (msgs_iic_on --no-keep 3 runs the test without keeping "
	  "them)"}},
	{"a write-protected chip", true, true, true, nullptr, nullptr, with(true, false, 0),
	 exit_ran, 0, found_bytes, false, 1,
	 {"msgs_iic_on: the restore changed nothing: the 8 bytes at 0x10 were still as found "
	  "(ef ee ed ec eb ea e9 e8), since nothing had changed them (a write-protected chip, "
	  "or a write that failed)"}},
	{"a journal that cannot be written", true, true, false, nullptr, "/proc/msgs_iic_j",
	 with(true, false, 0), exit_failed, 0, found_bytes, false, 0,
	 {"msgs_iic_on: cannot write the journal @ (No such file or directory): nothing "
	  "written (--journal FILE names another)"}},
	{"stopped by SIGTERM, still restored", true, true, false, nullptr, nullptr,
	 with(true, false, SIGTERM), exit_failed, SIGTERM, found_bytes, false, 2,
	 {"msgs_iic_on: msgs_iic did not finish: Terminated", kept_line}},
	{"no /dev of its own", true, true, false, nullptr, nullptr,
	 with(true, false, 0, EPERM), exit_failed, 0, found_bytes, false, 0,
	 {"msgs_iic_on: cannot give msgs_iic a /dev of its own (it needs CAP_SYS_ADMIN: run it "
	  "as root): Operation not permitted"}},
	{"a journal of another adapter", true, true, false,
	 "msgs_iic_on journal 1\nbus 3\nadapter other adapter\naddress 0x50\nword 0x10\n"
	 "bytes 0x11 0x12 0x13 0x14 0x15 0x16 0x17 0x18\n", nullptr, with(true, false, 0),
	 exit_bad_input, 0, test_pattern, true, 0,
	 {"msgs_iic_on: the journal @ is for adapter 'other adapter', and bus 3's is now 'test "
	  "adapter': nothing written; on the bus that adapter is now, put the bytes back with "
	  "i2ctransfer -y 3 w9@0x50 0x10 0x11 0x12 0x13 0x14 0x15 0x16 0x17 0x18, then remove "
	  "the journal"}},
};

std::vector<std::string> lines_of(const std::string &text, const std::string &path)
{
	std::vector<std::string> lines;
	std::istringstream in(text);
	for (std::string line; std::getline(in, line);) {
		for (size_t at; (at = line.find(path)) != std::string::npos;)
			line.replace(at, path.size(), "@");
		lines.push_back(line);
	}
	return lines;
}

// The bytes kept in a journal, the test run, the bytes put back, against
// a chip of known contents; what each way it can go says and leaves.
TEST(msgs_iic_on, keeps_and_restores)
{
	const std::string folder = testing::TempDir();
	for (const keep_case &c : keep_cases) {
		SCOPED_TRACE(c.name);
		kernel = kernel_stand_in{};
		for (int i = 0; i < sim_size; i++)
			kernel.rom.mem[i] = static_cast<uint8_t>(0xff - i);
		kernel.rom.present = c.present;
		kernel.rom.write_protect = c.write_protect;
		const std::string path = c.journal_path ? c.journal_path : folder + "/i2c-3";
		unlink(path.c_str());
		if (c.left) {
			std::ofstream(path) << c.left;
			for (int i = 0; i < kept; i++)  // what the killed run left
				kernel.rom.mem[0x10 + i] = static_cast<uint8_t>(i);
		}
		test_run = c.run;
		test_run.journal_path = path.c_str();
		request r;
		r.yes = true;
		r.keep = c.keep;
		journal_file j;
		int error = 0;
		const bool opened = open_journal(path.c_str(), 3, j, error);
		ASSERT_TRUE(opened) << std::strerror(error);
		struct stat bus = {};
		bus.st_rdev = makedev(i2c_dev_major, 3);

		testing::internal::CaptureStderr();
		testing::internal::CaptureStdout();
		journal_entry left;
		int status = c.left && read_journal(j, left) == 1
				     ? restore_left(bus_fd, r, j, left, "test adapter") : -1;
		int signal_number = 0;
		if (status < 0)
			status = keep_and_run(bus_fd, bus, r, j, "test adapter", -1, signal_number);
		std::fflush(stdout);
		const std::string out = testing::internal::GetCapturedStdout();
		const std::string err = testing::internal::GetCapturedStderr();

		EXPECT_EQ(status, c.status);
		EXPECT_EQ(signal_number, c.signal);
		EXPECT_EQ(at_0x10(), c.chip);
		EXPECT_EQ(access(path.c_str(), F_OK) == 0, c.journal_stays);
		EXPECT_EQ(data_writes(), c.writes);
		EXPECT_EQ(lines_of(err, path), c.lines);
		EXPECT_EQ(out, c.present && !c.run.refuse_restore ? "" : "I2C_RDWR err \n")
			<< "the routines' own line, where one failed";
		if (test_run.runs > 0) {
			EXPECT_EQ(test_run.journal, !c.keep ? "" : c.left ? earlier_journal : good_journal)
				<< "the journal on disk while msgs_iic ran";
		}
		if (j.dir >= 0)
			close(j.dir);
		unlink(path.c_str());
	}
}

// Bus 0 is the node msgs_iic opens anyway: no /dev of its own, so no root.
TEST(msgs_iic_on, bus_0_needs_no_dev_of_its_own)
{
	kernel = kernel_stand_in{};
	test_run = with(true, false, 0, EPERM);
	const std::string path = testing::TempDir() + "/i2c-0";
	test_run.journal_path = path.c_str();
	request r;
	r.yes = true;
	journal_file j;
	int error = 0;
	ASSERT_TRUE(open_journal(path.c_str(), 0, j, error));
	struct stat bus = {};
	bus.st_rdev = makedev(i2c_dev_major, 0);
	int signal_number = 0;
	testing::internal::CaptureStderr();
	EXPECT_EQ(keep_and_run(bus_fd, bus, r, j, "adapter", -1, signal_number), exit_ran);
	testing::internal::GetCapturedStderr();
	EXPECT_EQ(test_run.runs, 1);
	close(j.dir);
}

// A journal's default folder is this user's own: not another's, not one
// that others may write to, not a link to somewhere else.
TEST(msgs_iic_on, journal_folder_is_its_own)
{
	const std::string base = testing::TempDir() + "/journal_folders";
	rmdir((base + "/open").c_str());
	unlink((base + "/link").c_str());
	rmdir((base + "/own").c_str());
	rmdir(base.c_str());
	ASSERT_EQ(mkdir(base.c_str(), 0700), 0);
	ASSERT_EQ(mkdir((base + "/own").c_str(), 0700), 0);
	ASSERT_EQ(mkdir((base + "/open").c_str(), 0700), 0);
	ASSERT_EQ(chmod((base + "/open").c_str(), 0777), 0);
	ASSERT_EQ(symlink("own", (base + "/link").c_str()), 0);
	const struct {
		const char *name;
		int error;
	} cases[] = {{"own", 0}, {"open", EPERM}, {"link", ENOTDIR}, {"none", ENOENT}};
	for (const auto &c : cases) {
		int dir = -1;
		EXPECT_EQ(own_folder((base + "/" + c.name).c_str(), dir), c.error) << c.name;
		EXPECT_EQ(dir >= 0, c.error == 0) << c.name;
		if (dir >= 0)
			close(dir);
	}
}

} // namespace
