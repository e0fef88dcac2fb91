// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The msgs_iic authors

// LD_PRELOAD stand-in for the kernel's /dev/i2c-0, so the real msgs_iic
// binary runs against a simulated EEPROM at 0x50 and never touches a bus.
// Every open, request, pause and close is logged, a line each, to the file
// named by FAKE_I2C_LOG; pauses are logged, not slept.
//
// FAKE_EEPROM: "present" (the default), "absent" (nothing acks 0x50) or
//   "protected" (WP pin high: writes are acked and dropped).
// FAKE_EEPROM_FILL: the value, 0 to 255, of every cell at start (default 255).
#include "sim_eeprom.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
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

int open_bus(int flags)
{
	const char *mode = std::getenv("FAKE_EEPROM");
	const char *fill = std::getenv("FAKE_EEPROM_FILL");
	rom = sim_eeprom{};
	rom.present = !mode || std::strcmp(mode, "absent") != 0;
	rom.write_protect = mode && std::strcmp(mode, "protected") == 0;
	std::memset(rom.mem, fill ? std::atoi(fill) : 0xff, sizeof(rom.mem));

	char text[64];
	std::snprintf(text, sizeof(text), "open %s flags=0x%x", bus_path, flags);
	log_line(text);
	bus_fd = real<open_fn>("open")("/dev/null", O_RDWR);
	return bus_fd;
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
	if (request != I2C_RDWR) {
		errno = ENOTTY;
		return -1;
	}
	const auto &rdwr = *static_cast<i2c_rdwr_ioctl_data *>(arg);
	const int result = sim_rdwr(rom, rdwr);
	const int err = errno;
	log_request(rdwr, result);
	errno = err;
	return result;
}

extern "C" unsigned int sleep(unsigned int seconds)
{
	char text[32];
	std::snprintf(text, sizeof(text), "sleep %u", seconds);
	log_line(text);
	return 0;
}

extern "C" int close(int fd)
{
	if (fd >= 0 && fd == bus_fd) {
		log_line("close");
		bus_fd = -1;
	}
	return real<int (*)(int)>("close")(fd);
}
