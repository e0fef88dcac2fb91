// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The msgs_iic authors

// msgs_iic_on's parts, as i2c-tools keeps its bus helpers apart from its
// tools: the bus (bus.cpp: its node, adapter, lock and chip), the journal
// (journal.cpp), the keep (keep.cpp: its own transfers, the save, the
// restore), the command line (command_line.cpp); msgs_iic_on.cpp runs
// msgs_iic in a /dev of its own and ties them together.
//
// WARNING: msgs_iic writes eight bytes at 0x10 of whatever answers at 0x50.
// On a PC, that is often a memory module's SPD EEPROM or a monitor's EDID.
#ifndef MSGS_IIC_ON_H
#define MSGS_IIC_ON_H

#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <sys/stat.h>
#include <sys/types.h>

constexpr unsigned int i2c_dev_major = 89;          // i2c-dev's character major
constexpr unsigned long max_bus = (1UL << 20) - 1;  // the largest minor
constexpr uint8_t eeprom_addr = 0x50;   // what msgs_iic writes to
constexpr uint8_t word_addr = 0x10;
constexpr int kept = 8;                 // the bytes msgs_iic overwrites
constexpr uint8_t test_pattern[kept] = {0, 1, 2, 3, 4, 5, 6, 7};

// Exit statuses: the verdict.
constexpr int exit_ran = 0;          // the good run; the chip is as found
constexpr int exit_failed = 1;       // the test failed; the chip is as found
constexpr int exit_bad_input = 2;    // bad input, a refusal: nothing written
constexpr int exit_not_restored = 3; // the chip is not as found: see the line

extern const char usage[];
extern const char help[];

struct request {
	bool yes = false;
	bool force = false;
	bool keep = true;
	bool help = false;
	bool version = false;
	bool check = false;             // the checks alone: nothing written
	const char *bus = nullptr;
	const char *journal = nullptr;  // --journal, or the default
	const char *program = nullptr;  // --program, or msgs_iic beside or on PATH
	const char *chip = nullptr;     // --chip: the part, as the user names it
};

// What the system says of the bus and of what sits at 0x50 on it.
struct bus_info {
	unsigned long number = 0;
	struct stat node = {};            // its /dev/i2c-N
	char adapter[128] = "(unknown)";  // its name
	char device[256] = "(unknown)";   // its sysfs device path: its identity
	char chip[32] = "";               // the kernel's name for 0x50's client
	bool held = false;                // a kernel driver holds 0x50
	bool is_dev_i2c_0 = false;        // /dev/i2c-0 is this bus's node
};

// The eight bytes kept, with what names where they came from.
struct journal_entry {
	unsigned long bus = 0;
	char adapter[128] = {};
	char device[256] = {};
	uint8_t bytes[kept] = {};
};

// A journal file: its folder, open before /dev is replaced, and its name.
struct journal_file {
	int dir = -1;
	char name[NAME_MAX + 1] = {};
	char path[PATH_MAX] = {};
};

// Everything one run holds: what was asked, the bus, its descriptor (which
// also holds the bus's lock), the journal, the program and msgs_iic's
// standard output.
struct session {
	request r;
	bus_info bus;
	journal_file j;
	int fd = -1;
	int program = -1;
	char program_path[PATH_MAX] = {};
	int out = -1;
};

// How msgs_iic ended.
struct test_result {
	int status = 0;            // its exit status, or 128 + the signal
	bool good_lines = false;   // its standard output was the good run's
	int signal = 0;            // the stopping signal that came meanwhile
};

// A part, as the kernel or the user names it.
enum class part_kind { one_byte, two_byte, other };

void say(const char *what, const char *detail = "");
__attribute__((format(printf, 1, 2))) void tell(const char *format, ...);
void hex_bytes(const uint8_t *bytes, char *out, size_t size, const char *prefix = "");
bool confirmed(FILE *in, const char *question = "Continue? [y/N] ");

// command_line.cpp
long parse_bus(const char *arg);
bool parse_args(int argc, char **argv, request &r);

// bus.cpp
bool is_i2c_dev(const struct stat &st);
void adapter_name(unsigned long bus, char *name, size_t size);
void adapter_device(unsigned long bus, char *device, size_t size);
void client_name(unsigned long bus, char *name, size_t size);
bool adapter_refused(const char *name);
bool driver_holds(int fd);
int lock_bus(int fd, unsigned long bus, pid_t &holder);
part_kind kind_of_part(const char *name);
bool chip_refused(const session &s, const uint8_t *wide, int read_error);

// journal.cpp
int own_folder(const char *folder, int &dir);
bool open_journal(const char *given, unsigned long bus, journal_file &j, int &error,
		  bool create = true);
int format_journal(const journal_entry &e, char *out, size_t size);
bool parse_journal(const char *text, journal_entry &e);
int read_journal(const journal_file &j, journal_entry &e, char *why, size_t size);
int write_journal(const journal_file &j, const journal_entry &e);
void remove_journal(const journal_file &j);

// keep.cpp
constexpr int wide_read = 16;     // the chip-kind read, at word_addr - 8
int chip_read(int fd, uint8_t word, uint8_t *data, int count);
int chip_write(int fd, uint8_t word, const uint8_t *data, int count);
int chip_read_after_write(int fd, uint8_t word, uint8_t *data, int count);
void restore_command(const session &s, unsigned long bus, const uint8_t *bytes, char *out,
		     size_t size);
bool journal_is_here(const session &s, const journal_entry &left);
int restore_left(const session &s, const journal_entry &left, const uint8_t *now);
sigset_t stopping_signals();
int keep_and_run(const session &s, int &signal_number);

// msgs_iic_on.cpp, stood in for by the tests.
int private_dev(const struct stat &bus);
test_result run_msgs_iic(const session &s);

#endif
