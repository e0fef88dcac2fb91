// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The msgs_iic authors

// LD_PRELOAD stand-in for the kernel's /dev/i2c-0, so the real msgs_iic
// binary runs against a simulated EEPROM at 0x50 and never touches a bus.
// Every open, request, pause and close is logged, a line each, to the file
// named by FAKE_I2C_LOG; pauses are logged, not slept.
//
// FAKE_EEPROM: "present" (the default), "absent" (nothing acks 0x50),
//   "protected" (WP pin high: writes are acked and dropped) or "held" (a
//   kernel driver holds 0x50: I2C_SLAVE says EBUSY).
// FAKE_EEPROM_FILL: the value, 0 to 255, of every cell at start (default 255).
// FAKE_EEPROM_FILE: a file of the chip's 256 bytes instead, shared by every
//   process that opens the bus, and locked as the bus's node is; stat() of
//   /dev/i2c-0 then shows bus 0's node.
// FAKE_I2C_SLEEP: set, pauses are slept too, so a run can be signalled.
#include "sim_eeprom.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr char bus_path[] = "/dev/i2c-0";

sim_eeprom rom;
int bus_fd = -1;

template <typename F> F real(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using open_fn = int (*)(const char *, int, ...);

void log_line(const char *text)
{
	const char *path = std::getenv("FAKE_I2C_LOG");
	if (!path)
		return;
	const int fd = real<open_fn>("open")(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
	if (fd < 0)
		return;
	(void)!write(fd, text, std::strlen(text));
	(void)!write(fd, "\n", 1);
	real<int (*)(int)>("close")(fd);
}

bool mode_is(const char *name)
{
	const char *mode = std::getenv("FAKE_EEPROM");
	return mode && std::strcmp(mode, name) == 0;
}

int open_bus(int flags)
{
	const char *fill = std::getenv("FAKE_EEPROM_FILL");
	const char *file = std::getenv("FAKE_EEPROM_FILE");
	rom = sim_eeprom{};
	rom.present = !mode_is("absent");
	rom.write_protect = mode_is("protected");
	std::memset(rom.mem, fill ? std::atoi(fill) : 0xff, sizeof(rom.mem));

	char text[64];
	std::snprintf(text, sizeof(text), "open %s flags=0x%x", bus_path, flags);
	log_line(text);
	bus_fd = real<open_fn>("open")(file ? file : "/dev/null", O_RDWR | (flags & O_CLOEXEC));
	if (file && bus_fd >= 0 && pread(bus_fd, rom.mem, sizeof(rom.mem), 0) < 0)
		return -1;
	return bus_fd;
}

// The chip's cells back in the shared file, after a request that wrote.
void store_rom(const i2c_rdwr_ioctl_data &request)
{
	const char *file = std::getenv("FAKE_EEPROM_FILE");
	for (unsigned int i = 0; file && i < request.nmsgs; i++)
		if (!(request.msgs[i].flags & I2C_M_RD) && request.msgs[i].len > 1) {
			(void)!pwrite(bus_fd, rom.mem, sizeof(rom.mem), 0);
			return;
		}
}

// Another process's write, seen before this request.
void load_rom()
{
	if (std::getenv("FAKE_EEPROM_FILE"))
		(void)!pread(bus_fd, rom.mem, sizeof(rom.mem), 0);
}


// "{addr flags len: bytes}" for each message, then the result.
void log_request(const i2c_rdwr_ioctl_data &request, int result)
{
	char text[512];
	size_t n = std::snprintf(text, sizeof(text), "rdwr");
	for (unsigned int i = 0; i < request.nmsgs && n < sizeof(text); i++) {
		const i2c_msg &m = request.msgs[i];
		n += std::snprintf(text + n, sizeof(text) - n, " {0x%02x 0x%x %u:",
				   m.addr, m.flags, m.len);
		const bool has_bytes = !(m.flags & I2C_M_RD) || result >= 0;
		for (unsigned int b = 0; has_bytes && b < m.len && n < sizeof(text); b++)
			n += std::snprintf(text + n, sizeof(text) - n, " %02x", m.buf[b]);
		if (n < sizeof(text))
			n += std::snprintf(text + n, sizeof(text) - n, "}");
	}
	if (n < sizeof(text))
		std::snprintf(text + n, sizeof(text) - n, " -> %s",
			      result >= 0 ? "ok" : strerrorname_np(errno));
	log_line(text);
}

} // namespace

extern "C" int open(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
	va_end(ap);
	if (std::strcmp(path, bus_path) == 0)
		return open_bus(flags);
	return real<open_fn>("open")(path, flags, mode);
}

extern "C" int open64(const char *path, int flags, ...)
	__attribute__((alias("open")));

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
	va_list ap;
	va_start(ap, request);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	if (fd != bus_fd || bus_fd < 0)
		return real<int (*)(int, unsigned long, void *)>("ioctl")(fd, request, arg);
	if (request == I2C_SLAVE) {
		errno = EBUSY;
		return mode_is("held") ? -1 : 0;
	}
	if (request != I2C_RDWR) {
		errno = ENOTTY;
		return -1;
	}
	const auto &rdwr = *static_cast<i2c_rdwr_ioctl_data *>(arg);
	load_rom();
	const int result = sim_rdwr(rom, rdwr);
	const int err = errno;
	if (result >= 0)
		store_rom(rdwr);
	log_request(rdwr, result);
	errno = err;
	return result;
}

extern "C" unsigned int sleep(unsigned int seconds)
{
	char text[32];
	std::snprintf(text, sizeof(text), "sleep %u", seconds);
	log_line(text);
	if (std::getenv("FAKE_I2C_SLEEP"))
		return real<unsigned int (*)(unsigned int)>("sleep")(seconds);
	return 0;
}

// Bus 0's node, where the chip is a shared file: a character device of
// i2c-dev's, this user's.
static int bus_node(struct stat *st)
{
	*st = {};
	st->st_mode = S_IFCHR | 0600;
	st->st_rdev = makedev(89, 0);
	st->st_uid = getuid();
	st->st_gid = getgid();
	return 0;
}

extern "C" int stat(const char *path, struct stat *st)
{
	if (std::getenv("FAKE_EEPROM_FILE") && std::strcmp(path, bus_path) == 0)
		return bus_node(st);
	return real<int (*)(const char *, struct stat *)>("stat")(path, st);
}

extern "C" int stat64(const char *path, struct stat64 *st)
	__attribute__((alias("stat")));

extern "C" int fstat(int fd, struct stat *st)
{
	if (std::getenv("FAKE_EEPROM_FILE") && fd >= 0 && fd == bus_fd)
		return bus_node(st);
	return real<int (*)(int, struct stat *)>("fstat")(fd, st);
}

extern "C" int fstat64(int fd, struct stat64 *st) __attribute__((alias("fstat")));

extern "C" int close(int fd)
{
	if (fd >= 0 && fd == bus_fd) {
		log_line("close");
		bus_fd = -1;
	}
	return real<int (*)(int)>("close")(fd);
}
