// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The msgs_iic authors

// msgs_iic_on: runs msgs_iic on the I2C bus given instead of bus 0. In a
// mount namespace of its own, /dev is a tmpfs that holds one node,
// /dev/i2c-0, with the chosen bus's device numbers; msgs_iic, unchanged,
// opens that. The rest of the system's /dev is never touched.
//
// WARNING: msgs_iic writes eight bytes at 0x10 of whatever answers at 0x50.
// On a PC, that is often a memory module's SPD EEPROM or a monitor's EDID:
// adapters whose names say so are refused unless --force is given.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <limits.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr unsigned int i2c_dev_major = 89;     // i2c-dev's character major
constexpr unsigned long max_bus = (1UL << 20) - 1;  // the largest minor
constexpr int exit_bad_input = 2;
constexpr int exit_failed = 1;
constexpr char usage[] = "usage: msgs_iic_on [-y] [--force] BUS (N or /dev/i2c-N)";
constexpr char node_prefix[] = "/dev/i2c-";

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
	const char *bus = nullptr;
};

void say(const char *what, const char *detail = "")
{
	std::fprintf(stderr, "msgs_iic_on: %s%s\n", what, detail);
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
	char line[PATH_MAX + 64];
	for (int i = 1; i < argc; i++) {
		const char *arg = argv[i];
		if (std::strcmp(arg, "-y") == 0) {
			r.yes = true;
		} else if (std::strcmp(arg, "--force") == 0) {
			r.force = true;
		} else if (arg[0] == '-' && arg[1] != '\0') {
			std::snprintf(line, sizeof(line), "unknown option '%s'; %s", arg, usage);
			say(line);
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
		std::snprintf(line, sizeof(line),
			      "'%s' is not a bus number N or /dev/i2c-N", r.bus);
		say(line);
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
bool confirmed(FILE *in)
{
	std::fputs("Continue? [y/N] ", stderr);
	std::fflush(stderr);
	char answer[16] = {};
	if (std::fgets(answer, sizeof(answer), in) == nullptr) {
		std::fputc('\n', stderr);  // ends the question's line
		return false;
	}
	answer[std::strcspn(answer, "\r\n")] = '\0';
	return strcasecmp(answer, "y") == 0 || strcasecmp(answer, "yes") == 0;
}

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
void run_msgs_iic()
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

} // namespace

#ifndef MSGS_IIC_ON_NO_MAIN
int main(int argc, char **argv)
{
	request r;
	if (!parse_args(argc, argv, r))
		return exit_bad_input;

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
	std::fprintf(stderr, "msgs_iic_on: bus %u (%s), adapter '%s'\n",
		     minor(bus.st_rdev), path, name);
	say("WARNING: msgs_iic writes 8 bytes at 0x10 of whatever answers at 0x50 "
	    "on this bus; on a PC that is often a memory module's SPD EEPROM or a "
	    "monitor's EDID");
	if (adapter_refused(name) && !r.force) {
		say("refused: the adapter's name says it is a PC's SMBus or a display's "
		    "channel, where SPD and EDID EEPROMs live at 0x50 (--force writes anyway)");
		return exit_bad_input;
	}
	if (!r.yes && !confirmed(stdin)) {
		say("nothing written");
		return exit_bad_input;
	}

	const int error = private_dev(bus);
	if (error != 0) {
		say("cannot give msgs_iic a /dev of its own (it needs CAP_SYS_ADMIN: run "
		    "it as root): ", std::strerror(error));
		return exit_failed;
	}
	run_msgs_iic();
	say("cannot run msgs_iic: ", std::strerror(errno));
	return exit_failed;
}
#endif
