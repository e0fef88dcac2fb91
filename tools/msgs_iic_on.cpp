// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The msgs_iic authors

// msgs_iic_on: runs msgs_iic on the I2C bus given instead of bus 0, and
// leaves the EEPROM as it found it. In a mount namespace of its own, /dev
// is a tmpfs that holds one node, /dev/i2c-0, with the chosen bus's device
// numbers; msgs_iic, unchanged, opens that. Before the test it reads the
// eight bytes that msgs_iic overwrites, with the library's eeprom_read, and
// keeps them in a journal on disk; after it, it writes them back with
// eeprom_write and reads them again. A run cut off by a signal still puts
// them back; one killed outright leaves the journal for the next run.
//
// WARNING: msgs_iic writes eight bytes at 0x10 of whatever answers at 0x50.
// On a PC, that is often a memory module's SPD EEPROM or a monitor's EDID:
// adapters whose names say so are refused unless --force is given.

#include "msgs_iic.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef MSGS_IIC_VERSION
#define MSGS_IIC_VERSION "(unknown)"
#endif

namespace {

constexpr unsigned int i2c_dev_major = 89;     // i2c-dev's character major
constexpr unsigned long max_bus = (1UL << 20) - 1;  // the largest minor
constexpr uint8_t eeprom_addr = 0x50;   // what msgs_iic writes to
constexpr uint8_t word_addr = 0x10;
constexpr int kept = 8;                 // the bytes msgs_iic overwrites

// Exit statuses.
constexpr int exit_ran = 0;          // msgs_iic ran; the chip is as found
constexpr int exit_failed = 1;       // the test could not run; nothing written
constexpr int exit_bad_input = 2;    // bad input, a refusal, or no y
constexpr int exit_not_restored = 3; // the chip is not as found: see the line
constexpr int exec_failed = 127;     // the child could not run msgs_iic

constexpr char usage[] = "usage: msgs_iic_on [-y] [--force] [--no-keep] "
			 "[--journal FILE] [--check] BUS (N or /dev/i2c-N)";
constexpr char help[] =
	"Runs msgs_iic on the I2C bus BUS instead of bus 0, and leaves the EEPROM\n"
	"at 0x50 as it found it: the 8 bytes at 0x10 that msgs_iic overwrites are\n"
	"read first, kept in a journal, and written back after the test.\n"
	"  -y              do not ask before writing\n"
	"  --force         run even on a PC's SMBus or a display's channel\n"
	"  --no-keep       do not keep the 8 bytes: the test's pattern stays\n"
	"  --journal FILE  keep them in FILE (default /var/lib/msgs_iic/i2c-BUS,\n"
	"                  or under /run or /tmp for a user who may not write there)\n"
	"  --check         the checks alone (the bus, its adapter, a journal left\n"
	"                  by an earlier run): nothing read or written\n"
	"  --help, --version\n"
	"Standard output is msgs_iic's alone. Exit status: 0 msgs_iic ran and the\n"
	"chip is as found (with --check: it would go on); 1 the test could not\n"
	"run, nothing written; 2 bad input, a refused adapter or no y; 3 the bytes\n"
	"could not be put back (the line says how to do it by hand).\n";
constexpr char node_prefix[] = "/dev/i2c-";
// Where a journal goes by default: the first of these that is there, so
// that it survives a reboot where the system keeps state.
constexpr const char *journal_roots[] = {"/var/lib", "/run", "/tmp"};
constexpr char journal_folder[] = "msgs_iic";
constexpr char journal_magic[] = "msgs_iic_on journal 1";

// Parts of the kernel's names for a PC's SMBus controllers and for display
// DDC and DP AUX channels: where SPD and EDID EEPROMs sit at 0x50.
constexpr const char *refused_adapters[] = {
	"SMBus",    // i801, PIIX4, nForce2, iSMT, VIA, SiS, ALi, AMD: "SMBus ..."
	"i801", "PIIX4", "nForce",
	"DDC",      // display data channels, "DPDDC-A" among them
	"gmbus",    // i915's
	"i915", "AUX ", "AMDGPU", "Radeon", "nouveau", "nvkm", "NVIDIA",
	"HDMI", "gma500", "AST i2c",
};

struct request {
	bool yes = false;
	bool force = false;
	bool keep = true;
	bool help = false;
	bool version = false;
	bool check = false;    // the checks alone: nothing read or written
	const char *bus = nullptr;
	const char *journal = nullptr;   // --journal, or the default
};

// The eight bytes kept, with what names where they came from.
struct journal_entry {
	unsigned long bus = 0;
	char adapter[128] = {};
	uint8_t bytes[kept] = {};
};

// A journal file: its folder, open before /dev is replaced, and its name
// in it.
struct journal_file {
	int dir = -1;
	char name[NAME_MAX + 1] = {};
	char path[PATH_MAX] = {};
};

void say(const char *what, const char *detail = "")
{
	std::fprintf(stderr, "msgs_iic_on: %s%s\n", what, detail);
}

__attribute__((format(printf, 1, 2))) void tell(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	std::fputs("msgs_iic_on: ", stderr);
	std::vfprintf(stderr, format, ap);
	std::fputc('\n', stderr);
	va_end(ap);
}

// "a0 a1 ..." or, with prefix "0x", "0xa0 0xa1 ...".
void hex_bytes(const uint8_t *bytes, char *out, size_t size, const char *prefix = "")
{
	size_t n = 0;
	out[0] = '\0';
	for (int i = 0; i < kept && n < size; i++)
		n += std::snprintf(out + n, size - n, "%s%s%02x", i ? " " : "", prefix, bytes[i]);
}

// N, or the N of /dev/i2c-N; -1 for anything else.
long parse_bus(const char *arg)
{
	if (std::strncmp(arg, node_prefix, sizeof(node_prefix) - 1) == 0)
		arg += sizeof(node_prefix) - 1;
	if (*arg < '0' || *arg > '9')
		return -1;
	char *end = nullptr;
	errno = 0;
	const unsigned long n = std::strtoul(arg, &end, 10);
	if (errno != 0 || *end != '\0' || n > max_bus)
		return -1;
	return static_cast<long>(n);
}

// Fills r from the command line; false after saying what is wrong.
bool parse_args(int argc, char **argv, request &r)
{
	for (int i = 1; i < argc; i++) {
		const char *arg = argv[i];
		if (std::strcmp(arg, "-y") == 0) {
			r.yes = true;
		} else if (std::strcmp(arg, "--force") == 0) {
			r.force = true;
		} else if (std::strcmp(arg, "--no-keep") == 0) {
			r.keep = false;
		} else if (std::strcmp(arg, "--check") == 0) {
			r.check = true;
		} else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
			r.help = true;
			return true;
		} else if (std::strcmp(arg, "--version") == 0) {
			r.version = true;
			return true;
		} else if (std::strcmp(arg, "--journal") == 0) {
			if (i + 1 == argc || argv[i + 1][0] == '\0') {
				say("--journal needs a FILE; ", usage);
				return false;
			}
			r.journal = argv[++i];
		} else if (arg[0] == '-' && arg[1] != '\0') {
			tell("unknown option '%s'; %s", arg, usage);
			return false;
		} else if (r.bus != nullptr) {
			say("one BUS only; ", usage);
			return false;
		} else {
			r.bus = arg;
		}
	}
	if (r.bus == nullptr) {
		say("no BUS given; ", usage);
		return false;
	}
	if (parse_bus(r.bus) < 0) {
		tell("'%s' is not a bus number N or /dev/i2c-N", r.bus);
		return false;
	}
	if (r.journal != nullptr && !r.keep) {
		say("--journal keeps the bytes that --no-keep gives up; ", usage);
		return false;
	}
	return true;
}

bool is_i2c_dev(const struct stat &st)
{
	return S_ISCHR(st.st_mode) && major(st.st_rdev) == i2c_dev_major;
}

// The adapter's name from sysfs, or "(unknown)".
void adapter_name(unsigned int minor_number, char *name, size_t size)
{
	char path[64];
	std::snprintf(path, sizeof(path), "/sys/class/i2c-dev/i2c-%u/name", minor_number);
	std::snprintf(name, size, "(unknown)");
	FILE *f = std::fopen(path, "re");
	if (f == nullptr)
		return;
	if (std::fgets(name, static_cast<int>(size), f) != nullptr)
		name[std::strcspn(name, "\n")] = '\0';
	std::fclose(f);
}

bool adapter_refused(const char *name)
{
	for (const char *part : refused_adapters) {
		const size_t n = std::strlen(part);
		for (const char *p = name; *p != '\0'; p++)
			if (strncasecmp(p, part, n) == 0)
				return true;
	}
	return false;
}

// i2cset's question: only y or yes goes on; no answer is no.
bool confirmed(FILE *in, const char *question = "Continue? [y/N] ")
{
	std::fputs(question, stderr);
	std::fflush(stderr);
	char answer[16] = {};
	if (std::fgets(answer, sizeof(answer), in) == nullptr) {
		std::fputc('\n', stderr);  // ends the question's line
		return false;
	}
	answer[std::strcspn(answer, "\r\n")] = '\0';
	return strcasecmp(answer, "y") == 0 || strcasecmp(answer, "yes") == 0;
}

// The folder opened into dir where it is this user's own and no one else
// may write to it, not a link: 0, or why not.
int own_folder(const char *folder, int &dir)
{
	dir = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (dir < 0)
		return errno;
	struct stat st;
	if (fstat(dir, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 022) == 0)
		return 0;
	close(dir);
	dir = -1;
	return EPERM;
}

// The journal's path: --journal's, or msgs_iic/i2c-BUS under the first
// root that is there. Its folder is made and opened now, so that the
// journal is reached the same way once /dev is this process's own.
bool open_journal(const char *given, unsigned long bus, journal_file &j, int &error)
{
	char folder[PATH_MAX];
	if (given != nullptr) {
		const char *slash = std::strrchr(given, '/');
		const char *base = slash ? slash + 1 : given;
		const int length = slash ? static_cast<int>(slash == given ? 1 : slash - given) : 1;
		if (std::snprintf(j.path, sizeof(j.path), "%s", given) >= static_cast<int>(sizeof(j.path)) ||
		    std::snprintf(j.name, sizeof(j.name), "%s", base) >= static_cast<int>(sizeof(j.name)) ||
		    std::snprintf(folder, sizeof(folder), "%.*s", length, slash ? given : ".") < 0) {
			error = ENAMETOOLONG;
			return false;
		}
	} else {
		// The first root where the folder is this user's own, and no one
		// else may write: /tmp is everyone's.
		std::snprintf(j.name, sizeof(j.name), "i2c-%lu", bus);
		error = ENOENT;
		for (const char *root : journal_roots) {
			std::snprintf(folder, sizeof(folder), "%.16s/%s", root, journal_folder);
			std::snprintf(j.path, sizeof(j.path), "%.64s/%s", folder, j.name);
			if (mkdir(folder, 0700) != 0 && errno != EEXIST) {
				error = errno;
				continue;
			}
			error = own_folder(folder, j.dir);
			if (error == 0)
				return true;
		}
		return false;
	}
	if (j.name[0] == '\0' || std::strcmp(j.name, ".") == 0 || std::strcmp(j.name, "..") == 0) {
		error = EISDIR;
		return false;
	}
	j.dir = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	error = errno;
	return j.dir >= 0;
}

// The journal's text: what it keeps and where from.
int format_journal(const journal_entry &e, char *out, size_t size)
{
	char bytes[kept * 5];
	hex_bytes(e.bytes, bytes, sizeof(bytes), "0x");
	return std::snprintf(out, size, "%s\nbus %lu\nadapter %s\naddress 0x%02x\n"
			     "word 0x%02x\nbytes %s\n", journal_magic, e.bus, e.adapter,
			     eeprom_addr, word_addr, bytes);
}

// The journal's entry from its text; false for anything that is not one
// as format_journal writes it.
bool parse_journal(const char *text, journal_entry &e)
{
	char line[256];
	const char *p = text;
	int field = 0;
	while (*p != '\0') {
		const size_t n = std::strcspn(p, "\n");
		if (p[n] != '\n' || n >= sizeof(line))
			return false;
		std::memcpy(line, p, n);
		line[n] = '\0';
		p += n + 1;
		unsigned int a = 0, w = 0, b[kept];
		int used = 0;
		switch (field++) {
		case 0:
			if (std::strcmp(line, journal_magic) != 0)
				return false;
			break;
		case 1:
			if (std::sscanf(line, "bus %lu%n", &e.bus, &used) != 1 ||
			    line[used] != '\0' || e.bus > max_bus)
				return false;
			break;
		case 2:
			if (std::strncmp(line, "adapter ", 8) != 0 ||
			    std::snprintf(e.adapter, sizeof(e.adapter), "%s", line + 8) >=
				    static_cast<int>(sizeof(e.adapter)))
				return false;
			break;
		case 3:
			if (std::sscanf(line, "address 0x%2x%n", &a, &used) != 1 ||
			    line[used] != '\0' || a != eeprom_addr)
				return false;
			break;
		case 4:
			if (std::sscanf(line, "word 0x%2x%n", &w, &used) != 1 ||
			    line[used] != '\0' || w != word_addr)
				return false;
			break;
		case 5:
			if (std::sscanf(line, "bytes 0x%2x 0x%2x 0x%2x 0x%2x 0x%2x 0x%2x "
					"0x%2x 0x%2x%n", &b[0], &b[1], &b[2], &b[3], &b[4],
					&b[5], &b[6], &b[7], &used) != kept || line[used] != '\0')
				return false;
			for (int i = 0; i < kept; i++)
				e.bytes[i] = static_cast<uint8_t>(b[i]);
			break;
		default:
			return false;
		}
	}
	// Only the text this program writes for that entry, to the byte.
	char again[512];
	format_journal(e, again, sizeof(again));
	return field == 6 && std::strcmp(again, text) == 0;
}

// 1 and the entry where the journal is there and readable, 0 where there
// is none, -1 where it is there but no journal that this program wrote.
int read_journal(const journal_file &j, journal_entry &e)
{
	const int fd = openat(j.dir, j.name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
	if (fd < 0)
		return errno == ENOENT ? 0 : -1;
	char text[512];
	const ssize_t n = read(fd, text, sizeof(text) - 1);
	close(fd);
	if (n <= 0 || static_cast<size_t>(n) == sizeof(text) - 1)
		return -1;
	text[n] = '\0';
	return std::strlen(text) == static_cast<size_t>(n) && parse_journal(text, e) ? 1 : -1;
}

// The journal on disk before anything is written: a new file beside it,
// synced, linked in under its name (which never replaces one that is
// there), then the folder synced. 0, or the errno of what failed.
int write_journal(const journal_file &j, const journal_entry &e)
{
	char temporary[NAME_MAX + 1];
	if (std::snprintf(temporary, sizeof(temporary), ".%.200s.new", j.name) >=
	    static_cast<int>(sizeof(temporary)))
		return ENAMETOOLONG;
	char text[512];
	const int length = format_journal(e, text, sizeof(text));
	unlinkat(j.dir, temporary, 0);  // what a run cut off while writing left
	const int fd = openat(j.dir, temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
	if (fd < 0)
		return errno;
	int error = 0;
	if (write(fd, text, static_cast<size_t>(length)) != length)
		error = errno ? errno : EIO;
	if (error == 0 && fsync(fd) != 0)
		error = errno;
	if (close(fd) != 0 && error == 0)
		error = errno;
	if (error == 0 && linkat(j.dir, temporary, j.dir, j.name, 0) != 0)
		error = errno;
	unlinkat(j.dir, temporary, 0);
	if (error == 0 && fsync(j.dir) != 0)
		error = errno;
	return error;
}

void say_journal_refused(const journal_file &j, int error)
{
	tell("cannot write the journal %s (%s): nothing written (--journal FILE names "
	     "another)", j.path[0] ? j.path : "(none)", std::strerror(error));
}

void remove_journal(const journal_file &j)
{
	unlinkat(j.dir, j.name, 0);
	fsync(j.dir);
}

// The command that puts the bytes back by hand, with i2c-tools.
void restore_command(unsigned long bus, const uint8_t *bytes, char *out, size_t size)
{
	char listed[kept * 5];
	hex_bytes(bytes, listed, sizeof(listed), "0x");
	std::snprintf(out, size, "i2ctransfer -y %lu w%d@0x%02x 0x%02x %s", bus, kept + 1,
		      eeprom_addr, word_addr, listed);
}

bool read_kept(int fd, uint8_t *bytes)
{
	return eeprom_read(fd, eeprom_addr, word_addr, bytes, kept) == 0;
}

// The bytes written back and read again, into again ("nothing" where the
// read failed); true when they match.
bool put_back(int fd, const uint8_t *bytes, char *again, size_t size)
{
	uint8_t read_back[kept] = {};
	std::snprintf(again, size, "nothing");
	const bool written = eeprom_write(fd, eeprom_addr, word_addr, bytes, kept) == 0;
	if (!read_kept(fd, read_back))
		return false;
	hex_bytes(read_back, again, size);
	return written && std::memcmp(read_back, bytes, kept) == 0;
}

void say_not_restored(const journal_file &j, const journal_entry &e, const char *again)
{
	char bytes[kept * 3], command[128];
	hex_bytes(e.bytes, bytes, sizeof(bytes));
	restore_command(e.bus, e.bytes, command, sizeof(command));
	tell("the restore failed: the 8 bytes at 0x10 were %s, and read back %s; put them "
	     "back with: %s (the journal %s keeps them)", bytes, again, command, j.path);
}

// The journal's bytes written back and checked, the journal removed once
// they match; what was done said in one line. The exit status.
int restore(int fd, const journal_file &j, const journal_entry &e, const char *done)
{
	char again[kept * 3];
	if (!put_back(fd, e.bytes, again, sizeof(again))) {
		say_not_restored(j, e, again);
		return exit_not_restored;
	}
	remove_journal(j);
	tell("%s: read back, they match: %s", done, again);
	return exit_ran;
}

// A journal that an earlier run left: its bytes put back, asking first
// (as before any write). The exit status where the run stops here, else -1.
int restore_left(int fd, const request &r, const journal_file &j,
		 const journal_entry &left, const char *adapter)
{
	char bytes[kept * 3];
	hex_bytes(left.bytes, bytes, sizeof(bytes));
	if (std::strcmp(left.adapter, adapter) != 0) {
		char command[128];
		restore_command(left.bus, left.bytes, command, sizeof(command));
		tell("the journal %s is for adapter '%s', and bus %lu's is now '%s': nothing "
		     "written; on the bus that adapter is now, put the bytes back with %s, "
		     "then remove the journal", j.path, left.adapter, left.bus, adapter, command);
		return exit_bad_input;
	}
	tell("the journal %s holds the 8 bytes at 0x10 that an earlier run did not put "
	     "back: %s", j.path, bytes);
	if (!r.yes && !confirmed(stdin, "Put them back first? [y/N] ")) {
		say("nothing written; the journal stays: ", j.path);
		return exit_bad_input;
	}
	return restore(fd, j, left, "put back the 8 bytes from the journal") == exit_ran
		       ? -1 : exit_not_restored;
}

// After the test: the bytes as found, put back unless the test left them
// so. The exit status.
int restore_kept(int fd, const journal_file &j, const journal_entry &e)
{
	char bytes[kept * 3];
	hex_bytes(e.bytes, bytes, sizeof(bytes));
	uint8_t now[kept] = {};
	if (read_kept(fd, now) && std::memcmp(now, e.bytes, kept) == 0) {
		remove_journal(j);
		constexpr uint8_t pattern[kept] = {0, 1, 2, 3, 4, 5, 6, 7};
		tell("the restore changed nothing: the 8 bytes at 0x10 were still as found "
		     "(%s), since nothing had changed them (%s)", bytes,
		     std::memcmp(now, pattern, kept) == 0 ? "they held the test's pattern already"
							  : "a write-protected chip, or a write that failed");
		return exit_ran;
	}
	return restore(fd, j, e, "kept the 8 bytes at 0x10 and put them back");
}

// The signals that would end a run between its write and its restore.
sigset_t stopping_signals()
{
	constexpr int stopping[] = {SIGINT, SIGTERM, SIGHUP, SIGCHLD};
	sigset_t set;
	sigemptyset(&set);
	for (const int sig : stopping)
		sigaddset(&set, sig);
	return set;
}

int private_dev(const struct stat &bus);
int run_msgs_iic(int out, const sigset_t &unblocked, int &signal_number);

// The bus's bytes kept, msgs_iic run, the bytes put back, with the
// stopping signals held off. The exit status.
int kept_run(int fd, const struct stat &bus, const request &r, const journal_file &j,
	     const char *adapter, int out, const sigset_t &unblocked, int &signal_number)
{
	journal_entry e;
	e.bus = minor(bus.st_rdev);
	std::snprintf(e.adapter, sizeof(e.adapter), "%s", adapter);
	if (r.keep) {
		if (!read_kept(fd, e.bytes)) {
			tell("nothing answered the read of the 8 bytes at 0x10, so they could not "
			     "be kept: nothing written (msgs_iic_on --no-keep %lu runs the test "
			     "without keeping them)", e.bus);
			return exit_failed;
		}
		const int error = write_journal(j, e);
		if (error != 0) {
			say_journal_refused(j, error);
			return exit_failed;
		}
	}
	// Bus 0 is the node msgs_iic opens anyway: no /dev of its own, so a
	// user who may open it needs no root.
	const int error = minor(bus.st_rdev) == 0 ? 0 : private_dev(bus);
	if (error != 0) {
		if (r.keep)
			remove_journal(j);
		say("cannot give msgs_iic a /dev of its own (it needs CAP_SYS_ADMIN: run "
		    "it as root): ", std::strerror(error));
		return exit_failed;
	}
	const int ran = run_msgs_iic(out, unblocked, signal_number);
	if (ran > 128 && ran != exec_failed)
		say("msgs_iic did not finish: ", strsignal(ran - 128));
	const int status = r.keep ? restore_kept(fd, j, e) : exit_ran;
	return status == exit_ran && ran != 0 ? exit_failed : status;
}

// From the first read on, a signal waits until the bytes are back;
// signal_number is the one that stopped the run, or 0.
int keep_and_run(int fd, const struct stat &bus, const request &r, const journal_file &j,
		 const char *adapter, int out, int &signal_number)
{
	signal_number = 0;
	const sigset_t blocked = stopping_signals();
	sigset_t unblocked;
	sigprocmask(SIG_BLOCK, &blocked, &unblocked);
	const int status = kept_run(fd, bus, r, j, adapter, out, unblocked, signal_number);
	sigprocmask(SIG_SETMASK, &unblocked, nullptr);
	return status;
}

} // namespace

#ifndef MSGS_IIC_ON_NO_MAIN
namespace {

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

// msgs_iic installed beside this program, else from PATH.
void exec_msgs_iic()
{
	char self[PATH_MAX] = {};
	char *slash = nullptr;
	if (readlink("/proc/self/exe", self, sizeof(self) - 1) > 0)
		slash = std::strrchr(self, '/');  // the path is absolute
	if (slash != nullptr) {
		const size_t room = sizeof(self) - static_cast<size_t>(slash + 1 - self);
		if (std::snprintf(slash + 1, room, "msgs_iic") < static_cast<int>(room)) {
			char *const argv[] = {self, nullptr};
			execv(self, argv);
		}
	}
	char name[] = "msgs_iic";
	char *const argv[] = {name, nullptr};
	execvp(name, argv);
}

void on_child(int) {}

// msgs_iic in a child, on the original standard output, waited for. A
// stopping signal is passed on to it, and remembered; msgs_iic may die of
// it, this process goes on to the restore. The child's exit status.
int run_msgs_iic(int out, const sigset_t &unblocked, int &signal_number)
{
	std::fflush(nullptr);
	const pid_t child = fork();
	if (child == 0) {
		sigprocmask(SIG_SETMASK, &unblocked, nullptr);
		std::signal(SIGPIPE, SIG_DFL);
		if (out >= 0)
			dup2(out, STDOUT_FILENO);
		exec_msgs_iic();
		say("cannot run msgs_iic: ", std::strerror(errno));
		_exit(exec_failed);
	}
	if (child < 0) {
		say("cannot run msgs_iic: ", std::strerror(errno));
		return exec_failed;
	}
	const sigset_t waited = stopping_signals();
	int status = 0;
	for (;;) {
		const int sig = sigwaitinfo(&waited, nullptr);
		if (sig == SIGCHLD || sig < 0) {
			if (waitpid(child, &status, WNOHANG) == child)
				break;
			continue;
		}
		if (signal_number == 0)
			signal_number = sig;
		kill(child, sig);
	}
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

int main(int argc, char **argv)
{
	request r;
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

	// Its own lines go to stderr, the routines' failure lines too, and a
	// line written to a closed session fails instead of ending the run;
	// msgs_iic gets the original stdout and the signal back.
	std::signal(SIGPIPE, SIG_IGN);
	std::signal(SIGCHLD, on_child);
	std::fflush(stdout);
	const int out = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
	dup2(STDERR_FILENO, STDOUT_FILENO);
	std::setvbuf(stdout, nullptr, _IOLBF, 0);

	char path[32];
	std::snprintf(path, sizeof(path), "%s%ld", node_prefix, parse_bus(r.bus));
	struct stat bus;
	if (stat(path, &bus) != 0) {
		say("no such bus node: ", path);
		return exit_bad_input;
	}
	if (!is_i2c_dev(bus)) {
		say("not an i2c-dev character device: ", path);
		return exit_bad_input;
	}

	char name[128];
	adapter_name(minor(bus.st_rdev), name, sizeof(name));
	tell("bus %u (%s), adapter '%s'", minor(bus.st_rdev), path, name);
	say("WARNING: msgs_iic writes 8 bytes at 0x10 of whatever answers at 0x50 "
	    "on this bus; on a PC that is often a memory module's SPD EEPROM or a "
	    "monitor's EDID");
	if (adapter_refused(name) && !r.force) {
		say("refused: the adapter's name says it is a PC's SMBus or a display's "
		    "channel, where SPD and EDID EEPROMs live at 0x50 (--force writes anyway)");
		return exit_bad_input;
	}

	journal_file j;
	journal_entry left;
	int error = 0;
	const bool journal = open_journal(r.journal, minor(bus.st_rdev), j, error);
	const int found = journal ? read_journal(j, left) : 0;
	if (found < 0) {
		say("not a journal that msgs_iic_on wrote, or unreadable: nothing written; "
		    "look at it, put its bytes back by hand if need be, and remove it: ", j.path);
		return exit_bad_input;
	}
	if (r.keep && !journal) {
		say_journal_refused(j, error);
		return exit_failed;
	}
	if (r.check) {
		if (found > 0) {
			char bytes[kept * 3];
			hex_bytes(left.bytes, bytes, sizeof(bytes));
			tell("the journal %s holds the 8 bytes at 0x10 that an earlier run did "
			     "not put back (%s): the next run puts them back first", j.path, bytes);
		}
		return exit_ran;
	}
	const int fd = open(path, O_RDWR | O_CLOEXEC);
	if (fd < 0) {
		say("cannot open the bus: nothing written: ", std::strerror(errno));
		return exit_failed;
	}
	if (found > 0) {
		const int stopped = restore_left(fd, r, j, left, name);
		if (stopped >= 0)
			return stopped;
	}
	if (!r.yes && !confirmed(stdin)) {
		say("nothing written");
		return exit_bad_input;
	}

	int signal_number = 0;
	const int status = keep_and_run(fd, bus, r, j, name, out, signal_number);
	if (signal_number != 0 && status != exit_not_restored) {
		// Ended as the signal would have ended it, now that the chip is safe.
		std::signal(signal_number, SIG_DFL);
		raise(signal_number);
	}
	return status;
}
#endif
