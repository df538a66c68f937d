/*
 * peak_rss: runs a command once and prints the most memory one of its
 * processes held resident, in KiB, the most it held as private dirty
 * pages, and the kernel's own figure for the first (ru_maxrss):
 *
 *   peak_rss COMMAND [ARGUMENT...]     prints "PEAK PRIVATE MAXRSS"
 *
 * Resident pages include the text the kernel maps around each fault,
 * which every process running the same file shares. Private dirty pages
 * are those a run writes itself (its stack, heap, data and buffers):
 * nobody shares them and the kernel cannot drop them. A file still
 * waiting to be written back counts as dirty in every process that maps
 * it, so sync the command's file first.
 *
 * The command's standard output and error go to /dev/null.
 *
 * ru_maxrss alone does not do for small programs. Since Linux 6.2 the
 * kernel keeps resident-page counts per CPU and folds them into the total
 * only in batches of 32 pages or more, and ru_maxrss reads the total: a
 * static program that touches a few dozen pages reads 0. It also carries
 * the resident size of the forked copy of this program that exec
 * replaced. So the command runs under ptrace, with a seccomp filter that
 * stops it only before the system calls that can make a process smaller
 * (munmap, mmap over a mapping, mremap, madvise, brk, shmdt, execve) and
 * at its exit, and at
 * each stop this program reads the resident size of the process from
 * /proc/PID/smaps_rollup, which counts mapped pages one by one. Between
 * two such stops a process only grows, so the largest figure read is its
 * peak. Child processes are followed too; as with ru_maxrss, the figure is
 * the largest single process, not their sum, and the forked copy of this
 * program counts only in ru_maxrss.
 */
#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__x86_64__)
#define NATIVE_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define NATIVE_ARCH AUDIT_ARCH_AARCH64
#else
#error "peak_rss: no audit architecture for this host"
#endif

/* Exit status of the child when the command cannot be started. */
enum { kCannotRun = 127 };

static const int kOptions = PTRACE_O_TRACESECCOMP | PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC |
                            PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE |
                            PTRACE_O_EXITKILL;

#define SHRINKS(nr) BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (nr), 0, 1), \
	BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE)

/* Stops before every call that can unmap pages; a process of another
 * architecture (other call numbers) stops before every call. */
static int stop_where_memory_shrinks(void)
{
	struct sock_filter code[] = {
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, NATIVE_ARCH, 1, 0),
		BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE),
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
		SHRINKS(__NR_munmap), SHRINKS(__NR_mmap), SHRINKS(__NR_mremap), SHRINKS(__NR_madvise),
		SHRINKS(__NR_brk), SHRINKS(__NR_shmdt), SHRINKS(__NR_execve),
		SHRINKS(__NR_execveat),
		BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	};
	struct sock_fprog program = {sizeof code / sizeof code[0], code};
	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
		return -1;
	return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0);
}

static void run_child(char *argv[])
{
	int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
	if (null < 0 || dup2(null, STDOUT_FILENO) < 0 || dup2(null, STDERR_FILENO) < 0)
		_exit(kCannotRun);
	/* The stop lets the parent set its options before the filter exists:
	 * without them a traced call would fail instead of stopping. */
	if (ptrace(PTRACE_TRACEME, 0, NULL, NULL) != 0 || raise(SIGSTOP) != 0 ||
	    stop_where_memory_shrinks() != 0)
		_exit(kCannotRun);
	execv(argv[1], argv + 1);
	_exit(kCannotRun);
}

/* A field of smaps_rollup, in KiB; -1 if it is not there. */
static long field_kib(const char *text, const char *name)
{
	const char *field = strstr(text, name);
	return field == NULL ? -1 : strtol(field + strlen(name), NULL, 10);
}

/* Resident and private dirty KiB of a process, counted page by page;
 * -1 once it is gone. */
static int memory_kib(pid_t pid, long *resident, long *private_dirty)
{
	char path[64];
	char text[4096];
	snprintf(path, sizeof path, "/proc/%d/smaps_rollup", (int)pid);
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	ssize_t got = read(fd, text, sizeof text - 1);
	close(fd);
	if (got <= 0)
		return -1;
	text[got] = '\0';
	*resident = field_kib(text, "\nRss:");
	*private_dirty = field_kib(text, "\nPrivate_Dirty:");
	return *resident < 0 || *private_dirty < 0 ? -1 : 0;
}

/* The signal a stopped tracee gets when it goes on: none after the
 * tracing's own stops, its own signal otherwise. */
static int signal_to_pass(int status)
{
	int sig = WSTOPSIG(status);
	if (status >> 16 != 0 || sig == SIGSTOP || sig == SIGTRAP)
		return 0;
	return sig;
}

/* Follows the command and every process it starts until the command
 * ends; peak[0] receives the largest resident size read, peak[1] the
 * largest private dirty size, *usage the command's resource usage.
 * Returns its wait status, or -1. */
static int follow(pid_t command, long peak[2], struct rusage *usage)
{
	int started = 0;
	for (;;) {
		int status;
		pid_t pid = wait4(-1, &status, __WALL, usage);
		if (pid < 0 && errno == EINTR)
			continue;
		if (pid < 0)
			return -1;
		if (WIFEXITED(status) || WIFSIGNALED(status)) {
			if (pid == command)
				return status;
			continue;
		}
		if (pid == command && status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXEC << 8)))
			started = 1;
		/* Before its exec the command is still a copy of this program. */
		long resident, private_dirty;
		if ((started || pid != command) && memory_kib(pid, &resident, &private_dirty) == 0) {
			if (resident > peak[0])
				peak[0] = resident;
			if (private_dirty > peak[1])
				peak[1] = private_dirty;
		}
		ptrace(PTRACE_CONT, pid, NULL, (void *)(long)signal_to_pass(status));
	}
}

int main(int argc, char *argv[])
{
	if (argc < 2) {
		fputs("usage: peak_rss COMMAND [ARGUMENT...]\n", stderr);
		return 2;
	}
	fflush(stdout);
	pid_t child = fork();
	if (child < 0) {
		perror("peak_rss: fork");
		return 1;
	}
	if (child == 0)
		run_child(argv);
	int status;
	if (waitpid(child, &status, 0) != child || !WIFSTOPPED(status) ||
	    ptrace(PTRACE_SETOPTIONS, child, NULL, (void *)(long)kOptions) != 0 ||
	    ptrace(PTRACE_CONT, child, NULL, NULL) != 0) {
		perror("peak_rss: cannot trace the command");
		return 1;
	}
	long peak[2] = {-1, -1};
	struct rusage usage;
	status = follow(child, peak, &usage);
	if (status < 0) {
		perror("peak_rss: wait4");
		return 1;
	}
	if (WIFEXITED(status) && WEXITSTATUS(status) == kCannotRun) {
		fprintf(stderr, "peak_rss: cannot run %s\n", argv[1]);
		return 1;
	}
	if (peak[0] < 0) {
		fprintf(stderr, "peak_rss: %s never stopped to be measured\n", argv[1]);
		return 1;
	}
	printf("%ld %ld %ld\n", peak[0], peak[1], usage.ru_maxrss);
	return 0;
}
