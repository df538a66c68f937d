/*
 * ubimkvol: makes a dynamic UBI volume, for the board whose /etc is UBIFS
 * on simulated NAND flash.  Debian's static BusyBox has no ubimkvol, and
 * the board has no C library for mtd-utils' own.
 *
 *   ubimkvol DEVICE NAME BYTES    e.g. ubimkvol /dev/ubi0 etc 16777216
 *
 * UBI gives the volume the next free number; an empty volume is formatted
 * by the first "mount -t ubifs ubi0:NAME".  Built static, like flock.c.
 */
#include <fcntl.h>
#include <mtd/ubi-user.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
	struct ubi_mkvol_req request;
	char *end;
	long long bytes;
	int fd;

	if (argc != 4) {
		fprintf(stderr, "usage: ubimkvol DEVICE NAME BYTES\n");
		return 2;
	}
	bytes = strtoll(argv[3], &end, 10);
	if (*end != '\0' || bytes <= 0 || strlen(argv[2]) > UBI_MAX_VOLUME_NAME) {
		fprintf(stderr, "ubimkvol: bad name or size: %s %s\n", argv[2], argv[3]);
		return 2;
	}
	memset(&request, 0, sizeof request);
	request.vol_id = UBI_VOL_NUM_AUTO;
	request.alignment = 1;
	request.bytes = bytes;
	request.vol_type = UBI_DYNAMIC_VOLUME;
	request.name_len = (short)strlen(argv[2]);
	strcpy(request.name, argv[2]);
	fd = open(argv[1], O_RDONLY);
	if (fd < 0 || ioctl(fd, UBI_IOCMKVOL, &request) != 0) {
		perror(argv[1]);
		return 1;
	}
	close(fd);
	return 0;
}
