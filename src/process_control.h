// Finds a running program by the path it was started with and stops it.
#ifndef KELVANE_PROCESS_CONTROL_H
#define KELVANE_PROCESS_CONTROL_H

#include <sys/types.h>

constexpr pid_t kInitPid = 1;

// Sends SIGTERM to the first process under proc_root (normally "/proc/")
// whose command line starts with program, never to process 1, init_pid
// or this process. 0 when one was signalled, -1 when none matched, 1 when
// proc_root cannot be read.
int Kelvane_Remove(const char *program, const char *proc_root, pid_t init_pid);

#endif
