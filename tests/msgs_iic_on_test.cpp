// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The msgs_iic authors

// msgs_iic_on's parts, each against a table: what it takes for a bus, which
// nodes it accepts, which adapters and chips it refuses, which answers go
// on, what a journal is and which it trusts, the bus's lock, the signals it
// holds off, and how the bytes are kept and put back. Its transfers and the
// routines run on the link-time stand-in for the kernel; msgs_iic itself,
// and the /dev of its own, are stood in for below.
#include "msgs_iic_on.h"
#include "msgs_iic.h"

#include "kernel_stand_in.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// What the stand-in for msgs_iic does, and what it saw.
struct stand_in_run {
	bool writes = true;           // its write of 0..7 reaches the chip
	bool refuse_restore = false;  // then every write of data fails
	int signal = 0;               // it is stopped by this signal
	int dev_error = 0;            // the /dev of its own cannot be made
	bool good_lines = true;       // it printed the good run
	int status = 0;               // its exit status, where no signal stops it
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

} // namespace

int private_dev(const struct stat &)
{
	return test_run.dev_error;
}

test_result run_msgs_iic(const session &)
{
	test_run.runs++;
	test_run.journal = slurp(test_run.journal_path);
	if (test_run.writes)
		eeprom_write(bus_fd, eeprom_addr, word_addr, test_pattern, kept);
	kernel.refuse_writes = test_run.refuse_restore;
	test_result r;
	r.signal = test_run.signal;
	r.status = test_run.signal ? 128 + test_run.signal : test_run.status;
	r.good_lines = test_run.good_lines;
	return r;
}

namespace {

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
		const char *program = nullptr, *chip = nullptr;
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
		{{"1", "2"}, std::string("msgs_iic_on: one BUS only, and '2' is another; ") + usage,
		 false, false},
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
		{{"--program", "./msgs_iic", "1"}, "", false, false, true, false, false, nullptr,
		 false, "./msgs_iic"},
		{{"1", "--program"}, std::string("msgs_iic_on: --program needs a FILE; ") + usage,
		 false, false},
		{{"--chip", "24c32", "1"}, "", false, false, true, false, false, nullptr, false,
		 nullptr, "24c32"},
		{{"--chip", "atmel,24c02", "1"}, "", false, false, true, false, false, nullptr,
		 false, nullptr, "atmel,24c02"},
		{{"--chip", "at24", "1"},
		 "msgs_iic_on: --chip 'at24' is not a part this test knows: 24c01 to 24c16 (a "
		 "one-byte word address) or 24c32 to 24c2048 (two bytes)", false, false, true,
		 false, false, nullptr, false, nullptr, "at24"},
		{{"--chip", "", "1"}, std::string("msgs_iic_on: --chip needs a PART; ") + usage,
		 false, false},
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
		EXPECT_STREQ(r.program ? r.program : "", c.program ? c.program : "");
		EXPECT_STREQ(r.chip ? r.chip : "", c.chip ? c.chip : "");
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

const char device[] = "/sys/devices/platform/i2c@3/i2c-3";
const char good_journal[] = "msgs_iic_on journal 2\nbus 3\nadapter test adapter\n"
			    "device /sys/devices/platform/i2c@3/i2c-3\naddress 0x50\nword 0x10\n"
			    "bytes 0xef 0xee 0xed 0xec 0xeb 0xea 0xe9 0xe8\n";

// A journal is only the text that this program writes, to the byte.
TEST(msgs_iic_on, journal_text)
{
	journal_entry e;
	e.bus = 3;
	std::snprintf(e.adapter, sizeof(e.adapter), "test adapter");
	std::snprintf(e.device, sizeof(e.device), "%s", device);
	for (int i = 0; i < kept; i++)
		e.bytes[i] = static_cast<uint8_t>(0xef - i);
	char text[1024];
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
		{with("journal 2", "journal 3"), false},
		{with("journal 2", "journal 1"), false},  // names no device
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
		{with(std::string("device ") + device + "\n", ""), false},
		{with(std::string("device ") + device, "device "), false},
		{good + "bytes 0x00\n", false},
		{"", false},
	};
	for (const auto &c : cases) {
		journal_entry found;
		EXPECT_EQ(parse_journal(c.text.c_str(), found), c.read) << c.text;
		if (c.read) {
			EXPECT_EQ(found.bus, 3u);
			EXPECT_STREQ(found.adapter, "test adapter");
			EXPECT_STREQ(found.device, device);
			EXPECT_EQ(std::memcmp(found.bytes, e.bytes, kept), 0);
		}
	}
}

// A folder of the test's own, as a journal's must be: not /tmp itself.
std::string own_temp_folder()
{
	std::string folder = testing::TempDir() + "/msgs_iic_on_test.XXXXXX";
	return mkdtemp(folder.data()) ? folder : "";
}

// The bytes at 0x10 as found: 0xef down to 0xe8.
const std::vector<uint8_t> found_bytes = {0xef, 0xee, 0xed, 0xec, 0xeb, 0xea, 0xe9, 0xe8};
const std::vector<uint8_t> pattern(test_pattern, test_pattern + kept);
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
	std::vector<uint8_t> left_on_chip;  // what the chip holds then at 0x10
	bool journal_taken;        // the journal's name is taken by a folder
	stand_in_run run;
	int status;
	int signal;
	std::vector<uint8_t> chip;    // the bytes at 0x10 afterwards
	bool journal_stays;
	int writes;
	std::vector<std::string> lines;   // what msgs_iic_on said, @ for the journal
	int busy = 0;                 // requests the chip NACKs after a write
	bool held = false;            // a kernel driver holds 0x50 (--force)
	int pending = 0;              // a stop that came before the test
};

const std::string kept_line = "msgs_iic_on: kept the 8 bytes at 0x10 and put them back: "
			      "read back, they match: ef ee ed ec eb ea e9 e8";
const std::string kept_earlier_line = "msgs_iic_on: kept the 8 bytes at 0x10 and put them "
				      "back: read back, they match: 11 12 13 14 15 16 17 18";
const std::string put_back_line = "msgs_iic_on: put back the 8 bytes at 0x10 that an earlier "
				  "run left in the journal: read back, they match: 11 12 13 14 "
				  "15 16 17 18";
const std::string earlier_journal = "msgs_iic_on journal 2\nbus 3\nadapter test adapter\n"
				    "device /sys/devices/platform/i2c@3/i2c-3\naddress 0x50\n"
				    "word 0x10\nbytes 0x11 0x12 0x13 0x14 0x15 0x16 0x17 0x18\n";
const std::string earlier_command = "i2ctransfer -y 3 w9@0x50 0x10 0x11 0x12 0x13 0x14 0x15 "
				    "0x16 0x17 0x18";

std::string journal_with(const std::string &from, const std::string &to)
{
	std::string changed = earlier_journal;
	return changed.replace(changed.find(from), from.size(), to);
}

const std::string other_bus_journal = journal_with("bus 3", "bus 1");
const std::string other_device_journal = journal_with("i2c@3", "i2c@7");
const std::string other_adapter_journal = journal_with("test adapter", "other adapter");

stand_in_run with(bool writes, bool refuse, int signal, int dev_error = 0,
		  bool good_lines = true, int status = 0)
{
	stand_in_run r;
	r.status = status;
	r.writes = writes;
	r.refuse_restore = refuse;
	r.signal = signal;
	r.dev_error = dev_error;
	r.good_lines = good_lines;
	return r;
}

const keep_case keep_cases[] = {
	{"the good run, restored", true, true, false, nullptr, {}, false, with(true, false, 0),
	 exit_ran, 0, found_bytes, false, 2, {kept_line}},
	{"--no-keep: the pattern stays", false, true, false, nullptr, {}, false,
	 with(true, false, 0), exit_ran, 0, pattern, false, 1, {}},
	{"a journal that an earlier run left, put back first", true, true, false,
	 earlier_journal.c_str(), pattern, false, with(true, false, 0), exit_ran, 0,
	 earlier_bytes, false, 3, {put_back_line, kept_earlier_line}},
	{"the restore refused", true, true, false, nullptr, {}, false, with(true, true, 0),
	 exit_not_restored, 0, pattern, true, 2,
	 {"msgs_iic_on: the restore failed: the 8 bytes at 0x10 were ef ee ed ec eb ea e9 e8, "
	  "and read back 00 01 02 03 04 05 06 07; put them back with: i2ctransfer -y 3 w9@0x50 "
	  "0x10 0xef 0xee 0xed 0xec 0xeb 0xea 0xe9 0xe8 (the journal @ keeps them)"}},
	{"the restore refused where a driver holds 0x50: -f", true, true, false, nullptr, {},
	 false, with(true, true, 0), exit_not_restored, 0, pattern, true, 2,
	 {"msgs_iic_on: the restore failed: the 8 bytes at 0x10 were ef ee ed ec eb ea e9 e8, "
	  "and read back 00 01 02 03 04 05 06 07; put them back with: i2ctransfer -f -y 3 "
	  "w9@0x50 0x10 0xef 0xee 0xed 0xec 0xeb 0xea 0xe9 0xe8 (the journal @ keeps them)"},
	 0, true},
	{"nothing answers the first read", true, false, false, nullptr, {}, false,
	 with(true, false, 0), exit_bad_input, 0, found_bytes, false, 0,
	 {"msgs_iic_on: nothing answered the read of the 8 bytes at 0x10, so they could not "
	  "be kept: nothing written (msgs_iic_on --no-keep 3 runs the test without keeping "
	  "them)"}},
	{"a write-protected chip: a failed test", true, true, true, nullptr, {}, false,
	 with(true, false, 0, 0, false), exit_failed, 0, found_bytes, false, 1,
	 {"msgs_iic_on: the restore changed nothing: the 8 bytes at 0x10 were still as found "
	  "(ef ee ed ec eb ea e9 e8), since nothing had changed them (a write-protected chip, "
	  "or a write that failed)"}},
	{"a failed test, the chip put back", true, true, false, nullptr, {}, false,
	 with(true, false, 0, 0, false), exit_failed, 0, found_bytes, false, 2, {kept_line}},
	{"a journal that cannot be written", true, true, false, nullptr, {}, true,
	 with(true, false, 0), exit_bad_input, 0, found_bytes, true, 0,
	 {"msgs_iic_on: cannot write the journal @ (File exists): nothing written (--journal "
	  "FILE names another)"}},
	{"stopped by SIGTERM, still restored", true, true, false, nullptr, {}, false,
	 with(true, false, SIGTERM), exit_failed, SIGTERM, found_bytes, false, 2,
	 {"msgs_iic_on: msgs_iic did not finish: Terminated", kept_line}},
	{"stopped by SIGQUIT, still restored", true, true, false, nullptr, {}, false,
	 with(true, false, SIGQUIT), exit_failed, SIGQUIT, found_bytes, false, 2,
	 {"msgs_iic_on: msgs_iic did not finish: Quit", kept_line}},
	{"a signal in a failed restore keeps 3", true, true, false, nullptr, {}, false,
	 with(true, true, SIGUSR1), exit_not_restored, SIGUSR1, pattern, true, 2,
	 {"msgs_iic_on: msgs_iic did not finish: User defined signal 1",
	  "msgs_iic_on: the restore failed: the 8 bytes at 0x10 were ef ee ed ec eb ea e9 e8, "
	  "and read back 00 01 02 03 04 05 06 07; put them back with: i2ctransfer -y 3 w9@0x50 "
	  "0x10 0xef 0xee 0xed 0xec 0xeb 0xea 0xe9 0xe8 (the journal @ keeps them)"}},
	{"the chip busy in its write cycles: polled, not paused", true, true, false, nullptr,
	 {}, false, with(true, false, 0), exit_ran, 0, found_bytes, false, 2, {kept_line}, 3},
	{"msgs_iic could not run: nothing written", true, true, false, nullptr, {}, false,
	 with(false, false, 0, 0, false, 127), exit_bad_input, 0, found_bytes, false, 0,
	 {"msgs_iic_on: the restore changed nothing: the 8 bytes at 0x10 were still as found "
	  "(ef ee ed ec eb ea e9 e8), since nothing had changed them (msgs_iic did not run)"}},
	{"a stop before the test: nothing written", true, true, false, nullptr, {}, false,
	 with(true, false, 0), exit_bad_input, SIGUSR2, found_bytes, false, 0,
	 {"msgs_iic_on: stopped before the test began, by User defined signal 2",
	  "msgs_iic_on: nothing written"}, 0, false, SIGUSR2},
	{"no /dev of its own", true, true, false, nullptr, {}, false,
	 with(true, false, 0, EPERM), exit_bad_input, 0, found_bytes, false, 0,
	 {"msgs_iic_on: cannot give msgs_iic a /dev of its own (it needs CAP_SYS_ADMIN: run it "
	  "as root): nothing written: Operation not permitted"}},
	{"a journal of another adapter", true, true, false,
	 other_adapter_journal.c_str(), pattern, false,
	 with(true, false, 0), exit_bad_input, 0, pattern, true, 0,
	 {"msgs_iic_on: refused: the journal @ is for bus 3, adapter 'other adapter' "
	  "(/sys/devices/platform/i2c@3/i2c-3), and this is bus 3, adapter 'test adapter' "
	  "(/sys/devices/platform/i2c@3/i2c-3): nothing written; on that adapter, put the "
	  "bytes back with " + earlier_command + ", then remove the journal"}},
	{"a journal of another bus, its adapter's name the same", true, true, false,
	 other_bus_journal.c_str(), pattern, false, with(true, false, 0), exit_bad_input, 0,
	 pattern, true, 0,
	 {"msgs_iic_on: refused: the journal @ is for bus 1, adapter 'test adapter' "
	  "(/sys/devices/platform/i2c@3/i2c-3), and this is bus 3, adapter 'test adapter' "
	  "(/sys/devices/platform/i2c@3/i2c-3): nothing written; on that adapter, put the "
	  "bytes back with i2ctransfer -y 1 w9@0x50 0x10 0x11 0x12 0x13 0x14 0x15 0x16 0x17 "
	  "0x18, then remove the journal"}},
	{"a journal of another adapter of the same name", true, true, false,
	 other_device_journal.c_str(), pattern, false, with(true, false, 0), exit_bad_input, 0,
	 pattern, true, 0,
	 {"msgs_iic_on: refused: the journal @ is for bus 3, adapter 'test adapter' "
	  "(/sys/devices/platform/i2c@7/i2c-3), and this is bus 3, adapter 'test adapter' "
	  "(/sys/devices/platform/i2c@3/i2c-3): nothing written; on that adapter, put the "
	  "bytes back with " + earlier_command + ", then remove the journal"}},
	{"a journal left, the chip rewritten since", true, true, false, earlier_journal.c_str(),
	 found_bytes, false, with(true, false, 0), exit_bad_input, 0, found_bytes, true, 0,
	 {"msgs_iic_on: refused: the journal @ holds the 8 bytes at 0x10 that an earlier run "
	  "did not put back (11 12 13 14 15 16 17 18), but the chip holds ef ee ed ec eb ea e9 "
	  "e8 there, not the test's pattern: it was written since; nothing written, the "
	  "journal stays; if those are still the bytes to put back, do it with " +
	  earlier_command + ", then remove the journal"}},
	{"a journal left before the test wrote: removed", true, true, false,
	 earlier_journal.c_str(), earlier_bytes, false, with(true, false, 0), exit_ran, 0,
	 earlier_bytes, false, 2,
	 {"msgs_iic_on: the journal @ that an earlier run left holds the bytes the chip holds "
	  "at 0x10 (11 12 13 14 15 16 17 18): removed it, nothing written", kept_earlier_line}},
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

// The session of a test run on bus 3, its journal at path.
session test_session(const std::string &path, bool keep, bool held = false)
{
	session s;
	s.r.yes = true;
	s.r.keep = keep;
	s.bus.number = 3;
	s.bus.node.st_rdev = makedev(i2c_dev_major, 3);
	s.bus.held = held;
	std::snprintf(s.bus.adapter, sizeof(s.bus.adapter), "test adapter");
	std::snprintf(s.bus.device, sizeof(s.bus.device), "%s", device);
	s.fd = bus_fd;
	int error = 0;
	EXPECT_TRUE(open_journal(path.c_str(), 3, s.j, error)) << std::strerror(error);
	return s;
}

// The bytes kept in a journal, the test run, the bytes put back, against
// a chip of known contents; what each way it can go says and leaves.
TEST(msgs_iic_on, keeps_and_restores)
{
	const std::string folder = own_temp_folder();
	ASSERT_FALSE(folder.empty());
	for (const keep_case &c : keep_cases) {
		SCOPED_TRACE(c.name);
		kernel = kernel_stand_in{};
		for (int i = 0; i < sim_size; i++)
			kernel.rom.mem[i] = static_cast<uint8_t>(0xff - i);
		kernel.rom.present = c.present;
		kernel.rom.write_protect = c.write_protect;
		kernel.busy_after_write = c.busy;
		const std::string path = folder + "/i2c-3";
		unlink(path.c_str());
		rmdir(path.c_str());
		if (c.journal_taken) {
			ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
		}
		if (c.left) {
			std::ofstream(path) << c.left;
			std::copy(c.left_on_chip.begin(), c.left_on_chip.end(), kernel.rom.mem + 0x10);
		}
		test_run = c.run;
		test_run.journal_path = path.c_str();
		const session s = test_session(path, c.keep, c.held);

		testing::internal::CaptureStderr();
		testing::internal::CaptureStdout();
		journal_entry left;
		char why[128];
		const std::vector<uint8_t> now = at_0x10();
		int status = c.left && read_journal(s.j, left, why, sizeof(why)) == 1
				     ? restore_left(s, left, now.data()) : -1;
		int signal_number = 0;
		sigset_t one;
		sigemptyset(&one);
		if (c.pending) {
			sigaddset(&one, c.pending);
			sigprocmask(SIG_BLOCK, &one, nullptr);
			raise(c.pending);
		}
		if (status < 0)
			status = keep_and_run(s, signal_number);
		const timespec none = {0, 0};
		if (c.pending)
			sigtimedwait(&one, nullptr, &none);
		std::fflush(stdout);
		const std::string out = testing::internal::GetCapturedStdout();
		const std::string err = testing::internal::GetCapturedStderr();

		EXPECT_EQ(status, c.status);
		EXPECT_EQ(signal_number, c.signal);
		EXPECT_EQ(at_0x10(), c.chip);
		EXPECT_EQ(access(path.c_str(), F_OK) == 0, c.journal_stays);
		EXPECT_EQ(data_writes(), c.writes);
		EXPECT_EQ(lines_of(err, path), c.lines);
		EXPECT_EQ(out, "") << "the keep's own transfers print nothing";
		EXPECT_EQ(kernel.slept, static_cast<unsigned int>(test_run.runs && c.run.writes))
			<< "the keep pauses for nothing; the test's own write pauses once";
		if (test_run.runs > 0) {
			EXPECT_EQ(test_run.journal, !c.keep ? "" : c.left ? c.left : good_journal)
				<< "the journal on disk while msgs_iic ran";
		}
		close(s.j.dir);
		unlink(path.c_str());
		rmdir(path.c_str());
	}
	rmdir(folder.c_str());
}

// Where /dev/i2c-0 is the bus's node, msgs_iic opens it anyway: no /dev of
// its own, so no root. Where it is another's (names remapped, as in a
// container), the bus gets its /dev, even as minor 0.
TEST(msgs_iic_on, bus_0_needs_no_dev_of_its_own)
{
	for (const bool is_dev_i2c_0 : {true, false}) {
		SCOPED_TRACE(is_dev_i2c_0);
		kernel = kernel_stand_in{};
		test_run = with(true, false, 0, EPERM);
		const std::string folder = own_temp_folder();
		const std::string path = folder + "/i2c-0";
		test_run.journal_path = path.c_str();
		session s = test_session(path, true);
		s.bus.number = 0;
		s.bus.node.st_rdev = makedev(i2c_dev_major, 0);
		s.bus.is_dev_i2c_0 = is_dev_i2c_0;
		int signal_number = 0;
		testing::internal::CaptureStderr();
		EXPECT_EQ(keep_and_run(s, signal_number), is_dev_i2c_0 ? exit_ran : exit_bad_input);
		testing::internal::GetCapturedStderr();
		EXPECT_EQ(test_run.runs, is_dev_i2c_0 ? 1 : 0);
		close(s.j.dir);
		unlink(path.c_str());
		rmdir(folder.c_str());
	}
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

// A journal is trusted only where it is this user's own file, that no one
// else may write, reached without following a link or blocking.
TEST(msgs_iic_on, journal_trusted)
{
	const std::string folder = own_temp_folder();
	ASSERT_FALSE(folder.empty());
	const std::string path = folder + "/i2c-3";
	const struct {
		const char *name;
		int (*plant)(const std::string &path);
		int found;
		const char *why;
	} cases[] = {
		{"none", [](const std::string &) { return 0; }, 0, ""},
		{"ours", [](const std::string &p) { return chmod(p.c_str(), 0600); }, 1, ""},
		{"group-writable", [](const std::string &p) { return chmod(p.c_str(), 0620); }, -1,
		 "writable by others"},
		{"a hard link", [](const std::string &p) { return link(p.c_str(), (p + ".real").c_str()); },
		 -1, "a file with other hard links"},
		{"a FIFO", [](const std::string &p) {
			 return unlink(p.c_str()) || mkfifo(p.c_str(), 0600) ? -1 : 0;
		 },
		 -1, "not a regular file"},
		{"a link to ours", [](const std::string &p) {
			 return rename(p.c_str(), (p + ".real").c_str()) ||
					symlink((p + ".real").c_str(), p.c_str()) ? -1 : 0;
		 }, -1, "a link"},
		{"another user's", [](const std::string &p) { return chown(p.c_str(), 65534, 65534); },
		 -1, "owned by uid 65534, not by this user"},
		{"not a journal", [](const std::string &p) {
			 std::ofstream(p) << "bytes 0x00\n";
			 return 0;
		 }, -1, "not a journal that msgs_iic_on wrote"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		unlink(path.c_str());
		unlink((path + ".real").c_str());
		if (c.found != 0)
			std::ofstream(path) << earlier_journal;
		if (c.plant(path) != 0) {
			EXPECT_EQ(errno, EPERM) << "only chown may fail, for a user who is not root";
			continue;
		}
		journal_file j;
		int error = 0;
		ASSERT_TRUE(open_journal(path.c_str(), 3, j, error)) << std::strerror(error);
		journal_entry e;
		char why[128] = {};
		EXPECT_EQ(read_journal(j, e, why, sizeof(why)), c.found);
		EXPECT_STREQ(why, c.why);
		close(j.dir);
	}
	unlink(path.c_str());
	unlink((path + ".real").c_str());

	// --journal's folder is checked as the default one is: /tmp is everyone's.
	journal_file j;
	int error = 0;
	const std::string open_folder = folder + "/open";
	ASSERT_EQ(mkdir(open_folder.c_str(), 0700), 0);
	ASSERT_EQ(chmod(open_folder.c_str(), 01777), 0);
	EXPECT_FALSE(open_journal((open_folder + "/j").c_str(), 3, j, error));
	EXPECT_EQ(error, EPERM);
	rmdir(open_folder.c_str());
	rmdir(folder.c_str());
}

// One run a bus at a time: a second is refused, told the first's pid.
TEST(msgs_iic_on, bus_lock)
{
	const std::string node = testing::TempDir() + "/msgs_iic_on_test.node";
	const int fd = open(node.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
	ASSERT_GE(fd, 0);
	int ready[2];
	ASSERT_EQ(pipe(ready), 0);
	const pid_t first = fork();
	if (first == 0) {
		pid_t ignored = 0;
		const int held = open(node.c_str(), O_RDWR);
		const char ok = lock_bus(held, max_bus, ignored) == 0 ? 'y' : 'n';
		(void)!write(ready[1], &ok, 1);
		pause();
		_exit(0);
	}
	char ok = 0;
	ASSERT_EQ(read(ready[0], &ok, 1), 1);
	EXPECT_EQ(ok, 'y');
	pid_t holder = 0;
	const int error = lock_bus(fd, max_bus, holder);
	EXPECT_TRUE(error == EAGAIN || error == EACCES) << std::strerror(error);
	EXPECT_EQ(holder, first);
	kill(first, SIGKILL);
	waitpid(first, nullptr, 0);
	EXPECT_EQ(lock_bus(fd, max_bus, holder), 0) << "free again once the first is gone";
	close(fd);
	close(ready[0]);
	close(ready[1]);
	unlink(node.c_str());
}

// Every signal that would end the process and can be caught is held off,
// the faults' as another process sends them too; not the ones that cannot
// be caught, nor those that end nothing.
TEST(msgs_iic_on, signals_held_off)
{
	const sigset_t held = stopping_signals();
	const struct {
		int sig;
		bool held;
	} cases[] = {
		{SIGINT, true}, {SIGTERM, true}, {SIGHUP, true}, {SIGQUIT, true},
		{SIGUSR1, true}, {SIGUSR2, true}, {SIGALRM, true}, {SIGVTALRM, true},
		{SIGPROF, true}, {SIGXCPU, true}, {SIGIO, true}, {SIGPWR, true},
		{SIGRTMIN, true}, {SIGRTMAX, true}, {SIGSEGV, true}, {SIGBUS, true},
		{SIGABRT, true}, {SIGSYS, true}, {SIGTRAP, true},
		{SIGKILL, false}, {SIGSTOP, false}, {SIGCHLD, false}, {SIGPIPE, false},
		{SIGWINCH, false}, {SIGTSTP, false},
	};
	for (const auto &c : cases)
		EXPECT_EQ(sigismember(&held, c.sig) == 1, c.held) << strsignal(c.sig);
}

// Only a part with a one-byte word address is written: as named, as the
// kernel knows it, or as two reads that overlap tell it.
TEST(msgs_iic_on, chip_kinds)
{
	std::vector<uint8_t> one_byte(wide_read + kept), uniform(wide_read + kept, 0xff),
		disagree(wide_read + kept), uniform_at_0x10(wide_read + kept, 0xff);
	for (int i = 0; i < kept; i++)  // a header, then blank: as a two-byte part reads on
		uniform_at_0x10[i] = static_cast<uint8_t>(0x52 + i);
	for (int i = 0; i < wide_read; i++)
		one_byte[i] = disagree[i] = static_cast<uint8_t>(0xf7 - i);
	std::copy(one_byte.begin() + kept, one_byte.begin() + wide_read, one_byte.begin() + wide_read);
	for (int i = 0; i < kept; i++)
		disagree[wide_read + i] = static_cast<uint8_t>(0xe7 - i);
	const std::string two_byte_line = "which takes a two-byte word address: the test's "
					  "write would put 7 bytes at 0x1000";
	const struct {
		const char *name;
		bool force;
		const char *named, *kernel;
		const std::vector<uint8_t> &read;
		int read_error;
		std::string line;   // a part of the line; empty: not refused
	} cases[] = {
		{"reads agree", false, nullptr, "", one_byte, 0, ""},
		{"reads disagree", false, nullptr, "", disagree, 0,
		 "refused: two reads of the chip at 0x50 on bus 3 disagree"},
		{"uniform: cannot tell", false, nullptr, "", uniform, 0,
		 "refused: the chip at 0x50 on bus 3 reads 0xff at all of 0x10 to 0x17"},
		{"uniform at 0x10 alone: cannot tell", false, nullptr, "", uniform_at_0x10, 0,
		 "refused: the chip at 0x50 on bus 3 reads 0xff at all of 0x10 to 0x17"},
		{"uniform, named a 24c02", false, "24c02", "", uniform, 0, ""},
		{"uniform, forced", true, nullptr, "", uniform, 0, ""},
		{"the kernel's 24c02", false, nullptr, "24c02", disagree, 0, ""},
		{"the kernel's 24c32", false, nullptr, "24c32",
		 one_byte, 0, "refused: the kernel knows the chip at 0x50 on bus 3 as a 24c32, " +
		 two_byte_line},
		{"the kernel's 24c64, forced", true, nullptr, "24c64", one_byte, 0, ""},
		{"named a 24c32 over the kernel's 24c02", false, "24c32", "24c02", one_byte, 0,
		 "refused: you named the chip at 0x50 on bus 3 as a 24c32, " + two_byte_line},
		{"the kernel's spd", false, nullptr, "spd", one_byte, 0,
		 "refused: the kernel knows the chip at 0x50 on bus 3 as 'spd', not a 24C01 to "
		 "24C16 EEPROM"},
		{"the device tree's atmel,24c128", false, nullptr, "atmel,24c128", one_byte, 0,
		 "as a atmel,24c128, " + two_byte_line},
		{"nothing answers: nothing to misaddress", false, nullptr, "", uniform, ENXIO, ""},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		session s;
		s.bus.number = 3;
		s.r.force = c.force;
		s.r.chip = c.named;
		std::snprintf(s.bus.chip, sizeof(s.bus.chip), "%s", c.kernel);
		testing::internal::CaptureStderr();
		const bool refused = chip_refused(s, c.read.data(), c.read_error);
		const std::string err = testing::internal::GetCapturedStderr();
		EXPECT_EQ(refused, !c.line.empty());
		if (c.line.empty())
			EXPECT_EQ(err, "");
		else
			EXPECT_NE(err.find(c.line), std::string::npos) << err;
		EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), refused ? 1 : 0);
	}
}

// A kernel driver at 0x50 is seen: i2c-dev's I2C_SLAVE refuses it.
TEST(msgs_iic_on, driver_held_address)
{
	for (const bool held : {false, true}) {
		kernel = kernel_stand_in{};
		kernel.address_held = held;
		EXPECT_EQ(driver_holds(bus_fd), held);
	}
}

} // namespace
