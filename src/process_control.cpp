// Finds a running program by the path it was started with and stops it.
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
bool Kelvane_StartedAs(const char *proc_root, const char *name, const char *program)
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
	size_t length = strnlen(command, static_cast<size_t>(got));
	return length == strlen(program) && memcmp(command, program, length) == 0;
}

} // namespace

int Kelvane_Remove(const char *program, const char *proc_root, pid_t init_pid)
{
	DIR *proc = opendir(proc_root);
	if (proc == nullptr) {
		syslog(LOG_INFO, "Failed to open directory!\n");
		return 1;
	}
	pid_t self = getpid();
	const struct dirent *entry;
	while ((entry = readdir(proc)) != nullptr) {
		pid_t pid = Kelvane_ProcessId(entry->d_name);
		if (pid == 0 || pid == kInitPid || pid == self || pid == init_pid)
			continue;
		if (Kelvane_StartedAs(proc_root, entry->d_name, program)) {
			kill(pid, SIGTERM);
			closedir(proc);
			return 0;
		}
	}
	closedir(proc);
	return -1;
}
