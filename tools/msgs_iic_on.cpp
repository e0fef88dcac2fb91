// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The msgs_iic authors

// msgs_iic_on: runs msgs_iic on the I2C bus given instead of bus 0, and
// leaves the EEPROM as it found it. In a mount namespace of its own, /dev
// is a tmpfs that holds one node, /dev/i2c-0, with the chosen bus's device
// numbers; msgs_iic, unchanged, opens that. One run a bus at a time: the
// bus's node is locked from the first read until the journal is gone.
// Before the test it checks that the chip takes a one-byte word address,
// reads the eight bytes that msgs_iic overwrites and keeps them in a
// journal; after it, it writes them back and reads them again. A run cut
// off by a signal still puts them back; one killed outright leaves the
// journal for the next run. Its exit status is the verdict: msgs_iic's
// output is passed on as it comes, and compared with the good run's.
//
// WARNING: msgs_iic writes eight bytes at 0x10 of whatever answers at 0x50.
// On a PC, that is often a memory module's SPD EEPROM or a monitor's EDID:
// adapters whose names say so are refused unless --force is given.
#include "msgs_iic_on.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef MSGS_IIC_VERSION
#define MSGS_IIC_VERSION "(unknown)"
#endif

extern char **environ;

namespace {

constexpr int exec_failed = 127;  // the child could not run msgs_iic
constexpr char program_name[] = "msgs_iic";
constexpr char good_run[] = "hello,this is I2C_RDWR i2c test \n"
			    "rd_buf is :0\nrd_buf is :1\nrd_buf is :2\nrd_buf is :3\n"
			    "rd_buf is :4\nrd_buf is :5\nrd_buf is :6\nrd_buf is :7\n";
constexpr size_t good_size = sizeof(good_run) - 1;

// A regular file that this process may run, on a file system that lets it.
bool runnable(const char *path)
{
	struct stat st;
	struct statvfs fs;
	return stat(path, &st) == 0 && S_ISREG(st.st_mode) && access(path, X_OK) == 0 &&
	       statvfs(path, &fs) == 0 && (fs.f_flag & ST_NOEXEC) == 0;
}

// msgs_iic's absolute path: --program's, else the one beside this program,
// else the first on PATH. Resolved now, so that what runs is what was said.
bool find_program(const char *given, char *found)
{
	char candidate[PATH_MAX];
	if (given != nullptr)
		return realpath(given, found) != nullptr && runnable(found);
	const ssize_t n = readlink("/proc/self/exe", candidate, sizeof(candidate) - 1);
	char *slash = nullptr;
	if (n > 0) {
		candidate[n] = '\0';
		slash = std::strrchr(candidate, '/');
	}
	if (slash != nullptr) {
		const size_t room = sizeof(candidate) - static_cast<size_t>(slash + 1 - candidate);
		if (std::snprintf(slash + 1, room, "%s", program_name) < static_cast<int>(room) &&
		    runnable(candidate) && realpath(candidate, found) != nullptr)
			return true;
	}
	const char *path = std::getenv("PATH");
	for (const char *p = path ? path : ""; *p != '\0';) {
		const size_t length = std::strcspn(p, ":");
		if (length > 0 && p[0] == '/' &&
		    std::snprintf(candidate, sizeof(candidate), "%.*s/%s", static_cast<int>(length),
				  p, program_name) < static_cast<int>(sizeof(candidate)) &&
		    runnable(candidate) && realpath(candidate, found) != nullptr)
			return true;
		p += length + (p[length] == ':');
	}
	return false;
}

// Writes all of it; false once out is gone.
bool pass_on(int out, const char *data, size_t size)
{
	while (size > 0) {
		const ssize_t n = write(out, data, size);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		data += n;
		size -= static_cast<size_t>(n);
	}
	return true;
}

// msgs_iic's output, passed on and compared with the good run's as it
// comes; the pipe closed once out is gone, so that msgs_iic dies of
// SIGPIPE at its next line, as it would have on out itself.
void relay(int &pipe_in, int out, size_t &seen, bool &good)
{
	char chunk[256];
	const ssize_t n = read(pipe_in, chunk, sizeof(chunk));
	if (n < 0 && errno == EINTR)
		return;
	if (n > 0) {
		const size_t size = static_cast<size_t>(n);
		good = good && seen + size <= good_size &&
		       std::memcmp(good_run + seen, chunk, size) == 0;
		seen += size;
		if (pass_on(out, chunk, size))
			return;
	}
	close(pipe_in);
	pipe_in = -1;
}

// The child: msgs_iic, with the signals as they were and its output into
// the pipe, ended with this process where that is killed outright, so that
// it never writes once the lock is gone. The file resolved at the start
// runs; a script, which needs its path, from that path.
[[noreturn]] void exec_msgs_iic(const session &s, int pipe_out, const sigset_t &unblocked,
				pid_t parent)
{
	if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
		_exit(exec_failed);
	sigprocmask(SIG_SETMASK, &unblocked, nullptr);
	std::signal(SIGPIPE, SIG_DFL);
	dup2(pipe_out, STDOUT_FILENO);
	char name[PATH_MAX] = {};
	char *const argv[] = {name, nullptr};
	std::snprintf(name, sizeof(name), "%s", program_name);
	fexecve(s.program, argv, environ);
	if (errno == ENOENT)
		execve(s.program_path, argv, environ);
	say("cannot run msgs_iic: ", std::strerror(errno));
	_exit(exec_failed);
}

// Descriptors 0 to 2 open, on /dev/null where they were closed: else the
// bus could become stderr, and this program's lines the chip's bytes.
bool standard_descriptors_open()
{
	for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
		if (fcntl(fd, F_GETFD) >= 0)
			continue;
		const int null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
		if (null != fd)
			return false;
	}
	return true;
}

int ended(int status)
{
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

// This process's own /dev: a tmpfs with the one node /dev/i2c-0, a copy of
// the chosen bus's. Mounts are made private first, so nothing leaks out.
int private_dev(const struct stat &bus)
{
	if (unshare(CLONE_NEWNS) != 0 ||
	    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
	    mount("msgs_iic_on", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") != 0 ||
	    mknod("/dev/i2c-0", S_IFCHR | (bus.st_mode & 07777), bus.st_rdev) != 0 ||
	    chown("/dev/i2c-0", bus.st_uid, bus.st_gid) != 0)
		return errno;
	return 0;
}

// msgs_iic in a child, its output passed on, waited for. A stopping signal
// is passed on to it, and remembered; msgs_iic may die of it, this process
// goes on to the restore.
test_result run_msgs_iic(const session &s)
{
	test_result result;
	sigset_t waited = stopping_signals(), unblocked;
	sigaddset(&waited, SIGCHLD);
	sigprocmask(SIG_BLOCK, &waited, &unblocked);
	sigdelset(&unblocked, SIGCHLD);
	for (int sig = 1; sig < NSIG; sig++)
		if (sig != SIGCHLD && sigismember(&waited, sig) == 1)
			sigdelset(&unblocked, sig);
	int pipe_ends[2];
	const int signals = signalfd(-1, &waited, SFD_CLOEXEC);
	if (signals < 0 || pipe2(pipe_ends, O_CLOEXEC) != 0) {
		say("cannot run msgs_iic: ", std::strerror(errno));
		result.status = exec_failed;
		return result;
	}
	std::fflush(nullptr);
	const pid_t parent = getpid();
	const pid_t child = fork();
	if (child == 0)
		exec_msgs_iic(s, pipe_ends[1], unblocked, parent);
	close(pipe_ends[1]);
	if (child < 0) {
		say("cannot run msgs_iic: ", std::strerror(errno));
		close(pipe_ends[0]);
		close(signals);
		result.status = exec_failed;
		return result;
	}
	int pipe_in = pipe_ends[0], status = 0;
	size_t seen = 0;
	bool good = true, running = true;
	while (running || pipe_in >= 0) {
		pollfd fds[2] = {{signals, POLLIN, 0}, {pipe_in, POLLIN, 0}};
		if (poll(fds, pipe_in >= 0 ? 2 : 1, -1) < 0)
			continue;
		if (fds[1].revents != 0)
			relay(pipe_in, s.out, seen, good);
		signalfd_siginfo info;
		if (!(fds[0].revents & POLLIN) || read(signals, &info, sizeof(info)) != sizeof(info))
			continue;
		const int sig = static_cast<int>(info.ssi_signo);
		if (sig != SIGCHLD) {
			if (result.signal == 0)
				result.signal = sig;
			if (running)
				kill(child, sig);
		} else if (running) {
			const pid_t waited_for = waitpid(child, &status, WNOHANG);
			running = waited_for != child && !(waited_for < 0 && errno == ECHILD);
		}
	}
	close(signals);
	result.status = ended(status);
	result.good_lines = good && seen == good_size;
	return result;
}

int main(int argc, char **argv)
{
	if (!standard_descriptors_open())
		return exit_bad_input;
	// An ignored SIGCHLD, inherited, would reap msgs_iic before it is waited for.
	std::signal(SIGCHLD, SIG_DFL);
	session s;
	request &r = s.r;
	if (!parse_args(argc, argv, r))
		return exit_bad_input;
	if (r.help) {
		std::printf("%s\n%s", usage, help);
		return exit_ran;
	}
	if (r.version) {
		std::printf("msgs_iic_on %s\n", MSGS_IIC_VERSION);
		return exit_ran;
	}

	// Its own lines go to stderr, and a line written to a closed session
	// fails instead of ending the run; msgs_iic's output is passed on to
	// the original stdout.
	std::signal(SIGPIPE, SIG_IGN);
	std::fflush(stdout);
	s.out = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
	dup2(STDERR_FILENO, STDOUT_FILENO);
	std::setvbuf(stdout, nullptr, _IOLBF, 0);

	bus_info &bus = s.bus;
	bus.number = static_cast<unsigned long>(parse_bus(r.bus));
	char path[32];
	std::snprintf(path, sizeof(path), "/dev/i2c-%lu", bus.number);
	if (stat(path, &bus.node) != 0) {
		say("no such bus node: ", path);
		return exit_bad_input;
	}
	if (!is_i2c_dev(bus.node)) {
		say("not an i2c-dev character device: ", path);
		return exit_bad_input;
	}
	bus.number = minor(bus.node.st_rdev);
	adapter_name(bus.number, bus.adapter, sizeof(bus.adapter));
	adapter_device(bus.number, bus.device, sizeof(bus.device));
	client_name(bus.number, bus.chip, sizeof(bus.chip));
	tell("bus %lu (%s), adapter '%s'", bus.number, path, bus.adapter);
	say("WARNING: msgs_iic writes 8 bytes at 0x10 of whatever answers at 0x50 "
	    "on this bus; on a PC that is often a memory module's SPD EEPROM or a "
	    "monitor's EDID");
	if (adapter_refused(bus.adapter) && !r.force) {
		say("refused: the adapter's name says it is a PC's SMBus or a display's "
		    "channel, where SPD and EDID EEPROMs live at 0x50: nothing written "
		    "(--force writes anyway)");
		return exit_bad_input;
	}
	char program[PATH_MAX];
	if (!find_program(r.program, program)) {
		tell("%s%s is not a program that can run here (a regular, executable file on "
		     "a file system mounted without noexec): nothing written%s",
		     r.program ? "" : "msgs_iic beside msgs_iic_on or on PATH: none, or ",
		     r.program ? r.program : "its", r.program ? "" : " (--program FILE names one)");
		return exit_bad_input;
	}
	s.program = open(program, O_PATH | O_CLOEXEC);
	std::snprintf(s.program_path, sizeof(s.program_path), "%s", program);
	if (s.program < 0) {
		tell("cannot open %s: %s: nothing written", program, std::strerror(errno));
		return exit_bad_input;
	}
	tell("running msgs_iic %s", program);

	s.fd = open(path, O_RDWR | O_CLOEXEC);
	if (s.fd < 0) {
		say("cannot open the bus: nothing written: ", std::strerror(errno));
		return exit_bad_input;
	}
	struct stat opened, dev_i2c_0;
	if (fstat(s.fd, &opened) != 0 || opened.st_rdev != bus.node.st_rdev ||
	    !is_i2c_dev(opened)) {
		tell("%s changed while it was opened: nothing written", path);
		return exit_bad_input;
	}
	bus.is_dev_i2c_0 = stat("/dev/i2c-0", &dev_i2c_0) == 0 && is_i2c_dev(dev_i2c_0) &&
			   dev_i2c_0.st_rdev == bus.node.st_rdev;
	pid_t holder = 0;
	if (lock_bus(s.fd, bus.number, holder) != 0) {
		if (holder > 0)
			tell("bus %lu is in use by another msgs_iic_on, pid %d: nothing written",
			     bus.number, holder);
		else
			tell("bus %lu is in use by another msgs_iic_on: nothing written",
			     bus.number);
		return exit_bad_input;
	}
	bus.held = driver_holds(s.fd);
	if (bus.held && !r.force) {
		tell("refused: a kernel driver holds 0x50 on bus %lu%s%s%s (the test would write "
		     "under it): nothing written (--force writes anyway)", bus.number,
		     bus.chip[0] ? " (as '" : "", bus.chip, bus.chip[0] ? "')" : "");
		return exit_bad_input;
	}

	int error = 0;
	char why[128] = {};
	journal_entry left;
	const bool journal = open_journal(r.journal, bus.number, s.j, error, r.keep && !r.check);
	const int found = journal ? read_journal(s.j, left, why, sizeof(why)) : 0;
	if (found < 0) {
		tell("refused: the journal %s is %s: nothing written; look at it, put its bytes "
		     "back by hand if need be, and remove it", s.j.path, why);
		return exit_bad_input;
	}
	if (r.keep && !journal && !(r.check && error == ENOENT)) {
		tell("refused: the journal's folder for %s is not this user's own, or others may "
		     "write to it, or it is a link (%s): nothing written (--journal FILE names "
		     "another)", s.j.path[0] ? s.j.path : "(none)", std::strerror(error));
		return exit_bad_input;
	}
	if (r.check) {
		if (found > 0 && !journal_is_here(s, left))
			return exit_bad_input;
		if (found > 0) {
			char bytes[kept * 3];
			hex_bytes(left.bytes, bytes, sizeof(bytes));
			tell("the journal %s holds the 8 bytes at 0x10 that an earlier run did "
			     "not put back (%s): the next run puts them back first", s.j.path, bytes);
		}
		return exit_ran;
	}

	// What the chip is, and what it holds, before anything is asked.
	uint8_t wide[wide_read + kept] = {};
	const int read_error = chip_read(s.fd, word_addr - kept, wide, wide_read) ||
			       chip_read(s.fd, word_addr, wide + wide_read, kept);
	if (chip_refused(s, wide, read_error))
		return exit_bad_input;
	if (found > 0 && read_error != 0) {
		tell("refused: the journal %s holds bytes an earlier run did not put back, and "
		     "nothing answers at 0x50 to show what the chip holds now: nothing written, "
		     "the journal stays", s.j.path);
		return exit_bad_input;
	}
	if (found > 0) {
		char bytes[kept * 3];
		hex_bytes(left.bytes, bytes, sizeof(bytes));
		tell("the journal %s holds the 8 bytes at 0x10 that an earlier run did not put "
		     "back: %s", s.j.path, bytes);
	}
	if (!r.yes && ((found > 0 && !confirmed(stdin, "Put them back first? [y/N] ")) ||
		       !confirmed(stdin))) {
		say("nothing written");
		return exit_bad_input;
	}

	// From the first write on, a signal waits until the bytes are back.
	const sigset_t blocked = stopping_signals();
	sigprocmask(SIG_BLOCK, &blocked, nullptr);
	int signal_number = 0;
	int status = found > 0 ? restore_left(s, left, wide + wide_read) : -1;
	if (status < 0)
		status = keep_and_run(s, signal_number);
	if (signal_number != 0 && status != exit_not_restored) {
		// Ended as the signal would have ended it, now that the chip is safe.
		std::fflush(nullptr);
		std::signal(signal_number, SIG_DFL);
		sigset_t one;
		sigemptyset(&one);
		sigaddset(&one, signal_number);
		sigprocmask(SIG_UNBLOCK, &one, nullptr);
		raise(signal_number);
	}
	return status;
}
