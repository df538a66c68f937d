/*
 * The transaction floor: the system calls that one register run cannot do
 * without, and nothing else. No parsing, no count line, no messages:
 *
 *   transaction_floor PROGRAM
 *
 * takes the lock, copies /etc/inittab to the working copy, reads that back,
 * appends "::respawn:PROGRAM", puts the result in place beside the inittab
 * with its owner and mode (fsync, rename, fsync of the directory), sends
 * SIGHUP to process 1, removes the working copy and releases the lock.
 * Built and linked exactly like the tool, so that the tool's time over
 * this one's is what its own work costs.
 *
 * It edits /etc/inittab and signals process 1 like the tool: it belongs on
 * the sandboxed device of the benchmark, never on the build machine.
 *
 * Exit status: 0 when every step succeeded, 1 otherwise (no output).
 */
#include <fcntl.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

/* The tool's own open and its loop for writing a whole buffer. */
#include "kelvane_shared.h"

static const char kInittab[] = "/etc/inittab";
static const char kTemporary[] = "/etc/inittab+";
static const char kDirectory[] = "/etc";
static const char kWorkingCopy[] = "/tmp/tmp_watchdog";
static const char kLockFile[] = "/tmp/tmp_lockfile";
static const char kPrefix[] = "::respawn:";

/* Room for the inittab and the entry; only the pages the file fills are
 * ever touched. */
static char text[1 << 20];

/* Exactly size bytes, in as few calls as the kernel allows. */
static int read_exactly(int fd, char *data, size_t size)
{
	while (size > 0) {
		ssize_t got = read(fd, data, size);
		if (got <= 0)
			return -1;
		data += got;
		size -= (size_t)got;
	}
	return 0;
}

/* The inittab into text: *size its length, *st its owner and mode. */
static int read_inittab(size_t *size, struct stat *st)
{
	int fd = Kelvane_Open(kInittab, O_RDONLY);
	if (fd < 0 || fstat(fd, st) != 0 || st->st_size < 0 || (size_t)st->st_size >= sizeof text)
		return -1;
	*size = (size_t)st->st_size;
	return read_exactly(fd, text, *size);
}

/* The working copy is written and read back through one descriptor: the
 * read comes from the file, not from what this program kept. */
static int through_working_copy(size_t size)
{
	int fd = Kelvane_Open(kWorkingCopy, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
	if (fd < 0 || Kelvane_WriteAll(fd, text, size) != 0 || lseek(fd, 0, SEEK_SET) != 0)
		return -1;
	return read_exactly(fd, text, size);
}

static int append_entry(size_t *size, const char *program)
{
	size_t prefix = sizeof kPrefix - 1;
	size_t length = strlen(program);
	if (*size + prefix + length + 1 > sizeof text)
		return -1;
	memcpy(text + *size, kPrefix, prefix);
	memcpy(text + *size + prefix, program, length);
	text[*size + prefix + length] = '\n';
	*size += prefix + length + 1;
	return 0;
}

static int replace_inittab(size_t size, const struct stat *st)
{
	int fd = Kelvane_Open(kTemporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
	if (fd < 0 || Kelvane_WriteAll(fd, text, size) != 0 || fchown(fd, st->st_uid, st->st_gid) != 0 ||
	    fchmod(fd, st->st_mode & 07777) != 0 || fsync(fd) != 0 || rename(kTemporary, kInittab) != 0)
		return -1;
	int directory = Kelvane_Open(kDirectory, O_RDONLY | O_DIRECTORY);
	return directory < 0 || fsync(directory) != 0 ? -1 : 0;
}

int main(int argc, char *argv[])
{
	size_t size = 0;
	struct stat st;

	if (argc != 2)
		return 1;
	int lock = Kelvane_Open(kLockFile, O_WRONLY | O_CREAT | O_NOFOLLOW, 0666);
	if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0)
		return 1;
	if (read_inittab(&size, &st) != 0 || through_working_copy(size) != 0 ||
	    append_entry(&size, argv[1]) != 0 || replace_inittab(size, &st) != 0)
		return 1;
	if (kill(1, SIGHUP) != 0 || unlink(kWorkingCopy) != 0)
		return 1;
	/* Closing the only descriptor of the lock file releases the lock; the
	 * other descriptors go with the process. */
	return close(lock) == 0 ? 0 : 1;
}
