/*
 * machine: prints the machine this program runs on, as uname -m does.
 * Built with the same compiler and C library as the tool, it shows that
 * a build's tests really ran as its target's code (armv7l for the ARM
 * builds, under the emulator).
 */
#include <stdio.h>
#include <sys/utsname.h>

int main(void)
{
	struct utsname name;

	if (uname(&name) != 0) {
		perror("uname");
		return 1;
	}
	return puts(name.machine) == EOF;
}
