/*
 * heartbeat: a stand-in daemon for the device tests and the demo.
 *
 * It appends one line to /var/log/<name>.log (name = last part of argv[0])
 * when it starts and one when SIGTERM arrives, then exits; otherwise it
 * sleeps.  The SIGTERM line names the sender, so a test can tell the signal
 * sent by init from the one sent by another process.
 *
 *   <pid> start ppid=<ppid> <arguments...>
 *   <pid> term from=<sender pid>
 *
 * Built static so that it runs in a root file system without a C library.
 */
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

enum { kLineSize = 512 };

static char g_log_path[256];

/* Appends a decimal number; used from the signal handler, so no stdio. */
static size_t put_number(char *buf, size_t cap, size_t at, long value)
{
    char digits[24];
    size_t n = 0;
    int negative = value < 0;
    unsigned long v = negative ? 0UL - (unsigned long)value : (unsigned long)value;
    do {
        digits[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (negative && at < cap)
        buf[at++] = '-';
    while (n > 0 && at < cap)
        buf[at++] = digits[--n];
    return at;
}

static size_t put_text(char *buf, size_t cap, size_t at, const char *text)
{
    size_t len = strlen(text);
    if (len > cap - at)
        len = cap - at;
    memcpy(buf + at, text, len);
    return at + len;
}

/* One write with O_APPEND, so lines of several instances never interleave. */
static void append_line(const char *line, size_t len)
{
    int fd = open(g_log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (write(fd, line, len) < 0) {
        /* Nothing sensible to do: the test sees the line missing. */
    }
    close(fd);
}

static void on_term(int sig, siginfo_t *info, void *context)
{
    char line[kLineSize];
    size_t at = 0;
    (void)sig;
    (void)context;
    at = put_number(line, sizeof line, at, (long)getpid());
    at = put_text(line, sizeof line, at, " term from=");
    at = put_number(line, sizeof line, at, (long)info->si_pid);
    at = put_text(line, sizeof line, at, "\n");
    append_line(line, at);
    _exit(0);
}

int main(int argc, char **argv)
{
    const char *name = strrchr(argv[0], '/');
    char line[kLineSize];
    size_t at = 0;
    struct sigaction action;

    name = name ? name + 1 : argv[0];
    at = put_text(g_log_path, sizeof g_log_path, 0, "/var/log/");
    at = put_text(g_log_path, sizeof g_log_path, at, name);
    at = put_text(g_log_path, sizeof g_log_path, at, ".log");
    if (at >= sizeof g_log_path - 1)
        return 1;
    g_log_path[at] = '\0';

    memset(&action, 0, sizeof action);
    action.sa_sigaction = on_term;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGTERM, &action, NULL) != 0)
        return 1;

    at = put_number(line, sizeof line, 0, (long)getpid());
    at = put_text(line, sizeof line, at, " start ppid=");
    at = put_number(line, sizeof line, at, (long)getppid());
    for (int i = 1; i < argc; i++) {
        at = put_text(line, sizeof line, at, " ");
        at = put_text(line, sizeof line, at, argv[i]);
    }
    at = put_text(line, sizeof line, at, "\n");
    append_line(line, at);

    for (;;)
        pause();
}
