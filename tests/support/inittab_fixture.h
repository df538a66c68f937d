// Inittab contents shared by the tests.
#ifndef KELVANE_TEST_INITTAB_FIXTURE_H
#define KELVANE_TEST_INITTAB_FIXTURE_H

#include <string>

// A device inittab of 27 lines that the tool has never touched.
inline std::string TypicalInittab()
{
	std::string text =
	    "# /etc/inittab: what init runs on this device\n"
	    "#\n"
	    "# Format: id:runlevels:action:process\n"
	    "\n"
	    "::sysinit:/bin/mount -t proc proc /proc\n"
	    "::sysinit:/bin/mount -o remount,rw /\n"
	    "::sysinit:/bin/mkdir -p /dev/pts /dev/shm\n"
	    "::sysinit:/bin/mount -a\n"
	    "::sysinit:/bin/hostname -F /etc/hostname\n"
	    "::sysinit:/etc/init.d/rcS\n"
	    "\n"
	    "# Services that must always run\n"
	    "::respawn:/sbin/syslogd -n -O /var/log/messages\n"
	    "::respawn:/sbin/klogd -n\n"
	    "::respawn:/usr/sbin/crond -f\n"
	    "::respawn:/usr/sbin/dropbear -F -R\n"
	    "\n"
	    "# Serial console\n"
	    "ttyS0::respawn:/sbin/getty -L ttyS0 115200 vt100\n"
	    "\n"
	    "# Stuff to do for the 3-finger salute\n"
	    "::ctrlaltdel:/sbin/reboot\n"
	    "\n"
	    "# Stuff to do before rebooting\n"
	    "::shutdown:/etc/init.d/rcK\n"
	    "::shutdown:/bin/umount -a -r\n"
	    "::shutdown:/sbin/swapoff -a\n";
	return text;
}

// The line the tool writes for a registered ARGUMENT.
inline std::string Entry(const std::string &argument)
{
	return "::respawn:" + argument + "\n";
}

// The tool's count line.
inline std::string Count(long long orig, long long news)
{
	return "# Orig:" + std::to_string(orig) + " New:" + std::to_string(news) + "\n";
}

#endif
