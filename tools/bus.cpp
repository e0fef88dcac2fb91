// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The msgs_iic authors

// What msgs_iic_on asks of a bus before it writes: its node, its adapter's
// name and identity, its lock, whether a kernel driver holds 0x50, and what
// kind of chip answers there.
#include "msgs_iic_on.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

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

// at24's names for its parts, by how many bytes their word address takes.
constexpr const char *one_byte_parts[] = {
	"24c01", "24c02", "24c04", "24c08", "24c16", "24mac402", "24mac602",
};
constexpr const char *two_byte_parts[] = {
	"24c32", "24c64", "24c128", "24c256", "24c512", "24c1024", "24c2048",
	"24c32d-wl", "24c64d-wl",
};

// The first line of a sysfs file, or "" where there is none.
void first_line(const char *path, char *out, size_t size)
{
	out[0] = '\0';
	FILE *f = std::fopen(path, "re");
	if (f == nullptr)
		return;
	if (std::fgets(out, static_cast<int>(size), f) != nullptr)
		out[std::strcspn(out, "\n")] = '\0';
	std::fclose(f);
}

bool named_in(const char *name, const char *const *names, size_t count)
{
	for (size_t i = 0; i < count; i++)
		if (strcasecmp(name, names[i]) == 0)
			return true;
	return false;
}

bool uniform(const uint8_t *bytes, int count)
{
	for (int i = 1; i < count; i++)
		if (bytes[i] != bytes[0])
			return false;
	return true;
}

// What the test's write does on a part with a two-byte word address.
constexpr char misaddressed[] = "the test's write would put 7 bytes at 0x1000 (0x0000 on a "
				"4 KiB 24C32, where an ID EEPROM keeps its header), not 8 at "
				"0x10, and msgs_iic_on could not put them back";

} // namespace

bool is_i2c_dev(const struct stat &st)
{
	return S_ISCHR(st.st_mode) && major(st.st_rdev) == i2c_dev_major;
}

// The adapter's name from sysfs, or "(unknown)".
void adapter_name(unsigned long bus, char *name, size_t size)
{
	char path[64];
	std::snprintf(path, sizeof(path), "/sys/class/i2c-dev/i2c-%lu/name", bus);
	first_line(path, name, size);
	if (name[0] == '\0')
		std::snprintf(name, size, "(unknown)");
}

// The adapter's device in sysfs, which stays when names repeat (every
// DesignWare controller has the same one), or "(unknown)".
void adapter_device(unsigned long bus, char *device, size_t size)
{
	char path[64], real[PATH_MAX];
	std::snprintf(path, sizeof(path), "/sys/class/i2c-dev/i2c-%lu/device", bus);
	if (realpath(path, real) == nullptr ||
	    std::snprintf(device, size, "%s", real) >= static_cast<int>(size))
		std::snprintf(device, size, "(unknown)");
}

// The kernel's name for its client at 0x50 ("24c32", "spd"), from a driver
// or the device tree; "" where the kernel knows of none.
void client_name(unsigned long bus, char *name, size_t size)
{
	char path[64];
	std::snprintf(path, sizeof(path), "/sys/bus/i2c/devices/%lu-%04x/name", bus, eeprom_addr);
	first_line(path, name, size);
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

// I2C_RDWR passes by a driver that holds an address; I2C_SLAVE does not.
bool driver_holds(int fd)
{
	return ioctl(fd, I2C_SLAVE, static_cast<unsigned long>(eeprom_addr)) < 0 &&
	       errno == EBUSY;
}

// The bus's lock, held until this process ends: a record lock on its node,
// the same inode for every user and every journal, which tells the
// holder's pid; and a lock on the adapter's own file in sysfs, the same
// through any other node of the bus (a container's, a chroot's). 0, or the
// errno, with the holder's pid where the kernel tells it (else 0).
int lock_bus(int fd, unsigned long bus, pid_t &holder)
{
	struct flock lock = {};
	lock.l_type = F_WRLCK;
	lock.l_whence = SEEK_SET;
	holder = 0;
	if (fcntl(fd, F_SETLK, &lock) != 0) {
		const int error = errno;
		struct flock held = {};
		held.l_type = F_WRLCK;
		held.l_whence = SEEK_SET;
		if (fcntl(fd, F_GETLK, &held) == 0 && held.l_type != F_UNLCK)
			holder = held.l_pid;
		return error;
	}
	char path[64];
	std::snprintf(path, sizeof(path), "/sys/class/i2c-dev/i2c-%lu/dev", bus);
	const int adapter = open(path, O_RDONLY | O_CLOEXEC);  // kept open: the lock
	if (adapter >= 0 && flock(adapter, LOCK_EX | LOCK_NB) != 0)
		return errno;
	return 0;
}

// A name as at24 and the device tree give it ("atmel,24c32" too).
part_kind kind_of_part(const char *name)
{
	const char *comma = std::strchr(name, ',');
	const char *part = comma ? comma + 1 : name;
	if (named_in(part, one_byte_parts, sizeof(one_byte_parts) / sizeof(*one_byte_parts)))
		return part_kind::one_byte;
	if (named_in(part, two_byte_parts, sizeof(two_byte_parts) / sizeof(*two_byte_parts)))
		return part_kind::two_byte;
	return part_kind::other;
}

// The test is sound only on a part that takes a one-byte word address.
// What the user named, else what the kernel knows, else what reads tell:
// wide holds the bytes at 0x08 to 0x17, then those at 0x10 again, in two
// reads which agree on such a part. Where the bytes at 0x10 are all one
// value, a part of two address bytes agrees too (its reads run on from
// where its pointer was), so they cannot tell. True after saying why the
// chip is refused.
bool chip_refused(const session &s, const uint8_t *wide, int read_error)
{
	if (s.r.force)
		return false;
	const unsigned long bus = s.bus.number;
	const char *named = s.r.chip ? s.r.chip : s.bus.chip;
	if (named[0] != '\0') {
		const part_kind kind = kind_of_part(named);
		const char *who = s.r.chip ? "you named" : "the kernel knows";
		if (kind == part_kind::one_byte)
			return false;
		if (kind == part_kind::two_byte)
			tell("refused: %s the chip at 0x50 on bus %lu as a %s, which takes a "
			     "two-byte word address: %s; nothing written (--force writes anyway)",
			     who, bus, named, misaddressed);
		else
			tell("refused: %s the chip at 0x50 on bus %lu as '%s', not a 24C01 to "
			     "24C16 EEPROM: the test would overwrite 8 bytes of it at 0x10; "
			     "nothing written (--force writes anyway)", who, bus, named);
		return true;
	}
	if (read_error != 0)
		return false;  // nothing answers: nothing there to misaddress
	if (uniform(wide + wide_read, kept)) {
		tell("refused: the chip at 0x50 on bus %lu reads 0x%02x at all of 0x10 to 0x17, "
		     "so reads cannot tell whether it takes a one-byte word address (24C01 to "
		     "24C16, what the test is for) or two (24C32 and larger, where %s); nothing "
		     "written (--chip 24c02 names the part, --force writes anyway)", bus,
		     wide[wide_read],
		     misaddressed);
		return true;
	}
	if (std::memcmp(wide + kept, wide + wide_read, kept) != 0) {
		tell("refused: two reads of the chip at 0x50 on bus %lu disagree on the bytes at "
		     "0x10 to 0x17, as on a part with a two-byte word address (24C32 and "
		     "larger), where %s; nothing written (--chip names the part, --force writes "
		     "anyway)", bus, misaddressed);
		return true;
	}
	return false;
}
