// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The msgs_iic authors

// The keep: the eight bytes at 0x10 read before the test, kept in the
// journal, and put back after it. Its own transfers pause for nothing: a
// write is followed by reads that poll for the chip's acknowledge, which
// it withholds until its write cycle is done (5 ms at most on a 24C02), so
// keeping costs milliseconds where the routines' pauses would cost seconds.
#include "msgs_iic_on.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>

namespace {

constexpr long poll_step_ns = 500'000;       // between two polls
constexpr long write_cycle_ns = 25'000'000;  // the slowest part's, with room
constexpr long ns_per_s = 1'000'000'000;

// The signals that end a process and can be caught: each is held off from
// the first write until the bytes are back. The faults' too, as another
// process sends them: a real fault still ends the process while they are
// blocked, and abort() unblocks its own. SIGPIPE is ignored instead.
constexpr int stopping[] = {
	SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM, SIGSTKFLT,
	SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGIO, SIGPWR, SIGILL, SIGTRAP,
	SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS,
};
constexpr int exec_failed = 127;  // the child could not run msgs_iic

// The first stopping signal that waits, or 0.
int pending_stop()
{
	const sigset_t stops = stopping_signals();
	sigset_t pending;
	sigpending(&pending);
	for (int sig = 1; sig < NSIG; sig++)
		if (sigismember(&stops, sig) == 1 && sigismember(&pending, sig) == 1)
			return sig;
	return 0;
}

int rdwr(int fd, i2c_msg *msgs, unsigned int count)
{
	i2c_rdwr_ioctl_data request = {msgs, count};
	return ioctl(fd, I2C_RDWR, &request) < 0 ? (errno ? errno : EIO) : 0;
}

long elapsed_ns(const timespec &since)
{
	timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	return (now.tv_sec - since.tv_sec) * ns_per_s + (now.tv_nsec - since.tv_nsec);
}

// The bytes written back and read again, into again ("nothing" where the
// read failed); true when they match.
bool put_back(int fd, const uint8_t *bytes, char *again, size_t size)
{
	uint8_t read_back[kept] = {};
	std::snprintf(again, size, "nothing");
	const bool written = chip_write(fd, word_addr, bytes, kept) == 0;
	if (chip_read_after_write(fd, word_addr, read_back, kept) != 0)
		return false;
	hex_bytes(read_back, again, size);
	return written && std::memcmp(read_back, bytes, kept) == 0;
}

void say_not_restored(const session &s, const journal_entry &e, const char *again)
{
	char bytes[kept * 3], command[160];
	hex_bytes(e.bytes, bytes, sizeof(bytes));
	restore_command(s, e.bus, e.bytes, command, sizeof(command));
	tell("the restore failed: the 8 bytes at 0x10 were %s, and read back %s; put them "
	     "back with: %s (the journal %s keeps them)", bytes, again, command, s.j.path);
}

// The journal's bytes written back and checked, the journal removed once
// they match; what was done said in one line. The exit status.
int restore(const session &s, const journal_entry &e, const char *done)
{
	char again[kept * 3];
	if (!put_back(s.fd, e.bytes, again, sizeof(again))) {
		say_not_restored(s, e, again);
		return exit_not_restored;
	}
	remove_journal(s.j);
	tell("%s: read back, they match: %s", done, again);
	return exit_ran;
}

// After the test: the bytes as found, put back unless the test left them
// so; unchanged says why they would be. The exit status.
int restore_kept(const session &s, const journal_entry &e, const char *unchanged)
{
	char bytes[kept * 3];
	hex_bytes(e.bytes, bytes, sizeof(bytes));
	uint8_t now[kept] = {};
	if (chip_read_after_write(s.fd, word_addr, now, kept) == 0 &&
	    std::memcmp(now, e.bytes, kept) == 0) {
		remove_journal(s.j);
		tell("the restore changed nothing: the 8 bytes at 0x10 were still as found "
		     "(%s), since nothing had changed them (%s)", bytes,
		     std::memcmp(now, test_pattern, kept) == 0
			     ? "they held the test's pattern already" : unchanged);
		return exit_ran;
	}
	return restore(s, e, "kept the 8 bytes at 0x10 and put them back");
}

// The bus's bytes kept, msgs_iic run, the bytes put back. The exit status.
int kept_run(const session &s, int &signal_number)
{
	journal_entry e;
	e.bus = s.bus.number;
	std::snprintf(e.adapter, sizeof(e.adapter), "%s", s.bus.adapter);
	std::snprintf(e.device, sizeof(e.device), "%s", s.bus.device);
	if (s.r.keep) {
		if (chip_read(s.fd, word_addr, e.bytes, kept) != 0) {
			tell("nothing answered the read of the 8 bytes at 0x10, so they could not "
			     "be kept: nothing written (msgs_iic_on --no-keep %lu runs the test "
			     "without keeping them)", e.bus);
			return exit_bad_input;
		}
		const int error = write_journal(s.j, e);
		if (error != 0) {
			tell("cannot write the journal %s (%s): nothing written (--journal FILE "
			     "names another)", s.j.path, std::strerror(error));
			return exit_bad_input;
		}
	}
	// Where /dev/i2c-0 is the bus's node, msgs_iic opens it anyway: no /dev
	// of its own, so a user who may open it needs no root.
	const int error = s.bus.is_dev_i2c_0 ? 0 : private_dev(s.bus.node);
	if (error != 0) {
		if (s.r.keep)
			remove_journal(s.j);
		say("cannot give msgs_iic a /dev of its own (it needs CAP_SYS_ADMIN: run it as "
		    "root): nothing written: ", std::strerror(error));
		return exit_bad_input;
	}
	// A stop that came before the test is the end of it, not a failure.
	if ((signal_number = pending_stop()) != 0) {
		if (s.r.keep)
			remove_journal(s.j);
		say("stopped before the test began, by ", strsignal(signal_number));
		say("nothing written");
		return exit_bad_input;
	}
	const test_result ran = run_msgs_iic(s);
	signal_number = ran.signal;
	if (ran.status > 128)
		say("msgs_iic did not finish: ", strsignal(ran.status - 128));
	const bool ran_not = ran.status == exec_failed;
	const int status = !s.r.keep ? exit_ran
		: restore_kept(s, e, ran_not ? "msgs_iic did not run"
					     : "a write-protected chip, or a write that failed");
	if (status != exit_ran)
		return status;
	if (ran_not)
		return exit_bad_input;
	return ran.status == 0 && ran.good_lines ? exit_ran : exit_failed;
}

} // namespace

// One read at word, no pause: 0, or the errno.
int chip_read(int fd, uint8_t word, uint8_t *data, int count)
{
	i2c_msg msgs[2] = {
		{eeprom_addr, 0, 1, &word},
		{eeprom_addr, I2C_M_RD, static_cast<uint16_t>(count), data},
	};
	return rdwr(fd, msgs, 2);
}

// One write at word, no pause: 0, or the errno.
int chip_write(int fd, uint8_t word, const uint8_t *data, int count)
{
	uint8_t staged[kept + 1] = {word};
	if (count < 0 || count > kept)
		return EINVAL;
	std::memcpy(staged + 1, data, static_cast<size_t>(count));
	i2c_msg msg = {eeprom_addr, 0, static_cast<uint16_t>(count + 1), staged};
	return rdwr(fd, &msg, 1);
}

// A read that polls while the chip finishes a write: it does not answer
// its address until then. Bounded by the slowest part's write cycle.
int chip_read_after_write(int fd, uint8_t word, uint8_t *data, int count)
{
	timespec start;
	clock_gettime(CLOCK_MONOTONIC, &start);
	for (;;) {
		const int error = chip_read(fd, word, data, count);
		if (error == 0 || elapsed_ns(start) >= write_cycle_ns)
			return error;
		const timespec step = {0, poll_step_ns};
		nanosleep(&step, nullptr);
	}
}

// The command that puts the bytes back by hand, with i2c-tools; -f where a
// kernel driver holds the address, which i2ctransfer otherwise refuses.
void restore_command(const session &s, unsigned long bus, const uint8_t *bytes, char *out,
		     size_t size)
{
	char listed[kept * 5];
	hex_bytes(bytes, listed, sizeof(listed), "0x");
	std::snprintf(out, size, "i2ctransfer %s-y %lu w%d@0x%02x 0x%02x %s",
		      s.bus.held ? "-f " : "", bus, kept + 1, eeprom_addr, word_addr, listed);
}

// Whether a journal that an earlier run left is for this bus and adapter;
// where it is not, says so, with the command that puts it back by hand.
bool journal_is_here(const session &s, const journal_entry &left)
{
	if (left.bus == s.bus.number && std::strcmp(left.adapter, s.bus.adapter) == 0 &&
	    std::strcmp(left.device, s.bus.device) == 0)
		return true;
	char command[160];
	restore_command(s, left.bus, left.bytes, command, sizeof(command));
	tell("refused: the journal %s is for bus %lu, adapter '%s' (%s), and this is bus %lu, "
	     "adapter '%s' (%s): nothing written; on that adapter, put the bytes back with %s, "
	     "then remove the journal", s.j.path, left.bus, left.adapter, left.device,
	     s.bus.number, s.bus.adapter, s.bus.device, command);
	return false;
}

// A journal that an earlier run left, with now the bytes at 0x10 now: put
// back where it is for this bus and adapter and the chip holds the test's
// pattern, the journal removed where the chip holds its bytes already, and
// refused, the journal kept, for anything else. The exit status where the
// run stops here, else -1.
int restore_left(const session &s, const journal_entry &left, const uint8_t *now)
{
	char bytes[kept * 3], found[kept * 3], command[160];
	hex_bytes(left.bytes, bytes, sizeof(bytes));
	hex_bytes(now, found, sizeof(found));
	restore_command(s, left.bus, left.bytes, command, sizeof(command));
	if (!journal_is_here(s, left))
		return exit_bad_input;
	if (std::memcmp(now, left.bytes, kept) == 0) {
		remove_journal(s.j);
		tell("the journal %s that an earlier run left holds the bytes the chip holds at "
		     "0x10 (%s): removed it, nothing written", s.j.path, bytes);
		return -1;
	}
	if (std::memcmp(now, test_pattern, kept) != 0) {
		tell("refused: the journal %s holds the 8 bytes at 0x10 that an earlier run did "
		     "not put back (%s), but the chip holds %s there, not the test's pattern: it "
		     "was written since; nothing written, the journal stays; if those are still "
		     "the bytes to put back, do it with %s, then remove the journal", s.j.path,
		     bytes, found, command);
		return exit_bad_input;
	}
	return restore(s, left, "put back the 8 bytes at 0x10 that an earlier run left in the "
				"journal") == exit_ran ? -1 : exit_not_restored;
}

sigset_t stopping_signals()
{
	sigset_t set;
	sigemptyset(&set);
	for (const int sig : stopping)
		sigaddset(&set, sig);
	for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
		sigaddset(&set, sig);
	return set;
}

// The bytes kept and msgs_iic run with every stopping signal held off:
// signal_number is the first that came, or 0. They stay blocked, so that
// nothing that comes later ends the process before its status is given.
int keep_and_run(const session &s, int &signal_number)
{
	signal_number = 0;
	const sigset_t blocked = stopping_signals();
	sigprocmask(SIG_BLOCK, &blocked, nullptr);
	const int status = kept_run(s, signal_number);
	if (signal_number == 0)
		signal_number = pending_stop();
	return status;
}
