// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The msgs_iic authors

// msgs_iic_on's command line, its lines on standard error, and its question.
#include "msgs_iic_on.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <strings.h>

const char usage[] = "usage: msgs_iic_on [-y] [--force] [--no-keep] [--journal FILE] "
		     "[--program FILE] [--chip PART] [--check] BUS (N or /dev/i2c-N)";
const char help[] =
	"Runs msgs_iic on the I2C bus BUS instead of bus 0, and leaves the EEPROM\n"
	"at 0x50 as it found it: the 8 bytes at 0x10 that msgs_iic overwrites are\n"
	"read first, kept in a journal, and written back after the test. One run\n"
	"a bus at a time; only a chip that takes a one-byte word address (24C01\n"
	"to 24C16) is written.\n"
	"  -y              do not ask before writing\n"
	"  --force         run even on a PC's SMBus or a display's channel, on an\n"
	"                  address a kernel driver holds, or on a chip of another\n"
	"                  kind or of a kind that reads cannot tell\n"
	"  --no-keep       do not keep the 8 bytes: the test's pattern stays\n"
	"  --journal FILE  keep them in FILE (default /var/lib/msgs_iic/i2c-BUS,\n"
	"                  or under /run or /tmp for a user who may not write there)\n"
	"  --program FILE  the msgs_iic to run (default: the one beside msgs_iic_on,\n"
	"                  else the first on PATH)\n"
	"  --chip PART     the part at 0x50 (24c02, 24c32...), where reads cannot\n"
	"                  tell it\n"
	"  --check         the checks alone (the bus, its adapter, its lock, a\n"
	"                  journal left by an earlier run): nothing read or written\n"
	"  --help, --version\n"
	"Standard output is msgs_iic's alone. Exit status: 0 the good run, and the\n"
	"chip is as found (with --check: a run would go on); 1 the test failed,\n"
	"and the chip is as found; 2 bad input, a refusal or no y: nothing\n"
	"written; 3 the bytes could not be put back (the line says how to do it\n"
	"by hand).\n";

namespace {

constexpr char node_prefix[] = "/dev/i2c-";

// The value of an option that takes one, or null after saying so.
const char *value_of(int argc, char **argv, int &i, const char *what)
{
	if (i + 1 == argc || argv[i + 1][0] == '\0') {
		tell("%s needs %s; %s", argv[i], what, usage);
		return nullptr;
	}
	return argv[++i];
}

} // namespace

void say(const char *what, const char *detail)
{
	std::fprintf(stderr, "msgs_iic_on: %s%s\n", what, detail);
}

void tell(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	std::fputs("msgs_iic_on: ", stderr);
	std::vfprintf(stderr, format, ap);
	std::fputc('\n', stderr);
	va_end(ap);
}

// "a0 a1 ..." or, with prefix "0x", "0xa0 0xa1 ...".
void hex_bytes(const uint8_t *bytes, char *out, size_t size, const char *prefix)
{
	size_t n = 0;
	out[0] = '\0';
	for (int i = 0; i < kept && n < size; i++)
		n += std::snprintf(out + n, size - n, "%s%s%02x", i ? " " : "", prefix, bytes[i]);
}

// i2cset's question: only y or yes goes on; no answer is no.
bool confirmed(FILE *in, const char *question)
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
			if ((r.journal = value_of(argc, argv, i, "a FILE")) == nullptr)
				return false;
		} else if (std::strcmp(arg, "--program") == 0) {
			if ((r.program = value_of(argc, argv, i, "a FILE")) == nullptr)
				return false;
		} else if (std::strcmp(arg, "--chip") == 0) {
			if ((r.chip = value_of(argc, argv, i, "a PART")) == nullptr)
				return false;
		} else if (arg[0] == '-' && arg[1] != '\0') {
			tell("unknown option '%s'; %s", arg, usage);
			return false;
		} else if (r.bus != nullptr) {
			tell("one BUS only, and '%s' is another; %s", arg, usage);
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
	if (r.chip != nullptr && kind_of_part(r.chip) == part_kind::other) {
		tell("--chip '%s' is not a part this test knows: 24c01 to 24c16 (a one-byte "
		     "word address) or 24c32 to 24c2048 (two bytes)", r.chip);
		return false;
	}
	return true;
}
