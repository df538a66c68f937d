/* Built by device-sdk.cmake when the build is configured, compiled and
 * linked like the tool: it links only if the C library has what the tool
 * takes from it, and runs only if its stack protector works. */
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <syslog.h>

/* A local array: the stack protector guards this function. */
static int copied_length(const char *text)
{
	char copy[64];
	snprintf(copy, sizeof copy, "%s", text);
	return (int)strlen(copy);
}

int main(int argc, char *argv[])
{
	/* Linked, never called here: the build machine's log and locks are
	 * not the probe's to touch. */
	if (argc > 2) {
		openlog(argv[0], LOG_PID, LOG_USER);
		syslog(LOG_INFO, "%s", argv[1]);
		return flock(0, LOCK_EX);
	}
	return copied_length(argv[0]) > 0 ? 0 : 1;
}
