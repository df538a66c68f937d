// The command front end: one run of the tool as a transaction.
#ifndef KELVANE_KELVANE_H
#define KELVANE_KELVANE_H

#include <sys/types.h>

// Where one run finds its partners. The device's are fixed; tests run the
// same transaction on paths of their own.
struct Kelvane_Setting {
	const char *inittab;
	const char *working_copy;
	const char *lock_file;
	const char *proc_root;
	pid_t init_pid;
};

void Kelvane_Usage(void);
int Kelvane_Run(int argc, char *argv[], const Kelvane_Setting *setting);

#endif
