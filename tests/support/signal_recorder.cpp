#include "signal_recorder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr char kReady = 'R';

[[noreturn]] void RecordSignals(int fd)
{
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, SIGHUP);
	sigaddset(&set, SIGTERM);
	sigprocmask(SIG_BLOCK, &set, nullptr);
	char ready = kReady;
	if (write(fd, &ready, 1) != 1)
		_exit(1);
	for (;;) {
		int signal = sigwaitinfo(&set, nullptr);
		if (signal > 0) {
			char number = static_cast<char>(signal);
			if (write(fd, &number, 1) != 1)
				_exit(1);
		}
	}
}

long long NowMs()
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

} // namespace

SignalRecorder::SignalRecorder()
{
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) != 0) {
		ADD_FAILURE() << "pipe: " << strerror(errno);
		return;
	}
	pid_ = fork();
	if (pid_ == 0) {
		// Dies with the test, even when the test crashes.
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		close(fds[0]);
		RecordSignals(fds[1]);
	}
	close(fds[1]);
	fd_ = fds[0];
	char ready = 0;
	if (pid_ < 0 || read(fd_, &ready, 1) != 1 || ready != kReady)
		ADD_FAILURE() << "signal recorder did not start";
}

SignalRecorder::~SignalRecorder()
{
	if (pid_ > 0) {
		kill(pid_, SIGKILL);
		waitpid(pid_, nullptr, 0);
	}
	if (fd_ >= 0)
		close(fd_);
}

std::vector<int> SignalRecorder::Received(int wait_ms)
{
	std::vector<int> signals;
	struct pollfd p = {fd_, POLLIN, 0};
	int timeout = wait_ms;
	while (poll(&p, 1, timeout) > 0) {
		char number;
		if (read(fd_, &number, 1) != 1)
			break;
		signals.push_back(number);
		timeout = 50;
	}
	return signals;
}

FakeProgram::FakeProgram(const std::string &argv0, const std::string &option)
{
	const std::string seconds = "60";
	command_ = argv0 + " " + seconds + (option.empty() ? "" : " " + option);
	pid_ = fork();
	if (pid_ == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		if (option.empty())
			execl("/bin/sleep", argv0.c_str(), seconds.c_str(), static_cast<char *>(nullptr));
		else
			execl("/bin/sleep", argv0.c_str(), seconds.c_str(), option.c_str(),
			      static_cast<char *>(nullptr));
		_exit(127);
	}
	// Wait until the exec shows in /proc, so a walk cannot see the fork.
	std::string cmdline = "/proc/" + std::to_string(pid_) + "/cmdline";
	for (long long deadline = NowMs() + 5000; NowMs() < deadline; usleep(1000)) {
		int fd = open(cmdline.c_str(), O_RDONLY | O_CLOEXEC);
		char buffer[256] = {};
		ssize_t got = fd >= 0 ? read(fd, buffer, sizeof buffer - 1) : -1;
		if (fd >= 0)
			close(fd);
		if (got > 0 && argv0 == buffer)
			return;
	}
	ADD_FAILURE() << "program " << argv0 << " did not start";
}

FakeProgram::~FakeProgram()
{
	if (pid_ > 0 && status_ < 0) {
		kill(pid_, SIGKILL);
		waitpid(pid_, nullptr, 0);
	}
}

int FakeProgram::TerminatedBy(int wait_ms)
{
	for (long long deadline = NowMs() + wait_ms; status_ < 0; usleep(2000)) {
		int status;
		if (waitpid(pid_, &status, WNOHANG) == pid_)
			status_ = status;
		else if (NowMs() >= deadline)
			return 0;
	}
	return WIFSIGNALED(status_) ? WTERMSIG(status_) : -1;
}
