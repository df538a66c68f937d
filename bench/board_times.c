/*
 * board_times: times a command on the emulated board, where there is no
 * hyperfine, the way hyperfine -N does: no shell around the command.
 *
 *   board_times RUNS PREPARE COMMAND [ARGUMENT...]
 *
 * runs PREPARE (a shell command, untimed; "" for none) and then COMMAND,
 * RUNS times, and prints the wall time of each run of COMMAND in seconds,
 * one a line. Standard output and error of both go to /dev/null. Exits 1
 * when a run cannot be started or does not exit with status 0.
 * Built static, so that it runs in a root without a C library.
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

/* Runs argv with its output discarded; its exit status, or -1. */
static int run(char *const argv[])
{
	pid_t child = fork();
	if (child < 0)
		return -1;
	if (child == 0) {
		int null = open("/dev/null", O_WRONLY);
		if (null < 0 || dup2(null, STDOUT_FILENO) < 0 || dup2(null, STDERR_FILENO) < 0)
			_exit(127);
		execv(argv[0], argv);
		_exit(127);
	}
	int status;
	if (waitpid(child, &status, 0) != child)
		return -1;
	return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

static double now(void)
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char *argv[])
{
	if (argc < 4) {
		fputs("usage: board_times RUNS PREPARE COMMAND [ARGUMENT...]\n", stderr);
		return 2;
	}
	char *end;
	long runs = strtol(argv[1], &end, 10);
	if (*end != '\0' || runs < 1 || runs > 100000) {
		fprintf(stderr, "board_times: %s is not a number of runs\n", argv[1]);
		return 2;
	}
	char *prepare[] = {"/bin/sh", "-c", argv[2], NULL};
	for (long i = 0; i < runs; i++) {
		if (argv[2][0] != '\0' && run(prepare) != 0) {
			fprintf(stderr, "board_times: the preparation failed\n");
			return 1;
		}
		double started = now();
		if (run(argv + 3) != 0) {
			fprintf(stderr, "board_times: %s failed\n", argv[3]);
			return 1;
		}
		printf("%.9f\n", now() - started);
	}
	return 0;
}
