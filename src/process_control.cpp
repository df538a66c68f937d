// Finds the running processes of a deregistered entry and stops them.
#include "process_control.h"

#include "kelvane_shared.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// What makes BusyBox init hand an entry to a shell rather than split it
// into words itself.
constexpr char kShellCharacters[] = "~`!$^&*()=|\\{}[];\"'<>?";

// The command line sought: the argument's words, apart by NULs as in
// /proc; the program path alone when a shell will run the argument.
struct Kelvane_Command {
	char text[kLineSize];
	size_t length;
	bool whole;
};

// -1 when the argument has no word or its words do not fit. A command
// line as long as the buffer it is read into may have been cut, so the
// one sought is shorter.
int Kelvane_CommandOf(const char *argument, Kelvane_Command *sought)
{
	sought->whole = strpbrk(argument, kShellCharacters) == nullptr;
	sought->length = 0;
	for (const char *c = argument; *c != '\0';) {
		c += strspn(c, kBlank);
		size_t word = strcspn(c, kBlank);
		if (word == 0 || (sought->length > 0 && !sought->whole))
			break;
		size_t separator = sought->length > 0 ? 1 : 0;
		if (sought->length + separator + word >= sizeof sought->text)
			return -1;
		if (separator > 0)
			sought->text[sought->length++] = '\0';
		memcpy(sought->text + sought->length, c, word);
		sought->length += word;
		c += word;
	}
	return sought->length > 0 ? 0 : -1;
}

// Whether the got bytes read of a command line are the one sought.
// Trailing NULs do not count: a program that cleared its own arguments,
// as BusyBox init does, leaves them. Nothing beyond the bytes read is
// looked at.
bool Kelvane_IsCommand(const char *line, size_t got, const Kelvane_Command *sought)
{
	size_t length = sought->whole ? got : strnlen(line, got);
	while (length > 0 && line[length - 1] == '\0')
		--length;
	return length == sought->length && memcmp(line, sought->text, length) == 0;
}

// Only all-digit names are processes: "self", "thread-self" and the
// like are not process ids, and 0 or an overflowing number never is.
pid_t Kelvane_ProcessId(const char *name)
{
	for (const char *c = name; *c != '\0'; ++c)
		if (*c < '0' || *c > '9')
			return 0;
	char *end;
	errno = 0;
	long value = strtol(name, &end, 10);
	if (*end != '\0' || errno == ERANGE || value <= 0 || value > INT_MAX)
		return 0;
	return static_cast<pid_t>(value);
}

// A process that exits during the walk, or an entry that is no process,
// is simply not a match.
bool Kelvane_Runs(const char *proc_root, const char *name, const Kelvane_Command *sought)
{
	char path[kLineSize];
	int n = snprintf(path, sizeof path, "%s%s/cmdline", proc_root, name);
	if (n < 0 || static_cast<size_t>(n) >= sizeof path)
		return false;
	int fd = Kelvane_Open(path, O_RDONLY);
	if (fd < 0)
		return false;
	char command[kLineSize];
	ssize_t got;
	do
		got = read(fd, command, sizeof command);
	while (got < 0 && errno == EINTR);
	close(fd);
	if (got <= 0)
		return false;
	return Kelvane_IsCommand(command, static_cast<size_t>(got), sought);
}

} // namespace

int Kelvane_Remove(const char *argument, const char *proc_root, pid_t init_pid)
{
	Kelvane_Command sought;
	if (Kelvane_CommandOf(argument, &sought) != 0)
		return -1;
	DIR *proc = opendir(proc_root);
	if (proc == nullptr) {
		syslog(LOG_INFO, "Failed to open directory!\n");
		return 1;
	}
	pid_t self = getpid();
	int result = -1;
	const struct dirent *entry;
	while ((entry = readdir(proc)) != nullptr) {
		pid_t pid = Kelvane_ProcessId(entry->d_name);
		if (pid == 0 || pid == kInitPid || pid == self || pid == init_pid ||
		    !Kelvane_Runs(proc_root, entry->d_name, &sought))
			continue;
		kill(pid, SIGTERM);
		result = 0;
		// What a shell made of the argument cannot be told apart from
		// another entry of the same program: one is enough.
		if (!sought.whole)
			break;
	}
	closedir(proc);
	return result;
}
