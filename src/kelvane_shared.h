// What the front end and the services share, so that no service includes
// another: the buffer sizes, how a file is opened, and the one loop that
// writes a whole buffer.
#ifndef KELVANE_SHARED_H
#define KELVANE_SHARED_H

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <sys/types.h>
#include <unistd.h>

constexpr size_t kLineSize = 128;      // one line slot or path, terminator included
constexpr size_t kScratchSize = 132;   // scratch copy of a process argument
constexpr size_t kTransferSize = 4096; // one read or write of a whole-file copy

// Every file is opened close-on-exec and never as a controlling terminal.
// openat rather than open: musl's open follows every O_CLOEXEC open with
// an fcntl of its own, for kernels of long ago.
inline int Kelvane_Open(const char *path, int flags, mode_t mode = 0)
{
	return openat(AT_FDCWD, path, flags | O_CLOEXEC | O_NOCTTY, mode);
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
