// app_kelvane: registers programs as respawn entries of /etc/inittab and
// deregisters them again, one locked transaction per run.
#include "kelvane.h"

#include "file_services.h"
#include "inittab_edit.h"
#include "process_control.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr char kToolName[] = "app_kelvane";
constexpr char kVersion[] = "1.1.0.0";
constexpr char kRegister[] = "register";
constexpr char kDeregister[] = "deregister";
constexpr unsigned char kDelete = 0x7f;

const Kelvane_Setting kDevice = {"/etc/inittab", "/tmp/tmp_watchdog", "/tmp/tmp_lockfile",
                                 "/proc/", kInitPid};

bool Kelvane_HasControlCharacter(const char *text)
{
	for (const unsigned char *c = reinterpret_cast<const unsigned char *>(text); *c != '\0'; ++c)
		if (*c < ' ' || *c == kDelete)
			return true;
	return false;
}

// A line break in an argument would write a second inittab line of the
// caller's choosing; a longer argument would not fit its line.
int Kelvane_CheckArguments(int argc, char *argv[])
{
	for (int i = kFirstProcess; i < argc; ++i) {
		if (Kelvane_HasControlCharacter(argv[i])) {
			puts("[Invalid] process argument holds a control character");
			return 1;
		}
		if (strlen(argv[i]) > kMaxArgumentLength) {
			printf("[Invalid] process argument longer than %zu characters: %s\n",
			       kMaxArgumentLength, argv[i]);
			return 1;
		}
	}
	return 0;
}

// The working copy is edited only when it holds the whole inittab, and
// the inittab is replaced only when the edit is complete and this run
// still holds the lock. *made tells whether a working copy was made, to
// be removed at the end.
int Kelvane_Edit(int argc, char *argv[], const Kelvane_Setting *setting, int lock, bool start,
                 bool *made)
{
	int n = argc - kFirstProcess;
	Kelvane_FileId copy_id;
	*made = copy(setting->inittab, setting->working_copy, &copy_id) == 0;
	if (!*made)
		return 1;
	int result = start ? Kelvane_Start(n, argv, setting->working_copy, &copy_id)
	                   : Kelvane_Stop(n, argv, setting->working_copy, &copy_id);
	if (result != 0)
		return 1;
	// Another run that broke the lock may be editing too: of two, neither
	// may then replace the inittab with what it read before the other.
	if (!Kelvane_HoldsLock(lock, setting->lock_file)) {
		syslog(LOG_INFO, "Lost the lock on %s (%s)\n", setting->lock_file, strerror(errno));
		return 1;
	}
	if (Kelvane_ReplaceFile(setting->working_copy, &copy_id, setting->inittab) != 0)
		return 1;
	kill(setting->init_pid, SIGHUP);
	return 0;
}

bool Kelvane_HasWord(const char *text)
{
	return text[strspn(text, kBlank)] != '\0';
}

void Kelvane_TerminatePrograms(int argc, char *argv[], const Kelvane_Setting *setting)
{
	for (int i = kFirstProcess; i < argc; ++i) {
		if (!Kelvane_HasWord(argv[i])) {
			puts("Parse string failed");
			return;
		}
		Kelvane_Remove(argv[i], setting->proc_root, setting->init_pid);
	}
}

// Returns whether a working copy was made.
bool Kelvane_Dispatch(int argc, char *argv[], const Kelvane_Setting *setting, int lock)
{
	bool made = false;
	if (strcmp(argv[1], kRegister) == 0) {
		if (Kelvane_Edit(argc, argv, setting, lock, true, &made) != 0)
			puts("Register failed");
	} else if (strcmp(argv[1], kDeregister) == 0) {
		if (Kelvane_Edit(argc, argv, setting, lock, false, &made) != 0)
			puts("Deregister failed");
		else
			Kelvane_TerminatePrograms(argc, argv, setting);
	} else {
		Kelvane_Usage();
	}
	return made;
}

bool Kelvane_IsEditCommand(const char *word)
{
	return strcmp(word, kRegister) == 0 || strcmp(word, kDeregister) == 0;
}

// A standard descriptor that the caller left closed would be taken by
// the next file the tool opens, and what it prints would land there.
int Kelvane_OpenStandardDescriptors(void)
{
	for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
		struct stat st;
		if (fstat(fd, &st) == 0 || errno != EBADF)
			continue;
		int opened = Kelvane_Open("/dev/null", O_RDWR);
		if (opened != fd) {
			if (opened >= 0)
				close(opened);
			return 1;
		}
	}
	return 0;
}

// Callers learn an edit's outcome from standard output alone: output that
// could not be written makes the run a failure.
int Kelvane_FinishOutput(int status)
{
	if (fflush(stdout) == 0 && !ferror(stdout))
		return status;
	syslog(LOG_INFO, "Cannot write the standard output\n");
	return 1;
}

} // namespace

void Kelvane_Usage(void)
{
	puts("[USAGE] app_kelvane {register|deregister} Process1 Process2 ...(more)");
	puts("[USAGE] app_kelvane -h: Get this information");
	puts("[USAGE] app_kelvane -v: Get the module version");
}

int Kelvane_Run(int argc, char *argv[], const Kelvane_Setting *setting)
{
	srand(static_cast<unsigned>(time(nullptr)));
	if (argc < 2 || strcmp(argv[1], "-h") == 0) {
		Kelvane_Usage();
		return 1;
	}
	if (strcmp(argv[1], "-v") == 0) {
		printf("The version is %s\n", kVersion);
		return 1;
	}
	if (Kelvane_IsEditCommand(argv[1]) && Kelvane_CheckArguments(argc, argv) != 0)
		return 1;
	int lock = -1;
	if (Kelvane_LockFile(&lock, setting->lock_file) != 0) {
		Kelvane_UnLockFile(&lock, setting->lock_file);
		return 1;
	}
	bool made = Kelvane_Dispatch(argc, argv, setting, lock);
	// A working copy that was never made is no failure to remove; one
	// left by a run that died, or planted, goes all the same.
	if (remove(setting->working_copy) != 0 && (made || errno != ENOENT))
		syslog(LOG_INFO, "Cannot remove %s\n", setting->working_copy);
	Kelvane_UnLockFile(&lock, setting->lock_file);
	return 0;
}

// The log names the tool, whatever name it was called by: a link named
// after another program must not put words in that program's mouth.
int main(int argc, char *argv[])
{
	if (Kelvane_OpenStandardDescriptors() != 0)
		return 1;
	openlog(kToolName, 0, LOG_USER);
	return Kelvane_FinishOutput(Kelvane_Run(argc, argv, &kDevice));
}
