// The /proc walk while processes come and go, over entries that vanish or
// lie, and beside processes that must never be signalled: the walker
// itself, init, and whole process groups.
#include "inittab_edit.h"
#include "process_control.h"

#include "signal_recorder.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <climits>
#include <errno.h>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sstream>
#include <string.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kWaitMs = 3000;
constexpr int kQuietMs = 200;
constexpr int kRounds = 100;
constexpr int kBatch = 8;
constexpr char kProc[] = "/proc/";
constexpr char kNoNamespace[] = "no namespace: ";

void WriteAll(int fd, const std::string &text)
{
	size_t done = 0;
	while (done < text.size()) {
		ssize_t n = write(fd, text.data() + done, text.size() - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return;
		done += static_cast<size_t>(n);
	}
}

std::string ReadAll(int fd)
{
	std::string text;
	char buffer[512];
	for (;;) {
		ssize_t n = read(fd, buffer, sizeof buffer);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return text;
		text.append(buffer, static_cast<size_t>(n));
	}
}

// A test that crashes must not leave its children behind, holding the
// output pipe that the test runner waits on. A parent in another PID
// namespace shows as 0.
void DieWithParent(pid_t parent)
{
	if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
		_exit(1);
	pid_t now = getppid();
	if (now != parent && now != 0)
		_exit(1);
}

struct ChildReport {
	int status;
	std::string text;
};

// Runs body in a forked child and returns what it reported. The child
// ends with _exit, so copies of the test's objects (its temporary
// directory above all) are never destroyed twice.
ChildReport InChild(const std::function<std::string()> &body)
{
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) != 0)
		return {-1, std::string("pipe: ") + strerror(errno)};
	fflush(stdout);
	fflush(stderr);
	pid_t parent = getpid();
	pid_t pid = fork();
	if (pid == 0) {
		DieWithParent(parent);
		close(fds[0]);
		WriteAll(fds[1], body());
		_exit(0);
	}
	close(fds[1]);
	std::string text = pid > 0 ? ReadAll(fds[0]) : std::string("fork failed");
	close(fds[0]);
	int status = -1;
	while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
	}
	return {status, text};
}

std::string Signals(const std::vector<int> &signals)
{
	std::string text = "[";
	for (int s : signals)
		text += (text.size() > 1 ? " " : "") + std::to_string(s);
	return text + "]";
}

volatile sig_atomic_t received_signals = 0;

void RecordSignal(int signal)
{
	received_signals = received_signals | (1 << signal);
}

// The caller records termination and hang-up instead of ending, so it
// can tell whether it was signalled. Handlers do not survive an exec, so
// the programs it starts still end on SIGTERM.
void RecordOwnSignals()
{
	struct sigaction action = {};
	action.sa_handler = RecordSignal;
	action.sa_flags = SA_RESTART;
	sigaction(SIGTERM, &action, nullptr);
	sigaction(SIGHUP, &action, nullptr);
}

std::string OwnSignals()
{
	std::vector<int> signals;
	for (int s : {SIGHUP, SIGTERM})
		if (received_signals & (1 << s))
			signals.push_back(s);
	return Signals(signals);
}

std::string FirstString(const std::string &cmdline)
{
	return cmdline.substr(0, cmdline.find('\0'));
}

// Rewrites this process's own command line in place, as programs that set
// their title do; true when /proc shows the new name.
bool RenameSelf(const std::string &name)
{
	if (name.size() > strlen(program_invocation_name))
		return false;
	memcpy(program_invocation_name, name.c_str(), name.size() + 1);
	return FirstString(ReadFile("/proc/" + std::to_string(getpid()) + "/cmdline")) == name;
}

// A fork of the renamed walker shows the program path before its exec;
// a signal then would reach the fork, not the program. Waits until the
// process runs binary, with its command line in place (the kernel sets
// the new binary before the new command line).
bool WaitForExec(pid_t pid, const char *binary, const std::string &argv0)
{
	// Compared by file identity: an emulator may show the binary's path
	// differently from the kernel's link.
	struct stat wanted;
	if (stat(binary, &wanted) != 0)
		return false;
	const std::string proc = "/proc/" + std::to_string(pid);
	for (int waited = 0; waited < kWaitMs; ++waited) {
		struct stat running;
		if (stat((proc + "/exe").c_str(), &running) == 0 && running.st_dev == wanted.st_dev &&
		    running.st_ino == wanted.st_ino && FirstString(ReadFile(proc + "/cmdline")) == argv0)
			return true;
		usleep(1000);
	}
	return false;
}

// Programs that run for a moment under names close to, but not equal to,
// the walked program's, started in batches until Stop(); a signal that
// ends any of them went to the wrong process.
class Churn {
public:
	explicit Churn(const std::vector<std::string> &names)
	{
		int stop[2];
		if (pipe2(stop, O_CLOEXEC) != 0) {
			ADD_FAILURE() << "pipe: " << strerror(errno);
			return;
		}
		stop_ = stop[1];
		fflush(stdout);
		pid_t parent = getpid();
		pid_ = fork();
		if (pid_ == 0) {
			DieWithParent(parent);
			close(stop[1]);
			Spawn(stop[0], names);
		}
		close(stop[0]);
		if (pid_ < 0)
			ADD_FAILURE() << "fork: " << strerror(errno);
	}
	~Churn() { Stop(); }
	Churn(const Churn &) = delete;
	Churn &operator=(const Churn &) = delete;

	struct Tally {
		long started = 0;
		long signalled = 0;
		long failed = 0;
	};

	// Ends the churn and reports what became of its programs.
	Tally Stop()
	{
		if (stop_ >= 0) {
			close(stop_);
			stop_ = -1;
		}
		Tally tally;
		int status = 0;
		if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_) {
			pid_ = -1;
			std::istringstream in(ReadFile(result_));
			in >> tally.started >> tally.signalled >> tally.failed;
		}
		return tally;
	}

private:
	[[noreturn]] void Spawn(int stop, const std::vector<std::string> &names)
	{
		long started = 0, signalled = 0, failed = 0;
		struct pollfd p = {stop, POLLIN, 0};
		while (poll(&p, 1, 0) == 0) {
			pid_t batch[kBatch];
			for (int i = 0; i < kBatch; ++i) {
				const std::string &name = names[static_cast<size_t>(started + i) % names.size()];
				batch[i] = fork();
				if (batch[i] == 0) {
					execl("/bin/true", name.c_str(), static_cast<char *>(nullptr));
					_exit(127);
				}
			}
			for (pid_t pid : batch) {
				int status;
				if (pid < 0 || waitpid(pid, &status, 0) != pid)
					++failed;
				else if (WIFSIGNALED(status))
					++signalled;
				else if (WEXITSTATUS(status) != 0)
					++failed;
				++started;
			}
		}
		WriteFile(result_, std::to_string(started) + " " + std::to_string(signalled) + " " +
		                       std::to_string(failed));
		_exit(0);
	}

	TempDir dir_;
	std::string result_ = dir_.Path("churn");
	pid_t pid_ = -1;
	int stop_ = -1;
};

class ProcWalk : public ::testing::Test {
protected:
	TempDir dir;
	// A path no other process on the machine was started with.
	std::string program = dir.Path("walked_program");
	// Stands in for init: it must never be signalled.
	SignalRecorder init;
};

TEST_F(ProcWalk, OnlyTheStartedProgramIsSignalledWhileProcessesComeAndGo)
{
	Churn churn({program + "x", program + " -d", dir.Root(), "walked_program", program + "/"});
	int terminated = 0;
	for (int round = 0; round < kRounds; ++round) {
		FakeProgram target(program);
		EXPECT_EQ(0, Kelvane_Remove(target.Command().c_str(), kProc, init.Pid())) << "round " << round;
		terminated += target.TerminatedBy(kWaitMs) == SIGTERM ? 1 : 0;
	}
	EXPECT_EQ(kRounds, terminated);
	Churn::Tally tally = churn.Stop();
	EXPECT_GT(tally.started, 0);
	EXPECT_EQ(0, tally.signalled) << "of " << tally.started;
	EXPECT_EQ(0, tally.failed) << "of " << tally.started;
	EXPECT_TRUE(init.Received(kQuietMs).empty());
}

TEST_F(ProcWalk, AnInstanceThatExitedButIsNotReapedDoesNotTakeTheSignal)
{
	fflush(stdout);
	pid_t exited = fork();
	if (exited == 0) {
		execl("/bin/true", program.c_str(), static_cast<char *>(nullptr));
		_exit(127);
	}
	ASSERT_GT(exited, 0);
	// Waits for the exit but leaves the process unreaped, as a zombie
	// that comes before the live instance in the walk.
	siginfo_t info = {};
	ASSERT_EQ(0, waitid(P_PID, static_cast<id_t>(exited), &info, WEXITED | WNOWAIT));
	FakeProgram live(program);
	EXPECT_EQ(0, Kelvane_Remove(live.Command().c_str(), kProc, init.Pid()));
	EXPECT_EQ(SIGTERM, live.TerminatedBy(kWaitMs));
	int status = 0;
	ASSERT_EQ(exited, waitpid(exited, &status, 0));
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// The walker runs as a process started with the program path, beside an
// init started with it too; both come before the target in the walk. An
// argument for the shell is matched by its program path alone, which
// both have whatever else their command lines hold.
TEST_F(ProcWalk, NeitherTheWalkerNorInitIsSignalledWhenTheyMatch)
{
	const std::string argument = program + " >/dev/null";
	ChildReport report = InChild([&] {
		RecordOwnSignals();
		std::string self = RenameSelf(program) ? "walker renamed" : "walker not renamed";
		FakeProgram init_like(program);
		if (!WaitForExec(init_like.Pid(), "/bin/sleep", program))
			return std::string("init did not start");
		int alone = Kelvane_Remove(argument.c_str(), kProc, init_like.Pid());
		std::string text = self + "\nonly walker and init: " + std::to_string(alone) + ", init " +
		                   std::to_string(init_like.TerminatedBy(kQuietMs)) + "\n";
		FakeProgram target(program);
		if (!WaitForExec(target.Pid(), "/bin/sleep", program))
			return std::string("target did not start");
		int found = Kelvane_Remove(argument.c_str(), kProc, init_like.Pid());
		text += "with target: " + std::to_string(found) + ", target " +
		        std::to_string(target.TerminatedBy(kWaitMs)) + ", init " +
		        std::to_string(init_like.TerminatedBy(kQuietMs)) + ", walker " + OwnSignals();
		return text;
	});
	ASSERT_TRUE(WIFEXITED(report.status)) << "status " << report.status << "\n" << report.text;
	std::string walker = report.text.substr(0, report.text.find('\n'));
	EXPECT_EQ(walker + "\nonly walker and init: -1, init 0\n"
	                   "with target: 0, target 15, init 0, walker []",
	          report.text);
	if (walker != "walker renamed")
		std::cout << "note: this runtime shows no renamed command line in /proc "
		             "(emulator or valgrind); only init and the target were proven\n";
}

// Makes a fake /proc entry: a directory named name with a cmdline file.
bool AddEntry(const std::string &tree, const std::string &name, const std::string &cmdline)
{
	std::string entry = tree + name;
	if (mkdir(entry.c_str(), 0755) != 0)
		return false;
	WriteFile(entry + "/cmdline", cmdline);
	return true;
}

// Entry names that would become 0, -1 or minus the group id (a whole
// process group, or every process) if read without range checks, or
// truncated to 32 or 64 bits, and names that wrap onto a member.
std::vector<std::string> HostileNames(pid_t group, pid_t member)
{
	const unsigned long long wrap32 = 1ULL << 32;
	return {"0",
	        "1",
	        "00",
	        "-0",
	        "+0",
	        "-1",
	        "-" + std::to_string(group),
	        "+" + std::to_string(member),
	        " " + std::to_string(member),
	        std::to_string(member) + " ",
	        std::to_string(wrap32 - 1),
	        std::to_string(wrap32),
	        std::to_string(wrap32 - static_cast<unsigned long long>(group)),
	        std::to_string(wrap32 + static_cast<unsigned long long>(member)),
	        std::to_string(ULLONG_MAX),
	        std::to_string(ULLONG_MAX - static_cast<unsigned long long>(group) + 1),
	        "18446744073709551616",
	        "99999999999999999999999"};
}

// The walker leads its own process group of three recorders; a signal to
// the group, or to every process of the namespace, would reach them.
std::string WalkInOwnGroup(const std::string &tree, const std::string &program)
{
	if (setpgid(0, 0) != 0)
		return std::string("setpgid: ") + strerror(errno);
	RecordOwnSignals();
	SignalRecorder member, other, group_init;
	if (mkdir(tree.c_str(), 0755) != 0)
		return std::string("mkdir: ") + strerror(errno);
	const std::string match = program + std::string(1, '\0');
	for (const std::string &name : HostileNames(getpid(), member.Pid()))
		if (!AddEntry(tree, name, match))
			return "cannot add entry " + name;
	AddEntry(tree, std::to_string(getpid()), match);
	AddEntry(tree, std::to_string(group_init.Pid()), match);
	AddEntry(tree, std::to_string(other.Pid()), "other" + std::string(1, '\0'));
	auto outcome = [&](const char *what, int result) {
		return std::string(what) + ": " + std::to_string(result) + ", member " +
		       Signals(member.Received(kQuietMs)) + ", other " + Signals(other.Received(kQuietMs)) +
		       ", init " + Signals(group_init.Received(kQuietMs)) + ", walker " + OwnSignals() +
		       "\n";
	};
	std::string text = outcome("hostile names", Kelvane_Remove(program.c_str(), tree.c_str(),
	                                                           group_init.Pid()));
	AddEntry(tree, std::to_string(member.Pid()), match);
	return text + outcome("member matches",
	                      Kelvane_Remove(program.c_str(), tree.c_str(), group_init.Pid()));
}

// Process 1 of a fresh PID namespace: a signal to every process cannot
// leave the namespace, and this process sees it with its handler.
std::string NamespaceInit(const std::string &tree, const std::string &program)
{
	RecordOwnSignals();
	ChildReport walker = InChild([&] { return WalkInOwnGroup(tree, program); });
	return walker.text + "walker status " + std::to_string(walker.status) +
	       ", namespace init " + OwnSignals();
}

TEST_F(ProcWalk, HostileEntryNamesNeverReachAProcessGroupOrEveryProcess)
{
	const std::string tree = dir.Path("proc/");
	ChildReport report = InChild([&]() -> std::string {
		if (unshare(CLONE_NEWPID) != 0)
			return kNoNamespace + std::string(strerror(errno));
		return InChild([&] { return NamespaceInit(tree, program); }).text;
	});
	if (report.text.rfind(kNoNamespace, 0) == 0)
		GTEST_SKIP() << "needs a PID namespace of its own (root): " << report.text;
	EXPECT_EQ("hostile names: -1, member [], other [], init [], walker []\n"
	          "member matches: 0, member [15], other [], init [], walker []\n"
	          "walker status 0, namespace init []",
	          report.text);
}

enum class Shape { kCmdline, kNoCmdline, kCmdlineIsDirectory, kEntryIsFile, kDanglingLink };

TEST_F(ProcWalk, EntriesThatVanishOrLieMatchOnlyWithinTheBytesRead)
{
	// The longest program path a process argument can hold.
	ASSERT_LT(dir.Root().size() + 1, kMaxArgumentLength) << "temporary directory too deep";
	const std::string longest = dir.Path(std::string(kMaxArgumentLength - dir.Root().size() - 1, 'p'));
	const std::string nul(1, '\0');
	const struct {
		const char *name;
		std::string program;
		Shape shape;
		std::string cmdline;
		int result;
	} cases[] = {
	    {"empty, as kernel threads have", program, Shape::kCmdline, "", -1},
	    {"the program and its option", program + " -d", Shape::kCmdline, program + nul + "-d" + nul, 0},
	    {"the program without its option", program, Shape::kCmdline, program + nul + "-d" + nul, -1},
	    {"the program padded with NULs", program, Shape::kCmdline, program + std::string(9, '\0'), 0},
	    {"program alone without NUL", program, Shape::kCmdline, program, 0},
	    {"argv joined by blanks without NUL", program, Shape::kCmdline, program + " -d", -1},
	    {"program and more without NUL", program, Shape::kCmdline, program + "x", -1},
	    {"empty first string", program, Shape::kCmdline, nul + program + nul, -1},
	    {"a prefix of the program", program, Shape::kCmdline,
	     program.substr(0, program.size() - 1) + nul, -1},
	    {"only NUL bytes", program, Shape::kCmdline, std::string(200, '\0'), -1},
	    {"a page without NUL", program, Shape::kCmdline, std::string(4096, 'x'), -1},
	    {"the longest path, without NUL", longest, Shape::kCmdline, longest, 0},
	    {"the longest path filling the buffer without NUL", longest, Shape::kCmdline,
	     longest + std::string(kLineSize - longest.size(), '/'), -1},
	    {"the longest path, then more than the buffer", longest, Shape::kCmdline,
	     longest + std::string(kLineSize, 'q') + nul, -1},
	    {"the process has gone: no cmdline", program, Shape::kNoCmdline, "", -1},
	    {"cmdline is a directory", program, Shape::kCmdlineIsDirectory, "", -1},
	    {"the entry is a file", program, Shape::kEntryIsFile, "", -1},
	    {"the entry is a dangling link", program, Shape::kDanglingLink, "", -1},
	};
	// Targets that must survive are checked together at the end.
	std::vector<std::unique_ptr<FakeProgram>> spared;
	std::vector<const char *> spared_names;
	int index = 0;
	for (const auto &c : cases) {
		const std::string tree = dir.Path("proc" + std::to_string(index++) + "/");
		ASSERT_EQ(0, mkdir(tree.c_str(), 0755));
		auto target = std::make_unique<FakeProgram>(dir.Path("innocent"));
		const std::string name = std::to_string(target->Pid());
		const std::string entry = tree + name;
		switch (c.shape) {
		case Shape::kCmdline: ASSERT_TRUE(AddEntry(tree, name, c.cmdline)); break;
		case Shape::kNoCmdline: ASSERT_EQ(0, mkdir(entry.c_str(), 0755)); break;
		case Shape::kCmdlineIsDirectory:
			ASSERT_EQ(0, mkdir(entry.c_str(), 0755));
			ASSERT_EQ(0, mkdir((entry + "/cmdline").c_str(), 0755));
			break;
		case Shape::kEntryIsFile: WriteFile(entry, program + nul); break;
		case Shape::kDanglingLink: ASSERT_EQ(0, symlink(dir.Path("gone").c_str(), entry.c_str())); break;
		}
		EXPECT_EQ(c.result, Kelvane_Remove(c.program.c_str(), tree.c_str(), init.Pid())) << c.name;
		if (c.result == 0) {
			EXPECT_EQ(SIGTERM, target->TerminatedBy(kWaitMs)) << c.name;
		} else {
			spared.push_back(std::move(target));
			spared_names.push_back(c.name);
		}
	}
	for (size_t i = 0; i < spared.size(); ++i)
		EXPECT_EQ(0, spared[i]->TerminatedBy(i == 0 ? kQuietMs : 0)) << spared_names[i];
	EXPECT_TRUE(init.Received(kQuietMs).empty());
}

} // namespace
