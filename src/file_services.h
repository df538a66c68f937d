// Whole-file copies and the instance lock that serialises runs.
#ifndef KELVANE_FILE_SERVICES_H
#define KELVANE_FILE_SERVICES_H

#include "kelvane_shared.h"

constexpr int kLockRetries = 7;
constexpr int kMaxWaitSeconds = 10;

// Copies the regular file source into a file created afresh at
// destination: whatever stood there is removed first (a directory with
// something in it is moved aside), and the new file is
// created exclusively, mode 0600, without following links; *made receives
// what it is. 0 when the content arrived whole.
int copy(const char *source, const char *destination, Kelvane_FileId *made);

// Replaces target (following links to the real file) with the content of
// source, which must still be the file made names: a temporary file beside
// the target, synced and renamed over it, with the target's owner and mode.
// Where nothing can be made or renamed beside it, the target is rewritten
// in place and synced, its old content put back should that fail part way.
// 0 once the new content is synced in the target's place; 1 when it is
// not, the target keeping its old content (unless putting that back in
// place failed too).
int Kelvane_ReplaceFile(const char *source, const Kelvane_FileId *made, const char *target);

// Takes the advisory lock on path, retrying after random waits; *handle
// receives the lock file's descriptor, or -1. The lock file is trusted
// only when it is a regular file of the caller's user that nobody else
// may open; anything else at path is removed (a directory with something
// in it is moved aside) and the file made afresh. 0 when the lock is
// held, 1 when it was not obtained.
int Kelvane_LockFile(int *handle, const char *path);

// Whether path still names the file locked through handle: a lock on a
// file that has gone from there keeps no other run out.
bool Kelvane_HoldsLock(int handle, const char *path);

// Releases the lock taken by Kelvane_LockFile and closes the handle
// (nothing to do for -1).
int Kelvane_UnLockFile(int *handle, const char *path);

#endif
