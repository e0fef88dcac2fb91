// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The msgs_iic authors

#include "kernel_stand_in.h"

#include <cerrno>
#include <cstdarg>

#include <sys/ioctl.h>
#include <unistd.h>

kernel_stand_in kernel;

void PrintTo(const sent_msg &m, std::ostream *os)
{
	*os << "{addr 0x" << std::hex << m.addr << " flags 0x" << m.flags
	    << std::dec << " len " << m.len << " bytes " << m.bytes.size() << "}";
}

namespace {

std::vector<sent_msg> capture(const i2c_rdwr_ioctl_data &request)
{
	std::vector<sent_msg> msgs;
	for (unsigned int i = 0; i < request.nmsgs; i++) {
		const i2c_msg &m = request.msgs[i];
		sent_msg s{m.addr, m.flags, m.len, {}};
		if (!(m.flags & I2C_M_RD))
			s.bytes.assign(m.buf, m.buf + m.len);
		msgs.push_back(s);
	}
	return msgs;
}

bool writes_data(const i2c_rdwr_ioctl_data &request)
{
	for (unsigned int i = 0; i < request.nmsgs; i++)
		if (!(request.msgs[i].flags & I2C_M_RD) && request.msgs[i].len > 1)
			return true;
	return false;
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
	va_list ap;
	va_start(ap, request);
	auto *data = va_arg(ap, i2c_rdwr_ioctl_data *);
	va_end(ap);
	if (request == I2C_SLAVE && fd == bus_fd) {
		errno = EBUSY;
		return kernel.address_held ? -1 : 0;
	}
	if (request != I2C_RDWR) {
		errno = ENOTTY;
		return -1;
	}
	kernel.requests.push_back(capture(*data));
	if (fd != bus_fd) {
		errno = EBADF;
		return -1;
	}
	if (kernel.busy_left > 0) {
		kernel.busy_left--;
		errno = ENXIO;
		return -1;
	}
	if (kernel.refuse_writes && writes_data(*data)) {
		errno = EIO;
		return -1;
	}
	const int result = sim_rdwr(kernel.rom, *data);
	if (result >= 0 && writes_data(*data))
		kernel.busy_left = kernel.busy_after_write;
	return result;
}

extern "C" unsigned int sleep(unsigned int seconds)
{
	kernel.slept += seconds;
	return 0;
}
