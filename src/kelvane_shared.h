// What the front end and the services share, so that no service includes
// another: the buffer sizes, and the one loop that writes a whole buffer.
#ifndef KELVANE_SHARED_H
#define KELVANE_SHARED_H

#include <errno.h>
#include <stddef.h>
#include <unistd.h>

constexpr size_t kLineSize = 128;      // one line slot or path, terminator included
constexpr size_t kScratchSize = 132;   // scratch copy of a process argument
constexpr size_t kTransferSize = 4096; // one read or write of a whole-file copy

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
