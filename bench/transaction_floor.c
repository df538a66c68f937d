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
 * Compiled with KELVANE_FLOOR_WALKS_PROC it is the deregister floor: the
 * same transaction taking the line "::respawn:PROGRAM" out instead, and
 * after the signal one walk of /proc as a deregister run makes it, every
 * process's command line read once. It fails if the line is not there, or
 * if a process runs PROGRAM: a deregister that finds its program stops
 * it, which is not the case it stands beside.
 *
 * It edits /etc/inittab and signals process 1 like the tool: it belongs on
 * the sandboxed device of the benchmark, never on the build machine.
 *
 * Exit status: 0 when every step succeeded, 1 otherwise (no output).
 */
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
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

#ifdef KELVANE_FLOOR_WALKS_PROC
/* The first line "::respawn:PROGRAM" out of the text. */
static int edit(size_t *size, const char *program)
{
	char line[kLineSize];
	int n = snprintf(line, sizeof line, "%s%s\n", kPrefix, program);
	if (n < 0 || (size_t)n >= sizeof line)
		return -1;
	size_t length = (size_t)n;
	size_t at = 0;
	while (at + length <= *size) {
		if (memcmp(text + at, line, length) == 0) {
			memmove(text + at, text + at + length, *size - at - length);
			*size -= length;
			return 0;
		}
		const char *end = (const char *)memchr(text + at, '\n', *size - at);
		if (end == NULL)
			break;
		at = (size_t)(end - text) + 1;
	}
	return -1;
}
#else
/* "::respawn:PROGRAM" appended to the text. */
static int edit(size_t *size, const char *program)
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
#endif

static int replace_inittab(size_t size, const struct stat *st)
{
	int fd = Kelvane_Open(kTemporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
	if (fd < 0 || Kelvane_WriteAll(fd, text, size) != 0 || fchown(fd, st->st_uid, st->st_gid) != 0 ||
	    fchmod(fd, st->st_mode & 07777) != 0 || fsync(fd) != 0 || rename(kTemporary, kInittab) != 0)
		return -1;
	int directory = Kelvane_Open(kDirectory, O_RDONLY | O_DIRECTORY);
	return directory < 0 || fsync(directory) != 0 ? -1 : 0;
}

#ifdef KELVANE_FLOOR_WALKS_PROC
static const char kProc[] = "/proc";

/* Whether process NAME (a directory of /proc) runs PROGRAM: its command
 * line read in one call, as the tool reads it. */
static int runs(const char *name, const char *program)
{
	char path[kLineSize];
	char command[kLineSize];
	int n = snprintf(path, sizeof path, "%s/%s/cmdline", kProc, name);
	if (n < 0 || (size_t)n >= sizeof path)
		return 0;
	int fd = Kelvane_Open(path, O_RDONLY);
	if (fd < 0)
		return 0;
	ssize_t got = read(fd, command, sizeof command);
	close(fd);
	return got > 0 && strnlen(command, (size_t)got) == strlen(program) &&
	       memcmp(command, program, strlen(program)) == 0;
}

/* Every process but init and this one: -1 if one of them runs PROGRAM. */
static int walk_proc(const char *program)
{
	DIR *proc = opendir(kProc);
	if (proc == NULL)
		return -1;
	long self = (long)getpid();
	int found = 0;
	const struct dirent *entry;
	while ((entry = readdir(proc)) != NULL) {
		char *end;
		long pid = strtol(entry->d_name, &end, 10);
		if (*end != '\0' || pid <= 1 || pid == self)
			continue;
		found |= runs(entry->d_name, program);
	}
	return closedir(proc) != 0 || found ? -1 : 0;
}
#endif

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
	    edit(&size, argv[1]) != 0 || replace_inittab(size, &st) != 0)
		return 1;
	if (kill(1, SIGHUP) != 0)
		return 1;
#ifdef KELVANE_FLOOR_WALKS_PROC
	if (walk_proc(argv[1]) != 0)
		return 1;
#endif
	if (unlink(kWorkingCopy) != 0)
		return 1;
	/* Closing the only descriptor of the lock file releases the lock; the
	 * other descriptors go with the process. */
	return close(lock) == 0 ? 0 : 1;
}
