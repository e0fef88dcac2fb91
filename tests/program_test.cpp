// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The msgs_iic authors

// The built msgs_iic binary, run as a user runs it: once with no bus at all,
// and through fake_i2c (LD_PRELOAD) against a simulated EEPROM.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct run_result {
	int status = -1;
	std::string out;
	std::string err;
	double seconds = 0;
};

std::string slurp(const std::string &path)
{
	std::ifstream in(path);
	std::stringstream s;
	s << in.rdbuf();
	return s.str();
}

std::string temp_path(const char *what)
{
	return std::string(TEST_TMP_DIR) + "/program_test." + what;
}

// Starts the binary with these arguments and exactly this environment, its
// output into files named for which.
pid_t spawn(const std::vector<std::string> &args, const std::vector<std::string> &env,
	    const char *binary, const std::string &which)
{
	const std::string out = temp_path(("out" + which).c_str());
	const std::string err = temp_path(("err" + which).c_str());
	std::vector<char *> argv{const_cast<char *>(binary)};
	for (const std::string &a : args)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);
	std::vector<char *> envp;
	for (const std::string &e : env)
		envp.push_back(const_cast<char *>(e.c_str()));
	envp.push_back(nullptr);

	const pid_t pid = fork();
	if (pid == 0) {
		const rlimit no_core = {0, 0};  // SIGQUIT's
		setrlimit(RLIMIT_CORE, &no_core);
		dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
		dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
		execve(argv[0], argv.data(), envp.data());
		_exit(127);
	}
	return pid;
}

run_result finish(pid_t pid, const std::string &which)
{
	run_result r;
	waitpid(pid, &r.status, 0);
	r.out = slurp(temp_path(("out" + which).c_str()));
	r.err = slurp(temp_path(("err" + which).c_str()));
	return r;
}

// Runs the binary with these arguments and exactly this environment.
run_result run(const std::vector<std::string> &args, const std::vector<std::string> &env,
	       const char *binary = MSGS_IIC_BIN)
{
	const auto start = std::chrono::steady_clock::now();
	run_result r = finish(spawn(args, env, binary, ""), "");
	r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	return r;
}

std::string dump(std::vector<int> values)
{
	std::string s;
	for (int v : values)
		s += "rd_buf is :" + std::to_string(v) + "\n";
	return s;
}

const std::string hello = "hello,this is I2C_RDWR i2c test \n";
const std::string no_bus_run = hello + "open/dev/i2c-0failed \n" + "I2C_RDWR err \n" +
			       "I2C_RDWR err \n" + dump({0, 0, 0, 0, 0, 0, 0, 0});

TEST(program, without_the_bus)
{
	if (access("/dev/i2c-0", F_OK) == 0)
		GTEST_SKIP() << "/dev/i2c-0 exists here; not writing to a real bus";
	const std::vector<std::string> arg_sets[] = {{}, {"--help"}, {"-y", "1", "0x51", "x"}};
	for (const auto &args : arg_sets) {
		SCOPED_TRACE(args.size());
		const run_result r = run(args, {});
		EXPECT_EQ(r.out, no_bus_run);
		EXPECT_EQ(r.err, "");
		EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0);
		EXPECT_LT(r.seconds, 0.9) << "paused after a failure";
	}
}

struct fake_case {
	const char *name;
	std::vector<std::string> args;
	std::vector<std::string> env;
	std::string out;
	std::string log;
};

const std::string write_log =
	"open /dev/i2c-0 flags=0x2\n"
	"rdwr {0x50 0x0 9: 10 00 01 02 03 04 05 06 07} -> ok\n";

// Both transfers succeed, and the read returns these bytes.
std::string good_log(const std::string &read_bytes)
{
	return write_log + "sleep 1\n" +
	       "rdwr {0x50 0x0 1: 10} {0x50 0x1 8: " + read_bytes + "} -> ok\n" +
	       "sleep 1\nclose\n";
}

const fake_case fake_cases[] = {
	{"good run", {}, {}, hello + dump({0, 1, 2, 3, 4, 5, 6, 7}),
	 good_log("00 01 02 03 04 05 06 07")},
	{"arguments change nothing", {"--dev", "/dev/i2c-1", "0x51"}, {},
	 hello + dump({0, 1, 2, 3, 4, 5, 6, 7}), good_log("00 01 02 03 04 05 06 07")},
	{"bytes above 127 print unsigned", {}, {"FAKE_EEPROM=protected", "FAKE_EEPROM_FILL=200"},
	 hello + dump({200, 200, 200, 200, 200, 200, 200, 200}),
	 good_log("c8 c8 c8 c8 c8 c8 c8 c8")},
	{"nothing at 0x50", {}, {"FAKE_EEPROM=absent"},
	 hello + "I2C_RDWR err \nI2C_RDWR err \n" + dump({0, 0, 0, 0, 0, 0, 0, 0}),
	 "open /dev/i2c-0 flags=0x2\n"
	 "rdwr {0x50 0x0 9: 10 00 01 02 03 04 05 06 07} -> ENXIO\n"
	 "rdwr {0x50 0x0 1: 10} {0x50 0x1 8:} -> ENXIO\n"
	 "close\n"},
};

TEST(program, through_a_simulated_eeprom)
{
	const std::string log = temp_path("log");
	for (const fake_case &c : fake_cases) {
		SCOPED_TRACE(c.name);
		unlink(log.c_str());
		std::vector<std::string> env = c.env;
		env.push_back(std::string("LD_PRELOAD=") + FAKE_I2C_SO);
		env.push_back("FAKE_I2C_LOG=" + log);
		// fake_i2c is not instrumented and must come ahead of ASan's runtime.
		env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
		const run_result r = run(c.args, env);
		EXPECT_EQ(r.out, c.out);
		EXPECT_EQ(slurp(log), c.log);
		EXPECT_EQ(r.err, "");
		EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0);
	}
}

// msgs_iic_on refuses what it cannot run on with one line and status 2,
// before it asks or writes anything; its stdout stays msgs_iic's alone.
// --help and --version answer on stdout.
TEST(program, msgs_iic_on_refuses)
{
	const std::string usage = "usage: msgs_iic_on [-y] [--force] [--no-keep] [--journal FILE] "
				  "[--program FILE] [--chip PART] [--check] BUS (N or /dev/i2c-N)";
	const struct {
		std::vector<std::string> args;
		std::string line;
		std::string out = "";
		int status = 2;
	} cases[] = {
		{{}, "msgs_iic_on: no BUS given; " + usage},
		{{"-y", "x1"}, "msgs_iic_on: 'x1' is not a bus number N or /dev/i2c-N"},
		{{"-y", "1048575"}, "msgs_iic_on: no such bus node: /dev/i2c-1048575"},
		{{"--force", "/dev/i2c-1048575"}, "msgs_iic_on: no such bus node: /dev/i2c-1048575"},
		{{"--journal", "/proc/j", "1048575"},
		 "msgs_iic_on: no such bus node: /dev/i2c-1048575"},
		{{"--version"}, "", "msgs_iic_on " MSGS_IIC_VERSION "\n", 0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.line);
		const run_result r = run(c.args, {}, MSGS_IIC_ON_BIN);
		EXPECT_EQ(r.err, c.line.empty() ? "" : c.line + "\n");
		EXPECT_EQ(r.out, c.out);
		EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == c.status);
	}
	const run_result help = run({"--help"}, {}, MSGS_IIC_ON_BIN);
	EXPECT_EQ(help.out.substr(0, usage.size() + 1), usage + "\n");
	EXPECT_NE(help.out.find("; 3 the bytes"), std::string::npos)
		<< "--help says what each exit status means";
	EXPECT_TRUE(WIFEXITED(help.status) && WEXITSTATUS(help.status) == 0);
}

// The chip's 256 bytes, shared by msgs_iic_on and msgs_iic through fake_i2c.
std::string chip_path()
{
	return temp_path("chip");
}

std::vector<uint8_t> chip()
{
	const std::string bytes = slurp(chip_path());
	return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// 0xff down to 0x00, as no chip ships: one that reads can tell.
std::vector<uint8_t> patterned()
{
	std::vector<uint8_t> bytes(256);
	for (int i = 0; i < 256; i++)
		bytes[i] = static_cast<uint8_t>(0xff - i);
	return bytes;
}

bool has(const std::string &text, const std::string &part)
{
	return text.find(part) != std::string::npos;
}

const std::string chip_write = "rdwr {0x50 0x0 9:";  // in the log: a write of data

// The real msgs_iic_on running the real msgs_iic on bus 0 of one shared
// stand-in chip: its status is the verdict, its stdout msgs_iic's byte for
// byte, the chip as found after every ending, and a refusal writes nothing.
TEST(program, msgs_iic_on_leaves_the_chip_as_found)
{
	const std::string log = temp_path("on_log"), journal = temp_path("journal");
	const std::vector<uint8_t> uniform(256, 0xff);
	const struct {
		const char *name;
		std::vector<std::string> args;
		std::vector<std::string> env;
		const std::vector<uint8_t> &before;
		int signal;            // sent 0.5 s in; the run ends by it
		int status;
		std::string out;
		std::string line;      // a line of stderr's
		bool writes;
	} cases[] = {
		{"the good run", {}, {}, patterned(), 0, 0, hello + dump({0, 1, 2, 3, 4, 5, 6, 7}),
		 "msgs_iic_on: kept the 8 bytes at 0x10 and put them back: read back, they match: "
		 "ef ee ed ec eb ea e9 e8\n", true},
		{"write-protected: a failed test", {}, {"FAKE_EEPROM=protected"}, patterned(), 0, 1,
		 hello + dump({239, 238, 237, 236, 235, 234, 233, 232}),
		 "since nothing had changed them (a write-protected chip", true},
		{"uniform: refused", {}, {}, uniform, 0, 2, "",
		 "msgs_iic_on: refused: the chip at 0x50 on bus 0 reads 0xff at all of 0x10", false},
		{"uniform, named a 24c02", {"--chip", "24c02"}, {}, uniform, 0, 0,
		 hello + dump({0, 1, 2, 3, 4, 5, 6, 7}), "put them back: read back, they match: ff",
		 true},
		{"named a 24c32: refused", {"--chip", "24c32"}, {}, patterned(), 0, 2, "",
		 "msgs_iic_on: refused: you named the chip at 0x50 on bus 0 as a 24c32", false},
		{"a driver holds 0x50: refused", {}, {"FAKE_EEPROM=held"}, patterned(), 0, 2, "",
		 "msgs_iic_on: refused: a kernel driver holds 0x50 on bus 0", false},
		{"nothing at 0x50", {}, {"FAKE_EEPROM=absent"}, patterned(), 0, 2, "",
		 "msgs_iic_on: nothing answered the read of the 8 bytes at 0x10", false},
		{"SIGQUIT held off, then passed on", {}, {"FAKE_I2C_SLEEP=1"}, patterned(), SIGQUIT,
		 0, hello, "msgs_iic_on: msgs_iic did not finish: Quit", true},
		{"SIGUSR1 held off, then passed on", {}, {"FAKE_I2C_SLEEP=1"}, patterned(), SIGUSR1,
		 0, hello, "msgs_iic_on: msgs_iic did not finish: User defined signal 1", true},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		unlink(log.c_str());
		unlink(journal.c_str());
		std::ofstream(chip_path()).write(reinterpret_cast<const char *>(c.before.data()), 256);
		std::vector<std::string> env = c.env;
		env.push_back(std::string("LD_PRELOAD=") + FAKE_I2C_SO);
		env.push_back("FAKE_I2C_LOG=" + log);
		env.push_back("FAKE_EEPROM_FILE=" + chip_path());
		env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
		std::vector<std::string> args = {"-y", "--journal", journal};
		args.insert(args.end(), c.args.begin(), c.args.end());
		args.push_back("0");
		const pid_t pid = spawn(args, env, MSGS_IIC_ON_BIN, "on");
		if (c.signal) {
			usleep(500'000);
			kill(pid, c.signal);
		}
		const run_result r = finish(pid, "on");
		if (c.signal)
			EXPECT_TRUE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == c.signal) << r.status;
		else
			EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == c.status) << r.status;
		EXPECT_EQ(r.out, c.out);
		EXPECT_TRUE(has(r.err, c.line)) << r.err;
		EXPECT_EQ(chip(), c.before) << "the chip as found";
		EXPECT_EQ(has(slurp(log), chip_write), c.writes) << slurp(log);
		EXPECT_NE(access(journal.c_str(), F_OK), 0) << "the journal is gone";
		if (c.writes) {
			EXPECT_TRUE(has(r.err, "msgs_iic_on: running msgs_iic /")) << r.err;
		}
	}
}

// One run a bus at a time: a second, with another journal, is refused at
// once while the first runs, and the first leaves the chip as found.
TEST(program, msgs_iic_on_one_run_a_bus)
{
	std::ofstream(chip_path()).write(reinterpret_cast<const char *>(patterned().data()), 256);
	const std::vector<std::string> env = {
		std::string("LD_PRELOAD=") + FAKE_I2C_SO, "FAKE_EEPROM_FILE=" + chip_path(),
		"FAKE_I2C_SLEEP=1", "ASAN_OPTIONS=verify_asan_link_order=0"};
	const std::string first_journal = temp_path("journal_a");
	const std::string second_journal = temp_path("journal_b");
	const pid_t first = spawn({"-y", "--journal", first_journal, "0"}, env, MSGS_IIC_ON_BIN, "a");
	usleep(500'000);
	const run_result second = run({"-y", "--journal", second_journal, "0"}, env, MSGS_IIC_ON_BIN);
	const run_result r = finish(first, "a");
	EXPECT_EQ(second.err.substr(second.err.rfind("msgs_iic_on: ")),
		  "msgs_iic_on: bus 0 is in use by another msgs_iic_on, pid " +
			  std::to_string(first) + ": nothing written\n");
	EXPECT_TRUE(WIFEXITED(second.status) && WEXITSTATUS(second.status) == 2);
	EXPECT_EQ(second.out, "");
	EXPECT_NE(access(second_journal.c_str(), F_OK), 0);
	EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) << r.err;
	EXPECT_EQ(r.out, hello + dump({0, 1, 2, 3, 4, 5, 6, 7}));
	EXPECT_EQ(chip(), patterned());
}

// The time case's measurement as N: "time pass 2.04 seconds" becomes
// "time pass N seconds".
std::string without_time(std::string out)
{
	const size_t at = out.find("time ");
	const size_t from = out.find(' ', at + 5);
	if (at == std::string::npos || from == std::string::npos)
		return out;
	const size_t to = out.find_first_not_of("0123456789.", from + 1);
	return out.replace(from + 1, to - from - 1, "N");
}

// The LAVA test definition's script run by hand, without LAVA: a line a
// case, then the count, and exit status 1 when a case failed. The time's
// measurement varies, so it is left out.
TEST(program, lava_script_by_hand)
{
	const bool bus_here = access("/dev/i2c-0", F_OK) == 0;
	const struct {
		const char *name;
		std::vector<std::string> env;
		std::string out;
		int status;
	} cases[] = {
		{"good run", {"LD_PRELOAD=" FAKE_I2C_SO},
		 "open pass\ntransfers pass\nread-back pass\nexit-status pass\nrun pass\n"
		 "time pass N seconds\n6 passed, 0 failed\n", 0},
		{"nothing at 0x50", {"LD_PRELOAD=" FAKE_I2C_SO, "FAKE_EEPROM=absent"},
		 "open pass\ntransfers fail\nread-back fail\nexit-status pass\nrun fail\n"
		 "time pass N seconds\n3 passed, 3 failed\n", 1},
		{"no bus", {},
		 "open fail\ntransfers fail\nread-back fail\nexit-status pass\nrun fail\n"
		 "time pass N seconds\n2 passed, 4 failed\n", 1},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		if (c.env.empty() && bus_here)
			continue;  // never on a real bus
		std::vector<std::string> env = c.env;
		env.push_back("PATH=/usr/bin:/bin");
		env.push_back("FAKE_I2C_LOG=" + temp_path("lava_log"));
		env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
		const run_result r = run({LAVA_SCRIPT, MSGS_IIC_BIN}, env, "/bin/sh");
		EXPECT_EQ(without_time(r.out), c.out);
		EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == c.status);
	}
}

} // namespace
