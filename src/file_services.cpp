// Whole-file copies and the instance lock that serialises runs.
#include "file_services.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr char kCopyName[] = "copy";
constexpr mode_t kPrivateMode = 0600;
constexpr mode_t kOthersBits = 077;
// Attempts at the lock before a run gives up: its tries and retries, and
// as many again for objects cleared from the path. Only another user at
// work there, faster than the run, could use them up.
constexpr int kLockAttempts = 2 * (kLockRetries + 1);
constexpr int kLookAgain = -2;
constexpr mode_t kModeBits = 07777;
constexpr int kReplaceInPlace = 2;

void Kelvane_CopyWarning(const char *what, const char *path, int error)
{
	syslog(LOG_WARNING, "[%s] unable to %s '%s' (%s)\n", kCopyName, what, path,
	       strerror(error));
}

// Copies everything from in to out.
int Kelvane_Transfer(int in, int out, const char *source, const char *destination)
{
	char buffer[kTransferSize] = {};

	for (;;) {
		ssize_t got = read(in, buffer, sizeof buffer);
		if (got < 0 && errno == EINTR)
			continue;
		if (got < 0) {
			Kelvane_CopyWarning("read source file", source, errno);
			return 1;
		}
		if (got == 0)
			return 0;
		if (Kelvane_WriteAll(out, buffer, static_cast<size_t>(got)) != 0) {
			Kelvane_CopyWarning("write destination file", destination, errno);
			return 1;
		}
	}
}

// Whether what stands at a path now is still the object seen there: the
// same file, with the same owner and mode, so still judged the same.
bool Kelvane_SameObject(const struct stat *now, const struct stat *seen)
{
	return now->st_dev == seen->st_dev && now->st_ino == seen->st_ino &&
	       now->st_uid == seen->st_uid && now->st_mode == seen->st_mode;
}

// 1 when path still shows the object seen there by lstat; 0 when that is
// gone or another stands there now (for the caller to judge afresh), with
// errno ESTALE; -1 and errno when it cannot be told.
int Kelvane_StillSeen(const char *path, const struct stat *seen)
{
	struct stat now;
	if (lstat(path, &now) != 0) {
		if (errno != ENOENT)
			return -1;
	} else if (Kelvane_SameObject(&now, seen)) {
		return 1;
	}
	errno = ESTALE;
	return 0;
}

// A name beside path that nobody can have guessed and taken first.
int Kelvane_AsideName(const char *path, char *aside, size_t size)
{
	unsigned int random[2];
	int fd = Kelvane_Open("/dev/urandom", O_RDONLY);
	if (fd < 0)
		return -1;
	ssize_t got = read(fd, random, sizeof random);
	close(fd);
	if (got != static_cast<ssize_t>(sizeof random)) {
		errno = EIO;
		return -1;
	}
	int n = snprintf(aside, size, "%s.%08x%08x", path, random[0], random[1]);
	if (n < 0 || static_cast<size_t>(n) >= size) {
		errno = ENAMETOOLONG;
		return -1;
	}
	return 0;
}

// Clears path of the object seen there, unless it has been replaced since.
// A directory with something in it is never walked (another user may own
// the tree): it goes aside whole. 0 when the path is clear of it, -1 and
// errno if not.
int Kelvane_ClearAway(const char *path, const struct stat *seen)
{
	int still = Kelvane_StillSeen(path, seen);
	if (still <= 0)
		return still;
	if (!S_ISDIR(seen->st_mode))
		return unlink(path) == 0 || errno == ENOENT ? 0 : -1;
	if (rmdir(path) == 0 || errno == ENOENT)
		return 0;
	char aside[PATH_MAX];
	if ((errno != ENOTEMPTY && errno != EEXIST) || Kelvane_AsideName(path, aside, sizeof aside) != 0)
		return -1;
	still = Kelvane_StillSeen(path, seen);
	return still <= 0 ? still : rename(path, aside);
}

// A private file made afresh at path, never through a link; -1 and errno
// when that cannot be done. Whatever stands there is left over from a
// run that died, or planted: it goes first. Mostly nothing stands there.
int Kelvane_CreateFresh(const char *path)
{
	const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
	int fd = Kelvane_Open(path, flags, kPrivateMode);
	if (fd >= 0 || errno != EEXIST)
		return fd;
	struct stat seen;
	if (lstat(path, &seen) == 0 && Kelvane_ClearAway(path, &seen) != 0)
		return -1;
	return Kelvane_Open(path, flags, kPrivateMode);
}

// The file open at fd is still the one that path names; when not, errno
// is ESTALE, or the error of the call that could not tell.
bool Kelvane_StillNamed(int fd, const char *path)
{
	struct stat opened;
	return fstat(fd, &opened) == 0 && Kelvane_StillSeen(path, &opened) > 0;
}

int Kelvane_CloseChecked(int fd, const char *path, int result)
{
	if (close(fd) != 0 && result == 0) {
		Kelvane_CopyWarning("write destination file", path, errno);
		return 1;
	}
	return result;
}

// A FIFO would block the open, with the lock held, a device such as
// /dev/zero never ends, and opening a device can do things of its own:
// only a regular file is opened, without waiting, and read only while it
// is still the file that was looked at.
int Kelvane_OpenRegular(const char *path)
{
	struct stat named;
	if (stat(path, &named) != 0)
		return -1;
	if (!S_ISREG(named.st_mode)) {
		errno = EINVAL;
		return -1;
	}
	int fd = Kelvane_Open(path, O_RDONLY | O_NONBLOCK);
	if (fd < 0)
		return -1;
	struct stat opened;
	int error = fstat(fd, &opened) != 0 ? errno : Kelvane_SameObject(&opened, &named) ? 0 : ESTALE;
	if (error == 0)
		return fd;
	close(fd);
	errno = error;
	return -1;
}

int Kelvane_Identify(int fd, Kelvane_FileId *id)
{
	struct stat st;
	if (fstat(fd, &st) != 0)
		return 1;
	*id = Kelvane_FileId{st.st_dev, st.st_ino};
	return 0;
}

} // namespace

int copy(const char *source, const char *destination, Kelvane_FileId *made)
{
	int in = Kelvane_OpenRegular(source);
	if (in < 0) {
		Kelvane_CopyWarning("open source file", source, errno);
		return 1;
	}
	int out = Kelvane_CreateFresh(destination);
	if (out >= 0 && Kelvane_Identify(out, made) != 0) {
		int error = errno;
		close(out);
		unlink(destination);
		errno = error;
		out = -1;
	}
	if (out < 0) {
		Kelvane_CopyWarning("open destination file", destination, errno);
		close(in);
		return 1;
	}
	int result = Kelvane_Transfer(in, out, source, destination);
	result = Kelvane_CloseChecked(out, destination, result);
	if (result != 0)
		unlink(destination);
	close(in);
	return result;
}

namespace {

// The directory entry of a renamed file is only durable once its
// directory is synced.
void Kelvane_SyncDirectory(const char *file)
{
	char directory[PATH_MAX];
	const char *slash = strrchr(file, '/');
	size_t length = slash == nullptr ? 0 : static_cast<size_t>(slash - file);

	if (length == 0)
		length = 1;
	memcpy(directory, slash == nullptr ? "." : file, length);
	directory[length] = '\0';
	int fd = Kelvane_Open(directory, O_RDONLY | O_DIRECTORY);
	if (fd < 0 || fsync(fd) != 0)
		Kelvane_CopyWarning("sync directory", directory, errno);
	if (fd >= 0)
		close(fd);
}

// Fills the fresh temporary file out and gives it the target's owner and
// mode; the caller removes it on failure.
int Kelvane_FillTemporary(int in, int out, const char *source, const char *temporary,
                          const struct stat *target)
{
	if (Kelvane_Transfer(in, out, source, temporary) != 0)
		return 1;
	if (fchown(out, target->st_uid, target->st_gid) != 0 ||
	    fchmod(out, target->st_mode & kModeBits) != 0) {
		Kelvane_CopyWarning("keep owner and mode of", temporary, errno);
		return 1;
	}
	if (fsync(out) != 0) {
		Kelvane_CopyWarning("sync", temporary, errno);
		return 1;
	}
	return 0;
}

// Where no file can be created or renamed beside the target (read-only
// directory, the target is a mount point), the caller rewrites in place.
bool Kelvane_CannotUseDirectory(int error)
{
	return error == EROFS || error == EACCES || error == EPERM || error == EBUSY ||
	       error == EXDEV;
}

// Only the file this run wrote goes over the target: should another have
// taken the temporary name, it is neither installed nor removed.
int Kelvane_CloseTemporary(int out, const char *temporary, const char *real, int result)
{
	if (result == 0 && !Kelvane_StillNamed(out, temporary)) {
		int error = errno;
		Kelvane_CopyWarning("replace", real, error);
		close(out);
		if (error != ESTALE)
			unlink(temporary);
		return 1;
	}
	result = Kelvane_CloseChecked(out, temporary, result);
	if (result != 0)
		unlink(temporary);
	return result;
}

int Kelvane_RenameOver(const char *temporary, const char *real)
{
	if (rename(temporary, real) != 0) {
		int error = errno;
		unlink(temporary);
		if (Kelvane_CannotUseDirectory(error))
			return kReplaceInPlace;
		Kelvane_CopyWarning("replace", real, error);
		return 1;
	}
	Kelvane_SyncDirectory(real);
	return 0;
}

// rename keeps the old file whole until the new one is complete.
int Kelvane_ReplaceByRename(int in, const char *source, const char *real,
                            const struct stat *target)
{
	char temporary[PATH_MAX];
	int n = snprintf(temporary, sizeof temporary, "%s+", real);
	if (n < 0 || static_cast<size_t>(n) >= sizeof temporary) {
		Kelvane_CopyWarning("replace", real, ENAMETOOLONG);
		return 1;
	}
	int out = Kelvane_CreateFresh(temporary);
	if (out < 0 && Kelvane_CannotUseDirectory(errno))
		return kReplaceInPlace;
	if (out < 0) {
		Kelvane_CopyWarning("open destination file", temporary, errno);
		return 1;
	}
	int result = Kelvane_FillTemporary(in, out, source, temporary, target);
	if (Kelvane_CloseTemporary(out, temporary, real, result) != 0)
		return 1;
	return Kelvane_RenameOver(temporary, real);
}

// The old content is kept before its first byte is overwritten, and put
// back when the rewrite fails part way: a failed edit leaves the file as
// it was.
char *Kelvane_KeepOld(int fd, off_t *size)
{
	struct stat st;
	if (fstat(fd, &st) != 0)
		return nullptr;
	char *old = static_cast<char *>(malloc(st.st_size > 0 ? static_cast<size_t>(st.st_size) : 1));
	off_t done = 0;
	while (old != nullptr && done < st.st_size) {
		ssize_t got = pread(fd, old + done, static_cast<size_t>(st.st_size - done), done);
		if (got < 0 && errno == EINTR)
			continue;
		if (got <= 0) {
			free(old);
			return nullptr;
		}
		done += got;
	}
	*size = st.st_size;
	return old;
}

void Kelvane_PutBack(int fd, const char *old, off_t size)
{
	int e = errno;
	if (lseek(fd, 0, SEEK_SET) == 0 && Kelvane_WriteAll(fd, old, static_cast<size_t>(size)) == 0 &&
	    ftruncate(fd, size) == 0)
		fsync(fd);
	errno = e;
}

// Reserving the space first means a full file system fails the rewrite
// before a single byte of the old content is overwritten.
int Kelvane_Overwrite(int in, int out, const char *source, const char *real, off_t size)
{
	if (size > 0 && fallocate(out, FALLOC_FL_KEEP_SIZE, 0, size) != 0 && errno != EOPNOTSUPP) {
		Kelvane_CopyWarning("write destination file", real, errno);
		return 1;
	}
	if (Kelvane_Transfer(in, out, source, real) != 0)
		return 1;
	// The new content ends where the writes stopped.
	off_t end = lseek(out, 0, SEEK_CUR);
	if (end < 0 || ftruncate(out, end) != 0 || fsync(out) != 0) {
		Kelvane_CopyWarning("write destination file", real, errno);
		return 1;
	}
	return 0;
}

int Kelvane_RewriteInPlace(int in, const char *source, const char *real)
{
	struct stat st;
	if (fstat(in, &st) != 0 || lseek(in, 0, SEEK_SET) != 0) {
		Kelvane_CopyWarning("read source file", source, errno);
		return 1;
	}
	int out = Kelvane_Open(real, O_RDWR);
	if (out < 0) {
		Kelvane_CopyWarning("open destination file", real, errno);
		return 1;
	}
	off_t old_size = 0;
	char *old = Kelvane_KeepOld(out, &old_size);
	if (old == nullptr) {
		Kelvane_CopyWarning("read destination file", real, errno);
		close(out);
		return 1;
	}
	int result = Kelvane_Overwrite(in, out, source, real, st.st_size);
	if (result != 0)
		Kelvane_PutBack(out, old, old_size);
	free(old);
	// Once synced, the new content is the inittab: a close that fails
	// now cannot take that back, so it is only logged.
	if (close(out) != 0)
		Kelvane_CopyWarning("write destination file", real, errno);
	return result;
}

// The file that target names: target itself, or where its links lead, in
// real; the new content goes beside that file, so that the links stay.
const char *Kelvane_RealFile(const char *target, char *real, struct stat *st)
{
	if (lstat(target, st) != 0)
		return nullptr;
	if (!S_ISLNK(st->st_mode))
		return target;
	if (realpath(target, real) == nullptr || stat(real, st) != 0)
		return nullptr;
	return real;
}

} // namespace

int Kelvane_ReplaceFile(const char *source, const Kelvane_FileId *made, const char *target)
{
	char link_target[PATH_MAX];
	struct stat st;

	const char *real = Kelvane_RealFile(target, link_target, &st);
	if (real == nullptr) {
		Kelvane_CopyWarning("open destination file", target, errno);
		return 1;
	}
	if (!S_ISREG(st.st_mode)) {
		Kelvane_CopyWarning("open destination file", target, EINVAL);
		return 1;
	}
	int in = Kelvane_OpenKnown(source, O_RDONLY, made);
	if (in < 0) {
		Kelvane_CopyWarning("open source file", source, errno);
		return 1;
	}
	int result = Kelvane_ReplaceByRename(in, source, real, &st);
	if (result == kReplaceInPlace)
		result = Kelvane_RewriteInPlace(in, source, real);
	close(in);
	return result;
}

namespace {

// The lock file is trusted when it is a regular file of the run's own
// user that nobody else may open. Its names do not matter: a second name
// made by another user lets them neither open it nor remove it.
bool Kelvane_IsTrusted(const struct stat *st)
{
	return S_ISREG(st->st_mode) && st->st_uid == geteuid() && (st->st_mode & kOthersBits) == 0;
}

// One look at the lock file's path: the trusted lock file, open for
// writing, or made afresh when nothing is there; kLookAgain when what was
// there changed or was cleared away; -1 and errno when the path cannot
// be used. Links are never followed, a FIFO never waited on, the file
// never truncated, and a trusted file never removed.
int Kelvane_OpenLockFile(const char *path)
{
	struct stat seen;
	if (lstat(path, &seen) != 0) {
		if (errno != ENOENT)
			return -1;
		int fd = Kelvane_Open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, kPrivateMode);
		return fd < 0 && errno == EEXIST ? kLookAgain : fd;
	}
	if (!Kelvane_IsTrusted(&seen))
		return Kelvane_ClearAway(path, &seen) == 0 ? kLookAgain : -1;
	const Kelvane_FileId trusted = {seen.st_dev, seen.st_ino};
	int fd = Kelvane_OpenKnown(path, O_WRONLY, &trusted);
	return fd < 0 && (errno == ENOENT || errno == ESTALE) ? kLookAgain : fd;
}

void Kelvane_CloseLockFile(int *handle)
{
	close(*handle);
	*handle = -1;
}

// Another run holds the lock: say so and wait before the next try.
void Kelvane_WaitForLock(int error)
{
	printf("FLock fail by error: %s\n", strerror(error));
	int wait = rand() % kMaxWaitSeconds + 1;
	printf("Need wait a Random Time %d\n", wait);
	fflush(stdout);
	sleep(static_cast<unsigned>(wait));
}

} // namespace

// Each attempt looks at the path afresh: a lock is only worth having on
// the file that the path names, so a lock taken on a file that has since
// gone from there is dropped and the next attempt starts over.
int Kelvane_LockFile(int *handle, const char *path)
{
	int retries = 0;
	for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
		*handle = Kelvane_OpenLockFile(path);
		if (*handle == kLookAgain)
			continue;
		if (*handle < 0)
			break;
		if (flock(*handle, LOCK_EX | LOCK_NB) != 0) {
			int error = errno;
			Kelvane_CloseLockFile(handle);
			if (retries == kLockRetries)
				return 1;
			++retries;
			Kelvane_WaitForLock(error);
			continue;
		}
		if (Kelvane_HoldsLock(*handle, path))
			return 0;
		Kelvane_CloseLockFile(handle);
	}
	*handle = -1;
	syslog(LOG_INFO, "Cannot Open the %s\n", path);
	return 1;
}

bool Kelvane_HoldsLock(int handle, const char *path)
{
	return Kelvane_StillNamed(handle, path);
}

int Kelvane_UnLockFile(int *handle, const char *path)
{
	if (*handle < 0)
		return 0;
	if (flock(*handle, LOCK_UN | LOCK_NB) != 0) {
		syslog(LOG_INFO, "Cannot release the %s\n", path);
		return 1;
	}
	close(*handle);
	*handle = -1;
	return 0;
}
