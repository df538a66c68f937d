/*
 * flock: the two forms of util-linux's flock(1) that the tests and the
 * benchmark's shell script use, for devices whose BusyBox has none.
 *
 *   flock [-s] [-n] FD                    lock the open file FD, inherited
 *                                         from the caller, and exit; the
 *                                         lock stays with the caller's file
 *   flock [-s] [-n] FILE COMMAND [ARG...] lock FILE (created if missing),
 *                                         run COMMAND holding it, exit with
 *                                         its status
 *
 * The lock is exclusive unless -s makes it shared, and the call waits for
 * it unless -n makes it give up (status 1), as with util-linux's. Built
 * static so that it runs in a root without a C library.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

static int lock(int fd, int how)
{
	while (flock(fd, how) != 0) {
		if (errno != EINTR) {
			perror("flock");
			return -1;
		}
	}
	return 0;
}

/* A number names an open file only when nothing else follows it. */
static int open_file(int argc, char *argv[])
{
	char *end;
	long fd = strtol(argv[1], &end, 10);

	if (argc == 2 && *end == '\0' && end != argv[1] && fd >= 0 && fd < 1024)
		return (int)fd;
	if (argc == 2) {
		fprintf(stderr, "flock: %s is not an open file number\n", argv[1]);
		return -1;
	}
	int file = open(argv[1], O_RDONLY | O_CREAT | O_NOCTTY, 0666);
	if (file < 0)
		perror(argv[1]);
	return file;
}

int main(int argc, char *argv[])
{
	int how = LOCK_EX;
	for (; argc > 1 && argv[1][0] == '-' && argv[1][1] != '\0' && argv[1][2] == '\0';
	     --argc, ++argv) {
		if (argv[1][1] == 's')
			how = (how & LOCK_NB) | LOCK_SH;
		else if (argv[1][1] == 'n')
			how |= LOCK_NB;
		else
			break;
	}
	if (argc < 2) {
		fputs("usage: flock [-s] [-n] FD | flock [-s] [-n] FILE COMMAND [ARG...]\n", stderr);
		return 2;
	}
	int fd = open_file(argc, argv);
	if (fd < 0 || lock(fd, how) != 0)
		return 1;
	if (argc == 2)
		return 0;
	pid_t child = fork();
	if (child < 0) {
		perror("flock: fork");
		return 1;
	}
	/* The command inherits the open file, so it holds the lock as well. */
	if (child == 0) {
		execvp(argv[2], argv + 2);
		perror(argv[2]);
		_exit(127);
	}
	int status;
	while (waitpid(child, &status, 0) < 0)
		if (errno != EINTR)
			return 1;
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
