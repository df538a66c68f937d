// What the front end and the services share, so that no service includes
// another: the buffer sizes, where the process arguments start and what
// separates their words, how a file is opened (and reopened, when it is
// one this run made), and the one loop that writes a whole buffer.
#ifndef KELVANE_SHARED_H
#define KELVANE_SHARED_H

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

constexpr size_t kLineSize = 128;      // one line slot or path, terminator included
constexpr size_t kScratchSize = 132;   // scratch copy of a process argument
constexpr size_t kTransferSize = 4096; // one read or write of a whole-file copy
constexpr int kFirstProcess = 2;       // argv[0] is the tool, argv[1] the command
constexpr char kBlank[] = " ";         // the one character that separates words

// Every file is opened close-on-exec and never as a controlling terminal.
// openat rather than open: musl's open follows every O_CLOEXEC open with
// an fcntl of its own, for kernels of long ago.
inline int Kelvane_Open(const char *path, int flags, mode_t mode = 0)
{
	return openat(AT_FDCWD, path, flags | O_CLOEXEC | O_NOCTTY, mode);
}

// A file this run made, known by what it is rather than by its name: in a
// directory that others may write, another file can take the name. Wide
// fixed types, not dev_t and ino_t, whose width depends on how a caller
// was compiled.
struct Kelvane_FileId {
	unsigned long long device;
	unsigned long long inode;
};

// Opens path again, never through a link and never blocking, only while
// it is still the file id names; -1 and ESTALE when another stands there,
// -1 and the call's error when it cannot be told.
// A file of another user may have been given the inode number of ours
// once ours was gone, so the owner must be this run's user too.
inline int Kelvane_OpenKnown(const char *path, int flags, const Kelvane_FileId *id)
{
	int fd = Kelvane_Open(path, flags | O_NOFOLLOW | O_NONBLOCK);
	if (fd < 0)
		return -1;
	struct stat st;
	int error = fstat(fd, &st) != 0 ? errno : 0;
	if (error == 0 && (st.st_dev != id->device || st.st_ino != id->inode || st.st_uid != geteuid()))
		error = ESTALE;
	if (error != 0) {
		close(fd);
		errno = error;
		return -1;
	}
	return fd;
}

// Writes all size bytes, as many calls as it takes; -1 and errno when a
// call fails or writes nothing.
inline int Kelvane_WriteAll(int fd, const char *data, size_t size)
{
	while (size > 0) {
		ssize_t done = write(fd, data, size);
		if (done < 0 && errno == EINTR)
			continue;
		if (done <= 0) {
			if (done == 0)
				errno = EIO;
			return -1;
		}
		data += done;
		size -= static_cast<size_t>(done);
	}
	return 0;
}

#endif
