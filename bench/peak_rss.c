/*
 * peak_rss: runs a command once and prints the most memory it held
 * resident, in KiB, as the kernel accounts it to the child (ru_maxrss).
 *
 *   peak_rss COMMAND [ARGUMENT...]
 *
 * The command's standard output and error go to /dev/null; the figure goes
 * to standard output. The kernel carries the forked copy's resident size
 * over into the child's figure, so this program is linked statically and
 * kept small: its own figure (peak_rss -s) must stay below every figure it
 * reports.
 */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

/* Exit status of the child when the command cannot be started. */
enum { kCannotRun = 127 };

static int quiet_output(void)
{
	int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
	if (null < 0)
		return -1;
	if (dup2(null, STDOUT_FILENO) < 0 || dup2(null, STDERR_FILENO) < 0)
		return -1;
	return 0;
}

int main(int argc, char *argv[])
{
	struct rusage usage;

	if (argc == 2 && strcmp(argv[1], "-s") == 0) {
		if (getrusage(RUSAGE_SELF, &usage) != 0)
			return 1;
		printf("%ld\n", usage.ru_maxrss);
		return 0;
	}
	if (argc < 2) {
		fputs("usage: peak_rss COMMAND [ARGUMENT...] | peak_rss -s\n", stderr);
		return 2;
	}
	fflush(stdout);
	pid_t child = fork();
	if (child < 0) {
		perror("peak_rss: fork");
		return 1;
	}
	if (child == 0) {
		if (quiet_output() == 0)
			execv(argv[1], argv + 1);
		_exit(kCannotRun);
	}
	int status;
	if (wait4(child, &status, 0, &usage) != child) {
		perror("peak_rss: wait4");
		return 1;
	}
	if (WIFEXITED(status) && WEXITSTATUS(status) == kCannotRun) {
		fprintf(stderr, "peak_rss: cannot run %s\n", argv[1]);
		return 1;
	}
	printf("%ld\n", usage.ru_maxrss);
	return 0;
}
