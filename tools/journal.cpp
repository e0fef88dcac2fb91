// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The msgs_iic authors

// The journal: the eight bytes kept on disk, with the bus and the adapter
// they came from, so that a run killed outright is made good by the next.
// It is trusted only where it is this user's own and no one else's: a
// journal planted by another user would have root write that user's bytes.
#include "msgs_iic_on.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace {

// Where a journal goes by default: the first of these that is there, so
// that it survives a reboot where the system keeps state.
constexpr const char *journal_roots[] = {"/var/lib", "/run", "/tmp"};
constexpr char journal_folder[] = "msgs_iic";
constexpr char journal_magic[] = "msgs_iic_on journal 2";
constexpr int journal_size = 1024;   // room for the longest one
constexpr int temporary_tries = 8;

// line's text after prefix into out, whole; false where it does not fit.
bool field(const char *line, const char *prefix, char *out, size_t size)
{
	const size_t n = std::strlen(prefix);
	return std::strncmp(line, prefix, n) == 0 && line[n] != '\0' &&
	       std::snprintf(out, size, "%s", line + n) < static_cast<int>(size);
}

bool parse_field(const char *line, int index, journal_entry &e)
{
	unsigned int a = 0, w = 0, b[kept];
	int used = 0;
	switch (index) {
	case 0:
		return std::strcmp(line, journal_magic) == 0;
	case 1:
		return std::sscanf(line, "bus %lu%n", &e.bus, &used) == 1 && line[used] == '\0' &&
		       e.bus <= max_bus;
	case 2:
		return field(line, "adapter ", e.adapter, sizeof(e.adapter));
	case 3:
		return field(line, "device ", e.device, sizeof(e.device));
	case 4:
		return std::sscanf(line, "address 0x%2x%n", &a, &used) == 1 &&
		       line[used] == '\0' && a == eeprom_addr;
	case 5:
		return std::sscanf(line, "word 0x%2x%n", &w, &used) == 1 && line[used] == '\0' &&
		       w == word_addr;
	case 6:
		if (std::sscanf(line, "bytes 0x%2x 0x%2x 0x%2x 0x%2x 0x%2x 0x%2x 0x%2x 0x%2x%n",
				&b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7],
				&used) != kept || line[used] != '\0')
			return false;
		for (int i = 0; i < kept; i++)
			e.bytes[i] = static_cast<uint8_t>(b[i]);
		return true;
	default:
		return false;
	}
}

// A name in the journal's folder that no other run can have picked.
int open_temporary(const journal_file &j, char *name, size_t size)
{
	for (int i = 0; i < temporary_tries; i++) {
		uint32_t nonce = 0;
		if (getrandom(&nonce, sizeof(nonce), 0) != sizeof(nonce))
			return -1;
		if (std::snprintf(name, size, ".%.200s.%08x.new", j.name, nonce) >=
		    static_cast<int>(size)) {
			errno = ENAMETOOLONG;
			return -1;
		}
		const int fd = openat(j.dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC |
					     O_NOFOLLOW, 0600);
		if (fd >= 0 || errno != EEXIST)
			return fd;
	}
	return -1;
}

} // namespace

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
// root that is there. Its folder, which must be the user's own either way,
// is made (where create says) and opened now, so that the journal is
// reached the same way once /dev is this process's own.
bool open_journal(const char *given, unsigned long bus, journal_file &j, int &error,
		  bool create)
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
		if (j.name[0] == '\0' || std::strcmp(j.name, ".") == 0 ||
		    std::strcmp(j.name, "..") == 0) {
			error = EISDIR;
			return false;
		}
		error = own_folder(folder, j.dir);
		return error == 0;
	}
	// The first root where the folder is this user's own, and no one else
	// may write: /tmp is everyone's.
	std::snprintf(j.name, sizeof(j.name), "i2c-%lu", bus);
	error = ENOENT;
	for (const char *root : journal_roots) {
		std::snprintf(folder, sizeof(folder), "%.16s/%s", root, journal_folder);
		std::snprintf(j.path, sizeof(j.path), "%.64s/%s", folder, j.name);
		if (create && mkdir(folder, 0700) != 0 && errno != EEXIST) {
			error = errno;
			continue;
		}
		error = own_folder(folder, j.dir);
		if (error == 0)
			return true;
	}
	return false;
}

// The journal's text: what it keeps and where from.
int format_journal(const journal_entry &e, char *out, size_t size)
{
	char bytes[kept * 5];
	hex_bytes(e.bytes, bytes, sizeof(bytes), "0x");
	return std::snprintf(out, size, "%s\nbus %lu\nadapter %s\ndevice %s\naddress 0x%02x\n"
			     "word 0x%02x\nbytes %s\n", journal_magic, e.bus, e.adapter, e.device,
			     eeprom_addr, word_addr, bytes);
}

// The journal's entry from its text; false for anything that is not one
// as format_journal writes it.
bool parse_journal(const char *text, journal_entry &e)
{
	char line[journal_size];
	const char *p = text;
	int index = 0;
	while (*p != '\0') {
		const size_t n = std::strcspn(p, "\n");
		if (p[n] != '\n' || n >= sizeof(line))
			return false;
		std::memcpy(line, p, n);
		line[n] = '\0';
		p += n + 1;
		if (!parse_field(line, index++, e))
			return false;
	}
	// Only the text this program writes for that entry, to the byte.
	char again[journal_size];
	format_journal(e, again, sizeof(again));
	return index == 7 && std::strcmp(again, text) == 0;
}

// 1 and the entry where the journal is there and one of this user's that
// this program wrote, 0 where there is none, -1 with why where it is there
// and may not be trusted. Opened without following a link or blocking on a
// FIFO; a regular file, this user's, that no one else may write.
int read_journal(const journal_file &j, journal_entry &e, char *why, size_t size)
{
	const int fd = openat(j.dir, j.name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
	if (fd < 0 && errno == ENOENT)
		return 0;
	if (fd < 0) {
		std::snprintf(why, size, "%s", errno == ELOOP ? "a link" : std::strerror(errno));
		return -1;
	}
	struct stat st;
	char text[journal_size];
	ssize_t n = -1;
	if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
		std::snprintf(why, size, "not a regular file");
	else if (st.st_uid != geteuid())
		std::snprintf(why, size, "owned by uid %u, not by this user", st.st_uid);
	else if ((st.st_mode & 022) != 0)
		std::snprintf(why, size, "writable by others");
	else if (st.st_nlink != 1)
		std::snprintf(why, size, "a file with other hard links");
	else if ((n = read(fd, text, sizeof(text) - 1)) <= 0 ||
		 static_cast<size_t>(n) == sizeof(text) - 1)
		std::snprintf(why, size, "unreadable, or not a journal that msgs_iic_on wrote");
	close(fd);
	if (n <= 0 || static_cast<size_t>(n) == sizeof(text) - 1)
		return -1;
	text[n] = '\0';
	if (std::strlen(text) == static_cast<size_t>(n) && parse_journal(text, e))
		return 1;
	std::snprintf(why, size, "not a journal that msgs_iic_on wrote");
	return -1;
}

// The journal on disk before anything is written: a new file of a name no
// other run has, synced, linked in under its name (which never replaces
// one that is there), then the folder synced. 0, or the errno.
int write_journal(const journal_file &j, const journal_entry &e)
{
	char temporary[NAME_MAX + 1];
	char text[journal_size];
	const int length = format_journal(e, text, sizeof(text));
	if (length >= static_cast<int>(sizeof(text)))
		return ENAMETOOLONG;
	const int fd = open_temporary(j, temporary, sizeof(temporary));
	if (fd < 0)
		return errno;
	int error = 0;
	errno = 0;
	if (write(fd, text, static_cast<size_t>(length)) != length)
		error = errno ? errno : ENOSPC;
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

void remove_journal(const journal_file &j)
{
	unlinkat(j.dir, j.name, 0);
	fsync(j.dir);
}
