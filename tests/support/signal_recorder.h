// Child processes that stand in for init and for registered programs.
#ifndef KELVANE_TEST_SIGNAL_RECORDER_H
#define KELVANE_TEST_SIGNAL_RECORDER_H

#include <string>
#include <sys/types.h>
#include <vector>

// A child that records every SIGHUP and SIGTERM it receives, as init
// would see them.
class SignalRecorder {
public:
	SignalRecorder();
	~SignalRecorder();
	SignalRecorder(const SignalRecorder &) = delete;
	SignalRecorder &operator=(const SignalRecorder &) = delete;

	pid_t Pid() const { return pid_; }
	// The signals received so far, waiting up to wait_ms for the first.
	std::vector<int> Received(int wait_ms);

private:
	pid_t pid_ = -1;
	int fd_ = -1;
};

// A running program whose command line starts with argv0 (/bin/sleep
// underneath; an option must be a number of seconds), killed when the
// object goes.
class FakeProgram {
public:
	explicit FakeProgram(const std::string &argv0, const std::string &option = "");
	~FakeProgram();
	FakeProgram(const FakeProgram &) = delete;
	FakeProgram &operator=(const FakeProgram &) = delete;

	pid_t Pid() const { return pid_; }
	// Its command line, words joined by blanks, as a process argument
	// that runs exactly it would be written.
	const std::string &Command() const { return command_; }
	// The signal that ended it within wait_ms, or 0 while it runs.
	int TerminatedBy(int wait_ms);

private:
	pid_t pid_ = -1;
	int status_ = -1;
	std::string command_;
};

#endif
