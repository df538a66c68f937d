// The in-memory line table of the working copy and the two edits on it.
#include "inittab_edit.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

// No-ops unless built with AddressSanitizer.
#include <sanitizer/asan_interface.h>

namespace {

constexpr char kSeparator = kBlank[0];
// init skips a line that starts with it; the count line is always one.
constexpr char kCommentMark = '#';

// How many of the size bytes at data go into a slot that holds filled
// bytes already. The slot ends after a line break, or when it holds as
// much as one line read of kLineSize bytes yields.
size_t Kelvane_SlotPiece(const char *data, size_t size, size_t filled, bool *ends)
{
	size_t room = kLineSize - 1 - filled;
	size_t take = size < room ? size : room;
	const char *line_break = static_cast<const char *>(memchr(data, '\n', take));
	if (line_break != nullptr)
		take = static_cast<size_t>(line_break - data) + 1;
	*ends = line_break != nullptr || filled + take == kLineSize - 1;
	return take;
}

// The edit reads and writes the working copy itself; when that fails the
// caller hears only that the edit failed, so the system log says why, as
// for the copy.
void Kelvane_EditWarning(const char *what, const char *path, int error)
{
	syslog(LOG_WARNING, "[edit] unable to %s '%s' (%s)\n", what, path, strerror(error));
}

// The piece of the file at offset, into the buffer: its length, 0 at the
// end of the file, -1 when the read fails.
ssize_t Kelvane_ReadPiece(int fd, off_t offset, Kelvane_FileBuffer *buffer)
{
	ssize_t got;
	do
		got = pread(fd, buffer->data, sizeof buffer->data, offset);
	while (got < 0 && errno == EINTR);
	buffer->used = got > 0 ? static_cast<size_t>(got) : 0;
	return got;
}

// Fills slots from the bytes the buffer holds, going on with *slot when a
// line runs on from the piece before. More slots than counted means the
// file changed under us, which the lock rules out.
int Kelvane_FillSlots(Kelvane_LineTable *table, size_t limit, const Kelvane_FileBuffer *buffer,
                      Kelvane_Slot **slot)
{
	for (size_t i = 0; i < buffer->used;) {
		if (*slot == nullptr) {
			if (table->read == limit) {
				errno = EIO;
				return 1;
			}
			*slot = &table->slots[table->read++];
		}
		bool ends;
		size_t take = Kelvane_SlotPiece(buffer->data + i, buffer->used - i, (*slot)->length, &ends);
		memcpy((*slot)->text + (*slot)->length, buffer->data + i, take);
		(*slot)->length += take;
		i += take;
		if (ends)
			*slot = nullptr;
	}
	return 0;
}

// A file that the count read in one piece is still in the buffer, and is
// not read again. A read may return less than asked for: then the file is
// read again, piece by piece.
int Kelvane_ReadSlots(int fd, Kelvane_LineTable *table, size_t limit, Kelvane_FileBuffer *buffer)
{
	Kelvane_Slot *slot = nullptr;
	if (buffer->whole)
		return Kelvane_FillSlots(table, limit, buffer, &slot);
	off_t offset = 0;
	ssize_t got;
	while ((got = Kelvane_ReadPiece(fd, offset, buffer)) > 0) {
		if (Kelvane_FillSlots(table, limit, buffer, &slot) != 0)
			return 1;
		offset += got;
	}
	return got < 0 ? 1 : 0;
}

// An inittab of up to this many slots needs no heap: the allocator's
// start-up alone would cost more system calls than the rest of the edit.
// One table at a time; each edit holds one.
constexpr size_t kFixedSlots = 128;
Kelvane_Slot fixed_slots[kFixedSlots];

// Zeroed slots for a table of capacity slots. Fixed slots past the end
// stay out of bounds for AddressSanitizer, as past the end of the heap.
Kelvane_Slot *Kelvane_AllocateSlots(size_t capacity)
{
	if (capacity > kFixedSlots)
		return static_cast<Kelvane_Slot *>(calloc(capacity, sizeof(Kelvane_Slot)));
	memset(fixed_slots, 0, capacity * sizeof(Kelvane_Slot));
	ASAN_POISON_MEMORY_REGION(fixed_slots + capacity,
	                          (kFixedSlots - capacity) * sizeof(Kelvane_Slot));
	return fixed_slots;
}

} // namespace

int Kelvane_GetTotalLine(int fd, Kelvane_FileBuffer *buffer, long long *size)
{
	long long slots = 0;
	size_t length = 0;
	off_t offset = 0;
	ssize_t got;
	int pieces = 0;

	while ((got = Kelvane_ReadPiece(fd, offset, buffer)) > 0) {
		++pieces;
		for (size_t i = 0; i < buffer->used;) {
			bool ends;
			size_t take = Kelvane_SlotPiece(buffer->data + i, buffer->used - i, length, &ends);
			i += take;
			length = ends ? 0 : length + take;
			slots += ends;
		}
		offset += got;
	}
	if (got < 0)
		return -1;
	if (slots + (length > 0) > INT_MAX) {
		errno = EFBIG;
		return -1;
	}
	*size = offset;
	// Only a file that came in one piece is still whole in the buffer (the
	// read that found its end wrote nothing there).
	buffer->whole = pieces <= 1;
	buffer->used = buffer->whole ? static_cast<size_t>(offset) : 0;
	return static_cast<int>(slots + (length > 0));
}

int Kelvane_LoadWorkingCopy(const char *path, const Kelvane_FileId *id, size_t spare,
                            Kelvane_LineTable *table)
{
	*table = Kelvane_LineTable{nullptr, 0};
	int fd = Kelvane_OpenKnown(path, O_RDONLY, id);
	if (fd < 0) {
		Kelvane_EditWarning("open working copy", path, errno);
		return 1;
	}
	Kelvane_FileBuffer buffer;
	long long size = 0;
	int total = Kelvane_GetTotalLine(fd, &buffer, &size);
	int result = 1;
	if (total >= 0)
		table->slots = Kelvane_AllocateSlots(static_cast<size_t>(total) + spare);
	if (table->slots != nullptr)
		result = Kelvane_ReadSlots(fd, table, static_cast<size_t>(total), &buffer);
	if (result != 0)
		Kelvane_EditWarning("read working copy", path, errno);
	close(fd);
	if (result != 0)
		Kelvane_FreeLineTable(table);
	return result;
}

void Kelvane_FreeLineTable(Kelvane_LineTable *table)
{
	if (table->slots == fixed_slots)
		ASAN_UNPOISON_MEMORY_REGION(fixed_slots, sizeof fixed_slots);
	else
		free(table->slots);
	*table = Kelvane_LineTable{nullptr, 0};
}

namespace {

bool Kelvane_HasTextAfter(const Kelvane_LineTable *table, size_t index, size_t count)
{
	for (size_t i = index + 1; i < count; ++i)
		if (table->slots[i].length > 0)
			return true;
	return false;
}

// The file's last line may lack its line break; whatever is appended
// after it must still start a line of its own.
bool Kelvane_NeedsLineBreak(const Kelvane_LineTable *table, size_t index, size_t count)
{
	const Kelvane_Slot *slot = &table->slots[index];
	return index + 1 == table->read && slot->length > 0 &&
	       slot->text[slot->length - 1] != '\n' && Kelvane_HasTextAfter(table, index, count);
}

// Writes out the used bytes of the buffer.
int Kelvane_Flush(int fd, Kelvane_FileBuffer *buffer)
{
	if (Kelvane_WriteAll(fd, buffer->data, buffer->used) != 0)
		return -1;
	buffer->used = 0;
	return 0;
}

// Adds size bytes to the used part of the buffer, writing it out each
// time it fills.
int Kelvane_Put(int fd, const char *data, size_t size, Kelvane_FileBuffer *buffer)
{
	while (size > 0) {
		size_t room = sizeof buffer->data - buffer->used;
		size_t take = size < room ? size : room;
		memcpy(buffer->data + buffer->used, data, take);
		buffer->used += take;
		data += take;
		size -= take;
		if (buffer->used == sizeof buffer->data && Kelvane_Flush(fd, buffer) != 0)
			return -1;
	}
	return 0;
}

} // namespace

int Kelvane_StoreWorkingCopy(const char *path, const Kelvane_FileId *id,
                             const Kelvane_LineTable *table, size_t count)
{
	// Truncated only once it is known to be the working copy.
	int fd = Kelvane_OpenKnown(path, O_WRONLY, id);
	if (fd < 0 || ftruncate(fd, 0) != 0) {
		Kelvane_EditWarning("open working copy", path, errno);
		if (fd >= 0)
			close(fd);
		return 1;
	}
	Kelvane_FileBuffer buffer;
	buffer.used = 0;
	int error = 0;
	for (size_t i = 0; i < count && error == 0; ++i) {
		const Kelvane_Slot *slot = &table->slots[i];
		if (Kelvane_Put(fd, slot->text, slot->length, &buffer) != 0 ||
		    (Kelvane_NeedsLineBreak(table, i, count) && Kelvane_Put(fd, "\n", 1, &buffer) != 0))
			error = errno;
	}
	if (error == 0 && Kelvane_Flush(fd, &buffer) != 0)
		error = errno;
	if (close(fd) != 0 && error == 0)
		error = errno;
	if (error != 0)
		Kelvane_EditWarning("write working copy", path, error);
	return error != 0 ? 1 : 0;
}

namespace {

// Where key first stands in text, or nullptr. The keys are a few bytes
// and a line at most a slot, so a plain search does; the C library's
// two-way search would add most of a kilobyte to a static binary.
const char *Kelvane_Find(const char *text, const char *key)
{
	size_t length = strlen(key);
	for (const char *at = strchr(text, key[0]); at != nullptr; at = strchr(at + 1, key[0]))
		if (strncmp(at, key, length) == 0)
			return at;
	return nullptr;
}

// A count with no number after its key, or one outside the range of int,
// reads as -1 like a missing key.
int Kelvane_ReadCount(const char *text)
{
	char *end;
	errno = 0;
	long value = strtol(text, &end, 10);
	if (end == text || errno == ERANGE || value < INT_MIN || value > INT_MAX)
		return -1;
	return static_cast<int>(value);
}

} // namespace

int Kelvane_ParseTotalCountLine(const char *line, const char *key)
{
	char copy[kLineSize];
	if (strcmp(key, kOrigKey) != 0 && strcmp(key, kNewKey) != 0)
		return -1;
	int n = snprintf(copy, sizeof copy, "%s", line);
	if (n < 0 || static_cast<size_t>(n) >= sizeof copy)
		return -1;
	char *word = copy;
	for (;;) {
		while (*word == kSeparator)
			++word;
		char *end = strchr(word, kSeparator);
		if (end != nullptr)
			*end = '\0';
		const char *at = Kelvane_Find(word, key);
		if (at != nullptr)
			return Kelvane_ReadCount(at + strlen(key));
		if (end == nullptr)
			return -1;
		word = end + 1;
	}
}

namespace {

// A piece of a line longer than a slot is no line of its own. A slot
// starts a line when it comes first or after one that ended a line; a
// removed slot was a whole entry, so what follows it starts a line too.
bool Kelvane_StartsLine(const Kelvane_LineTable *table, size_t index)
{
	if (index == 0)
		return true;
	const Kelvane_Slot *before = &table->slots[index - 1];
	return before->length == 0 || before->text[before->length - 1] == '\n';
}

bool Kelvane_IsWholeLine(const Kelvane_LineTable *table, size_t index)
{
	const Kelvane_Slot *slot = &table->slots[index];
	return slot->length > 0 && Kelvane_StartsLine(table, index) &&
	       (slot->text[slot->length - 1] == '\n' || index + 1 == table->read);
}

} // namespace

int Kelvane_FindTotalCountLine(const Kelvane_LineTable *table, int *orig, int *news)
{
	for (size_t i = 0; i < table->read; ++i) {
		const char *text = table->slots[i].text;
		if (Kelvane_IsWholeLine(table, i) && text[0] == kCommentMark &&
		    Kelvane_Find(text, kOrigKey) != nullptr) {
			*orig = Kelvane_ParseTotalCountLine(text, kOrigKey);
			*news = Kelvane_ParseTotalCountLine(text, kNewKey);
			return static_cast<int>(i);
		}
	}
	return -1;
}

void Kelvane_WriteTotalCountLine(Kelvane_Slot *slot, long long orig, long long news)
{
	memset(slot, 0, sizeof *slot);
	int n = snprintf(slot->text, sizeof slot->text, "# %s%lld %s%lld\n", kOrigKey, orig,
	                 kNewKey, news);
	slot->length = n < 0 ? 0 : static_cast<size_t>(n);
}

// Entries are cut to one slot; the front end refuses arguments that would
// need cutting.
void Kelvane_WriteRespawnEntry(Kelvane_Slot *slot, const char *argument)
{
	memset(slot, 0, sizeof *slot);
	int n = snprintf(slot->text, sizeof slot->text, "%s%s\n", kRespawnPrefix, argument);
	if (n < 0)
		n = 0;
	slot->length = static_cast<size_t>(n) < sizeof slot->text ? static_cast<size_t>(n)
	                                                          : sizeof slot->text - 1;
}

namespace {

// Blanks the slots that hold the respawn entry of argument, every one or
// only the first (limit 1); returns how many.
int Kelvane_BlankEntries(Kelvane_LineTable *table, const char *argument, int limit)
{
	Kelvane_Slot entry;
	Kelvane_WriteRespawnEntry(&entry, argument);
	int blanked = 0;
	for (size_t i = 0; i < table->read && blanked != limit; ++i) {
		Kelvane_Slot *slot = &table->slots[i];
		if (slot->length == entry.length && memcmp(slot->text, entry.text, entry.length) == 0 &&
		    Kelvane_StartsLine(table, i)) {
			memset(slot, 0, sizeof *slot);
			++blanked;
		}
	}
	return blanked;
}

} // namespace

int Kelvane_RepeatProcess(Kelvane_LineTable *table, char *const argv[], int n)
{
	int blanked = 0;
	for (int k = 0; k < n; ++k)
		blanked += Kelvane_BlankEntries(table, argv[kFirstProcess + k], -1);
	return blanked;
}

int Kelvane_StringHandle(const char *text, char *word, size_t size)
{
	char scratch[kScratchSize];
	int n = snprintf(scratch, sizeof scratch, "%s", text);
	if (size > 0)
		word[0] = '\0';
	if (n < 0 || static_cast<size_t>(n) >= sizeof scratch)
		return -1;
	const char *start = scratch;
	while (*start == kSeparator)
		++start;
	size_t length = 0;
	while (start[length] != '\0' && start[length] != kSeparator)
		++length;
	if (length == 0 || length >= size)
		return -1;
	memcpy(word, start, length);
	word[length] = '\0';
	return 0;
}

int Kelvane_DoFileExist(const char *path)
{
	struct stat st;
	return stat(path, &st) == 0 ? 0 : -1;
}

namespace {

// Every program must exist and none may be registered already; nothing
// is added unless all of them pass.
int Kelvane_CheckNewPrograms(Kelvane_LineTable *table, int n, char *const argv[])
{
	for (int k = 0; k < n; ++k) {
		char path[kScratchSize];
		if (Kelvane_StringHandle(argv[kFirstProcess + k], path, sizeof path) != 0 ||
		    Kelvane_DoFileExist(path) != 0) {
			puts("The file doesn't exist");
			return 1;
		}
	}
	if (n > 0 && Kelvane_RepeatProcess(table, argv, n) > 0) {
		puts("[Duplicated]");
		return kEditDuplicate;
	}
	return 0;
}

// Raises the count line, or appends one; *count receives the number of
// slots that precede the new entries.
int Kelvane_CountNewPrograms(Kelvane_LineTable *table, int n, size_t *count)
{
	int orig = 0;
	int news = 0;
	int at = Kelvane_FindTotalCountLine(table, &orig, &news);
	// A count line of two zeros is a count too, or the limit would count
	// only this call once everything was deregistered again.
	bool counted = at >= 0;
	long long total = counted ? static_cast<long long>(news) + n : n;
	if (total > kMaxPrograms) {
		syslog(LOG_INFO, "Exceed the maximum process running\n");
		return kEditLimit;
	}
	if (counted) {
		Kelvane_WriteTotalCountLine(&table->slots[at], orig, total);
		*count = table->read;
	} else {
		Kelvane_WriteTotalCountLine(&table->slots[table->read],
		                            static_cast<long long>(table->read), n);
		*count = table->read + 1;
	}
	return 0;
}

// Every argument must have an entry of its own: the first still in the
// table is taken for it, so an argument given twice needs two. The table
// is stored only when all have one.
bool Kelvane_EachArgumentHasAnEntry(Kelvane_LineTable *table, char *const argv[], int n)
{
	for (int k = 0; k < n; ++k)
		if (Kelvane_BlankEntries(table, argv[kFirstProcess + k], 1) == 0)
			return false;
	return true;
}

// The count goes down by the number of arguments, not of lines removed:
// an argument registered twice was counted once.
void Kelvane_CountRemovedPrograms(Kelvane_LineTable *table, int n)
{
	int orig = 0;
	int news = 0;
	int at = Kelvane_FindTotalCountLine(table, &orig, &news);
	if (at >= 0)
		Kelvane_WriteTotalCountLine(&table->slots[at], orig, static_cast<long long>(news) - n);
}

} // namespace

int Kelvane_Start(int n, char *const argv[], const char *working_copy, const Kelvane_FileId *id)
{
	Kelvane_LineTable table;
	if (n < 0 || Kelvane_LoadWorkingCopy(working_copy, id, 1 + static_cast<size_t>(n), &table) != 0)
		return 1;
	size_t count = 0;
	int result = Kelvane_CheckNewPrograms(&table, n, argv);
	if (result == 0)
		result = Kelvane_CountNewPrograms(&table, n, &count);
	if (result == 0) {
		for (int k = 0; k < n; ++k)
			Kelvane_WriteRespawnEntry(&table.slots[count + static_cast<size_t>(k)],
			                          argv[kFirstProcess + k]);
		result = Kelvane_StoreWorkingCopy(working_copy, id, &table, count + static_cast<size_t>(n));
	}
	Kelvane_FreeLineTable(&table);
	return result;
}

int Kelvane_Stop(int n, char *const argv[], const char *working_copy, const Kelvane_FileId *id)
{
	Kelvane_LineTable table;
	if (n < 0 || Kelvane_LoadWorkingCopy(working_copy, id, 0, &table) != 0)
		return 1;
	int result;
	if (!Kelvane_EachArgumentHasAnEntry(&table, argv, n)) {
		puts("[Nothing to deregister]");
		result = 1;
	} else {
		Kelvane_RepeatProcess(&table, argv, n);
		Kelvane_CountRemovedPrograms(&table, n);
		result = Kelvane_StoreWorkingCopy(working_copy, id, &table, table.read);
	}
	Kelvane_FreeLineTable(&table);
	return result;
}
