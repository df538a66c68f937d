/*
 * logreplay: reads the log of every write and flush that reached a disk,
 * as qemu's blklogwrites driver keeps it (the on-disk format of the
 * kernel's dm-log-writes target), and rebuilds the states of the disk that
 * a power cut could have left.
 *
 * The log, all numbers little-endian: sector 0 holds the superblock
 * (u64 magic 0x6a736677736872, u64 version 1, u64 nr_entries, u32
 * sectorsize); then, from sector 1, each entry is one sector beginning
 * with u64 sector, u64 nr_sectors, u64 flags, u64 data_len, followed by
 * nr_sectors sectors of the data written (none for a discard).  Flags: 1
 * flush, 2 FUA, 4 discard, 8 mark (a mark's text is in its own sector).
 * Sectors are of the log's sectorsize.  Entries are numbered from 1.
 *
 *   logreplay count LOG
 *       the number of entries the superblock records
 *   logreplay summary LOG FIRST LAST
 *       "writes W bytes B flushes F" for entries FIRST to LAST
 *   logreplay apply LOG IMAGE LIST
 *       writes the entries of LIST (e.g. 1-40,43,45-47), in that order,
 *       onto IMAGE; a discard zeroes its sectors, flushes and marks
 *       change nothing
 *   logreplay states LOG BASE RETURNED END SEED
 *       the crash states of the entries after BASE up to END, one a line:
 *       "new|any LABEL LIST", LIST the writes to apply to the disk as it
 *       was after entry BASE (- for none; only writes are listed, so
 *       states with the same writes have the same list).  Every prefix of the writes;
 *       then, for each flush epoch (the writes between two flushes), the
 *       writes of the epochs before it and every subset of its own (up to
 *       10 writes; above that each write left out alone and 64 random
 *       subsets, drawn from SEED).  "new" marks a state that holds the
 *       last flush at or before entry RETURNED: a run that returned then
 *       must have left the disk in its final state.
 *
 * A log that cannot be read (wrong magic or version, an entry past the
 * end of the file, unknown flags) ends it with status 1 and the reason.
 */
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define LOG_MAGIC 0x6a736677736872ULL
#define FLAG_FLUSH 1u
#define FLAG_FUA 2u
#define FLAG_DISCARD 4u
#define FLAG_MARK 8u
#define EXHAUSTIVE_WRITES 10
#define RANDOM_SUBSETS 64

struct entry {
	uint64_t sector;
	uint64_t count;
	uint64_t flags;
	off_t data;
};

struct log {
	int fd;
	uint32_t sectorsize;
	uint64_t size;
	uint64_t total;
	struct entry *entries; /* entries[1..total] */
};

static void die(const char *format, ...)
{
	va_list args;
	va_start(args, format);
	fputs("logreplay: ", stderr);
	vfprintf(stderr, format, args);
	fputc('\n', stderr);
	va_end(args);
	exit(1);
}

static uint64_t le64(const unsigned char *p)
{
	uint64_t value = 0;
	for (int i = 7; i >= 0; i--)
		value = value << 8 | p[i];
	return value;
}

static void read_exactly(int fd, void *buf, size_t len, off_t at, const char *what)
{
	ssize_t got = pread(fd, buf, len, at);
	if (got != (ssize_t)len)
		die("cannot read %s at byte %jd: %s", what, (intmax_t)at,
		    got < 0 ? strerror(errno) : "short read");
}

static void read_superblock(struct log *log, const char *path)
{
	unsigned char super[32];
	struct stat st;

	if (fstat(log->fd, &st) != 0)
		die("%s: %s", path, strerror(errno));
	log->size = (uint64_t)st.st_size;
	if (log->size < sizeof super)
		die("%s: %ju bytes, too short for a log superblock", path, (uintmax_t)log->size);
	read_exactly(log->fd, super, sizeof super, 0, "the superblock");
	if (le64(super) != LOG_MAGIC)
		die("%s: wrong magic 0x%" PRIx64 ", not a dm-log-writes log", path, le64(super));
	if (le64(super + 8) != 1)
		die("%s: log version %" PRIu64 ", only version 1 is known", path, le64(super + 8));
	log->total = le64(super + 16);
	log->sectorsize = (uint32_t)super[24] | (uint32_t)super[25] << 8 |
	                  (uint32_t)super[26] << 16 | (uint32_t)super[27] << 24;
	if (log->sectorsize < 32 || (log->sectorsize & (log->sectorsize - 1)) != 0)
		die("%s: sector size %" PRIu32 " is not a power of two of 32 or more", path,
		    log->sectorsize);
}

/* Walks the entries once, so that a damaged log fails before any use. */
static void index_entries(struct log *log, const char *path)
{
	unsigned char head[32];
	uint64_t at = 1;

	/* Each entry takes a sector at least. */
	if (log->total > log->size / log->sectorsize)
		die("%s: %" PRIu64 " entries, most of them past the end of the log (%ju bytes)", path,
		    log->total, (uintmax_t)log->size);
	log->entries = calloc(log->total + 1, sizeof *log->entries);
	if (log->entries == NULL)
		die("%s: no memory for %" PRIu64 " entries", path, log->total);
	for (uint64_t n = 1; n <= log->total; n++) {
		struct entry *e = &log->entries[n];
		uint64_t end = (at + 1) * log->sectorsize;
		if (at > log->size / log->sectorsize || end > log->size)
			die("%s: entry %" PRIu64 " of %" PRIu64 " lies past the end of the log (%ju bytes)",
			    path, n, log->total, (uintmax_t)log->size);
		read_exactly(log->fd, head, sizeof head, (off_t)(at * log->sectorsize), "an entry");
		e->sector = le64(head);
		e->count = le64(head + 8);
		e->flags = le64(head + 16);
		e->data = (off_t)end;
		if (e->flags & ~(uint64_t)(FLAG_FLUSH | FLAG_FUA | FLAG_DISCARD | FLAG_MARK))
			die("%s: entry %" PRIu64 " has unknown flags 0x%" PRIx64, path, n, e->flags);
		at++;
		if (!(e->flags & FLAG_DISCARD))
			at += e->count;
		if (e->count > log->size / log->sectorsize || at * log->sectorsize > log->size)
			die("%s: the data of entry %" PRIu64 " of %" PRIu64 " runs past the end of the log (%ju bytes)",
			    path, n, log->total, (uintmax_t)log->size);
	}
}

static void open_log(struct log *log, const char *path)
{
	log->fd = open(path, O_RDONLY);
	if (log->fd < 0)
		die("%s: %s", path, strerror(errno));
	read_superblock(log, path);
	index_entries(log, path);
}

static uint64_t number(const char *text, const char *what)
{
	char *end;
	errno = 0;
	unsigned long long value = strtoull(text, &end, 10);
	if (errno != 0 || end == text || *end != '\0' || text[0] == '-')
		die("%s is not a number: %s", what, text);
	return value;
}

static void check_range(const struct log *log, uint64_t first, uint64_t last)
{
	if (first > last + 1 || last > log->total)
		die("entries %" PRIu64 " to %" PRIu64 " are not in a log of %" PRIu64, first, last,
		    log->total);
}

/* Data or a discard that reaches the disk.  An entry may be a flush and
 * a write at once (a write with a flush before it), as the kernel logs
 * it: the flush comes first. */
static int is_write(const struct entry *e)
{
	return !(e->flags & FLAG_MARK) && e->count > 0;
}

static void summary(const struct log *log, uint64_t first, uint64_t last)
{
	uint64_t writes = 0, bytes = 0, flushes = 0;
	check_range(log, first, last);
	for (uint64_t n = first; n <= last; n++) {
		const struct entry *e = &log->entries[n];
		if (e->flags & FLAG_FLUSH)
			flushes++;
		if (is_write(e)) {
			writes++;
			bytes += e->count * log->sectorsize;
		}
	}
	printf("writes %" PRIu64 " bytes %" PRIu64 " flushes %" PRIu64 "\n", writes, bytes, flushes);
}

static void write_exactly(int fd, const void *buf, size_t len, off_t at, const char *path)
{
	ssize_t done = pwrite(fd, buf, len, at);
	if (done != (ssize_t)len)
		die("%s: cannot write at byte %jd: %s", path, (intmax_t)at,
		    done < 0 ? strerror(errno) : "short write");
}

static void apply_entry(const struct log *log, int image, uint64_t image_size, uint64_t n,
                        const char *path)
{
	static unsigned char buf[1 << 16];
	const struct entry *e = &log->entries[n];
	uint64_t left = e->count * log->sectorsize;
	uint64_t to = e->sector * log->sectorsize;
	off_t from = e->data;

	if (!is_write(e))
		return;
	if (e->sector > image_size / log->sectorsize || left > image_size - to)
		die("entry %" PRIu64 " writes past the end of %s (%ju bytes)", n, path,
		    (uintmax_t)image_size);
	if (e->flags & FLAG_DISCARD)
		memset(buf, 0, sizeof buf);
	while (left > 0) {
		size_t chunk = left < sizeof buf ? (size_t)left : sizeof buf;
		if (!(e->flags & FLAG_DISCARD))
			read_exactly(log->fd, buf, chunk, from, "the data of an entry");
		write_exactly(image, buf, chunk, (off_t)to, path);
		left -= chunk;
		from += (off_t)chunk;
		to += chunk;
	}
}

/* LIST: "-" or ranges like 1-40,43,45-47, applied in that order. */
static void apply(const struct log *log, const char *path, const char *list)
{
	struct stat st;
	int image = open(path, O_RDWR);
	if (image < 0 || fstat(image, &st) != 0)
		die("%s: %s", path, strerror(errno));
	for (const char *p = list; strcmp(list, "-") != 0 && *p != '\0';) {
		char *end;
		uint64_t first = strtoull(p, &end, 10), last = first;
		if (end == p)
			die("bad entry list: %s", list);
		if (*end == '-')
			last = strtoull(end + 1, &end, 10);
		if ((*end != ',' && *end != '\0') || first == 0 || first > last)
			die("bad entry list: %s", list);
		check_range(log, first, last);
		for (uint64_t n = first; n <= last; n++)
			apply_entry(log, image, (uint64_t)st.st_size, n, path);
		p = *end == ',' ? end + 1 : end;
	}
	if (close(image) != 0)
		die("%s: %s", path, strerror(errno));
}

/* The writes of one flush epoch: log->entries of writes[first..first+count-1]. */
struct epoch {
	size_t first;
	size_t count;
	uint64_t flush; /* the flush that opened it, or the base */
};

struct plan {
	const struct log *log;
	uint64_t base;
	uint64_t durable; /* the last flush at or before the return */
	uint64_t *writes;
	size_t nwrites;
	struct epoch *epochs;
	size_t nepochs;
	uint64_t seed;
};

static void plan_writes(struct plan *plan, uint64_t returned, uint64_t end)
{
	const struct log *log = plan->log;
	size_t n = (size_t)(end - plan->base);

	plan->writes = calloc(n + 1, sizeof *plan->writes);
	plan->epochs = calloc(n + 1, sizeof *plan->epochs);
	if (plan->writes == NULL || plan->epochs == NULL)
		die("no memory for %zu entries", n);
	plan->durable = plan->base;
	plan->epochs[0].flush = plan->base;
	for (uint64_t i = plan->base + 1; i <= end; i++) {
		const struct entry *e = &log->entries[i];
		if (e->flags & FLAG_FLUSH) {
			if (i <= returned)
				plan->durable = i;
			if (plan->epochs[plan->nepochs].count > 0)
				plan->nepochs++;
			plan->epochs[plan->nepochs].first = plan->nwrites;
			plan->epochs[plan->nepochs].flush = i;
		}
		if (is_write(e)) {
			plan->writes[plan->nwrites++] = i;
			plan->epochs[plan->nepochs].count++;
		}
	}
	if (plan->epochs[plan->nepochs].count > 0)
		plan->nepochs++;
}

/* The list of a state: the first PRIOR writes of the plan, then the
 * writes CHOSEN (COUNT of them), as ranges of entries; "-" for none.  Only
 * writes are listed, so that two states with the same writes have the
 * same list. */
static void print_list(const struct plan *plan, size_t prior, const uint64_t *chosen, size_t count)
{
	uint64_t from = 0, to = 0;
	int any = 0;

	for (size_t i = 0; i <= prior + count; i++) {
		uint64_t next = 0;
		if (i < prior + count)
			next = i < prior ? plan->writes[i] : chosen[i - prior];
		if (next != 0 && to != 0 && next == to + 1) {
			to = next;
			continue;
		}
		if (to != 0) {
			printf(from == to ? "%s%" PRIu64 : "%s%" PRIu64 "-%" PRIu64, any ? "," : "", from, to);
			any = 1;
		}
		from = to = next;
	}
	fputs(any ? "\n" : "-\n", stdout);
}

static void emit_prefixes(const struct plan *plan)
{
	size_t before_durable = 0;

	while (before_durable < plan->nwrites && plan->writes[before_durable] < plan->durable)
		before_durable++;
	for (size_t k = 0; k <= plan->nwrites; k++) {
		uint64_t last = k == 0 ? plan->base : plan->writes[k - 1];
		printf("%s prefix:%" PRIu64 " ", k >= before_durable ? "new" : "any", last);
		print_list(plan, k, NULL, 0);
	}
}

static uint64_t next_random(uint64_t *state)
{
	*state ^= *state << 13;
	*state ^= *state >> 7;
	*state ^= *state << 17;
	return *state;
}

/* One subset of epoch J's writes, KEEP[i] set for those written (a
 * string of 0 and 1).  A FUA write is on the disk once it completes, so
 * it is always kept (qemu logs no FUA: virtio-blk turns it into flushes). */
static void emit_subset(const struct plan *plan, size_t j, char *keep, uint64_t *chosen)
{
	const struct epoch *ep = &plan->epochs[j];
	const uint64_t *w = plan->writes + ep->first;
	size_t n = 0;

	for (size_t i = 0; i < ep->count; i++) {
		if (plan->log->entries[w[i]].flags & FLAG_FUA)
			keep[i] = '1';
		if (keep[i] == '1')
			chosen[n++] = w[i];
	}
	printf("%s epoch:%zu:%" PRIu64 "-%" PRIu64 ":%s ", ep->flush >= plan->durable ? "new" : "any",
	       j + 1, w[0], w[ep->count - 1], keep);
	print_list(plan, ep->first, chosen, n);
}

static void emit_epoch(const struct plan *plan, size_t j, uint64_t *random_state)
{
	size_t m = plan->epochs[j].count;
	char *keep = malloc(m + 1);
	uint64_t *chosen = malloc(m * sizeof *chosen);

	if (keep == NULL || chosen == NULL)
		die("no memory for an epoch of %zu writes", m);
	keep[m] = '\0';
	if (m <= EXHAUSTIVE_WRITES) {
		for (uint64_t subset = 0; subset < (1ULL << m); subset++) {
			for (size_t i = 0; i < m; i++)
				keep[i] = subset >> i & 1 ? '1' : '0';
			emit_subset(plan, j, keep, chosen);
		}
	} else {
		for (size_t out = 0; out < m; out++) {
			memset(keep, '1', m);
			keep[out] = '0';
			emit_subset(plan, j, keep, chosen);
		}
		for (int r = 0; r < RANDOM_SUBSETS; r++) {
			for (size_t i = 0; i < m; i++)
				keep[i] = next_random(random_state) >> 32 & 1 ? '1' : '0';
			emit_subset(plan, j, keep, chosen);
		}
	}
	free(keep);
	free(chosen);
}

static void states(const struct log *log, uint64_t base, uint64_t returned, uint64_t end,
                   uint64_t seed)
{
	struct plan plan = {.log = log, .base = base};
	uint64_t random_state = seed * 2654435761u + 1;

	if (random_state == 0)
		random_state = 1;

	check_range(log, base + 1, end);
	if (returned < base || returned > end)
		die("the return (entry %" PRIu64 ") is not between %" PRIu64 " and %" PRIu64, returned,
		    base, end);
	plan_writes(&plan, returned, end);
	emit_prefixes(&plan);
	for (size_t j = 0; j < plan.nepochs; j++)
		emit_epoch(&plan, j, &random_state);
	free(plan.writes);
	free(plan.epochs);
}

static void usage(void)
{
	fputs("usage: logreplay count LOG\n"
	      "       logreplay summary LOG FIRST LAST\n"
	      "       logreplay apply LOG IMAGE LIST\n"
	      "       logreplay states LOG BASE RETURNED END SEED\n",
	      stderr);
	exit(2);
}

int main(int argc, char *argv[])
{
	struct log log;

	if (argc < 3)
		usage();
	open_log(&log, argv[2]);
	if (strcmp(argv[1], "count") == 0 && argc == 3)
		printf("%" PRIu64 "\n", log.total);
	else if (strcmp(argv[1], "summary") == 0 && argc == 5)
		summary(&log, number(argv[3], "FIRST"), number(argv[4], "LAST"));
	else if (strcmp(argv[1], "apply") == 0 && argc == 5)
		apply(&log, argv[3], argv[4]);
	else if (strcmp(argv[1], "states") == 0 && argc == 7)
		states(&log, number(argv[3], "BASE"), number(argv[4], "RETURNED"), number(argv[5], "END"),
		       number(argv[6], "SEED"));
	else
		usage();
	if (fflush(stdout) != 0)
		die("cannot write the output: %s", strerror(errno));
	return 0;
}
