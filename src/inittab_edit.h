// The in-memory line table of the working copy and the two edits on it.
#ifndef KELVANE_INITTAB_EDIT_H
#define KELVANE_INITTAB_EDIT_H

#include "kelvane_shared.h"

#include <stddef.h>

constexpr int kMaxPrograms = 12; // programs registered through the tool
constexpr char kRespawnPrefix[] = "::respawn:";
constexpr char kOrigKey[] = "Orig:";
constexpr char kNewKey[] = "New:";

// The longest process argument whose respawn entry, with its line break,
// still fits one slot.
constexpr size_t kMaxArgumentLength = kLineSize - 1 - (sizeof kRespawnPrefix - 1) - 1;

// Results of the edits besides 0 (done) and 1 (failed).
constexpr int kEditDuplicate = 2;
constexpr int kEditLimit = 3;

// One line of the file, or one piece of a line longer than a slot. The
// length keeps bytes that a C string would lose; all zero means removed.
struct Kelvane_Slot {
	char text[kLineSize];
	size_t length;
};

// The working copy as slots, with room for every slot an edit may fill.
struct Kelvane_LineTable {
	Kelvane_Slot *slots;
	size_t read; // slots filled from the file
};

// Large inittabs go through in a few big reads and writes rather than one
// per page. The working copy is read and written through a plain
// descriptor: a stream would add a buffer of its own from the heap.
constexpr size_t kFileBufferSize = 64 * 1024;
struct Kelvane_FileBuffer {
	char data[kFileBufferSize];
	size_t used; // bytes of data read from the file, or waiting to be written
	bool whole;  // the count's one read had the whole file: it is in data
};

// Counts the slots the file at fd fills: one per line, more for lines
// longer than a slot, and one for a last line without a line break.
// *size receives the file's length (not an off_t, whose width depends on
// how a caller was compiled); buffer keeps what the count read, for the
// load. -1 and errno when the file cannot be read or counted.
int Kelvane_GetTotalLine(int fd, Kelvane_FileBuffer *buffer, long long *size);

// The working copy is reopened only while it is still the file copy made
// (see Kelvane_OpenKnown).
int Kelvane_LoadWorkingCopy(const char *path, const Kelvane_FileId *id, size_t spare,
                            Kelvane_LineTable *table);
int Kelvane_StoreWorkingCopy(const char *path, const Kelvane_FileId *id,
                             const Kelvane_LineTable *table, size_t count);
void Kelvane_FreeLineTable(Kelvane_LineTable *table);

int Kelvane_ParseTotalCountLine(const char *line, const char *key);
// The count line is the first whole line read that is a comment and holds
// "Orig:"; its index, or -1. A line that init runs is never taken for it.
int Kelvane_FindTotalCountLine(const Kelvane_LineTable *table, int *orig, int *news);
void Kelvane_WriteTotalCountLine(Kelvane_Slot *slot, long long orig, long long news);
void Kelvane_WriteRespawnEntry(Kelvane_Slot *slot, const char *argument);
int Kelvane_RepeatProcess(Kelvane_LineTable *table, char *const argv[], int n);
int Kelvane_StringHandle(const char *text, char *word, size_t size);
int Kelvane_DoFileExist(const char *path);

// The edits behind "register" and "deregister", on the working copy path.
// A deregistration needs an entry for every argument (an argument given
// twice, two) and removes every entry equal to one of them.
int Kelvane_Start(int n, char *const argv[], const char *working_copy, const Kelvane_FileId *id);
int Kelvane_Stop(int n, char *const argv[], const char *working_copy, const Kelvane_FileId *id);

#endif
