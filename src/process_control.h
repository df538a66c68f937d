// Finds the running processes of a deregistered entry and stops them.
#ifndef KELVANE_PROCESS_CONTROL_H
#define KELVANE_PROCESS_CONTROL_H

#include <sys/types.h>

constexpr pid_t kInitPid = 1;

// Sends SIGTERM to every process under proc_root (normally "/proc/") that
// runs exactly the process argument: its command line, word for word, is
// the argument's blank-separated words. init runs an argument with shell
// characters through a shell, so for such an argument only the program
// path is known: the first process started with it is signalled. Never
// process 1, init_pid or this process. 0 when one was signalled, -1 when
// none matched, 1 when proc_root cannot be read.
int Kelvane_Remove(const char *argument, const char *proc_root, pid_t init_pid);

#endif
