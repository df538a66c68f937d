// The /proc walk against real child processes.
#include "process_control.h"

#include "signal_recorder.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 3000;
constexpr int kQuietMs = 200;
constexpr char kProc[] = "/proc/";

class ProcessControl : public ::testing::Test {
protected:
	TempDir dir;
	// A path no other process on the machine was started with.
	std::string program = dir.Path("sample_program");
	// Stands in for init: it must never be signalled.
	SignalRecorder init;
};

TEST_F(ProcessControl, TerminatesEveryProcessThatRunsExactlyTheArgument)
{
	FakeProgram other(program, "301"), first(program, "302"), second(program, "302"),
	    longer(program, "3020"), shorter(program);
	// Blanks around and between the words do not count.
	const std::string argument = "  " + program + "   60 302 ";
	EXPECT_EQ(0, Kelvane_Remove(argument.c_str(), kProc, init.Pid()));
	EXPECT_EQ(SIGTERM, first.TerminatedBy(kWaitMs));
	EXPECT_EQ(SIGTERM, second.TerminatedBy(kWaitMs));
	EXPECT_EQ(0, other.TerminatedBy(kQuietMs));
	EXPECT_EQ(0, longer.TerminatedBy(0));
	EXPECT_EQ(0, shorter.TerminatedBy(0));
}

// init runs such an entry through a shell, which decides what the command
// line becomes; only its first word, the program path, can be matched.
TEST_F(ProcessControl, AnArgumentForTheShellStopsTheFirstProcessOfItsProgram)
{
	FakeProgram first(program, "301"), second(program, "302");
	const std::string argument = program + " 60 302 >/dev/null";
	EXPECT_EQ(0, Kelvane_Remove(argument.c_str(), kProc, init.Pid()));
	int a = first.TerminatedBy(kWaitMs / 2), b = second.TerminatedBy(kQuietMs);
	EXPECT_EQ(SIGTERM, a + b) << "first " << a << ", second " << b;
	EXPECT_EQ(-1, Kelvane_Remove((program + "x $HOME").c_str(), kProc, init.Pid()));
}

TEST_F(ProcessControl, LeavesOtherProgramsAlone)
{
	FakeProgram bare("sample_program"), longer(program + "2"), prefix(dir.Path("sample"));
	EXPECT_EQ(-1, Kelvane_Remove((program + " 60").c_str(), kProc, init.Pid()));
	EXPECT_EQ(0, bare.TerminatedBy(kQuietMs));
	EXPECT_EQ(0, longer.TerminatedBy(0));
	EXPECT_EQ(0, prefix.TerminatedBy(0));
	EXPECT_TRUE(init.Received(0).empty());
}

TEST_F(ProcessControl, ReportsAnUnreadableProcDirectory)
{
	EXPECT_EQ(1, Kelvane_Remove(program.c_str(), dir.Path("none/").c_str(), init.Pid()));
}

// A proc tree of our own making: entries that are not processes, init,
// the caller, and command lines without their terminator.
void AddEntry(TempDir &root, const std::string &name, const std::string &cmdline)
{
	std::string entry = root.Path("proc/" + name);
	ASSERT_EQ(0, mkdir(entry.c_str(), 0755));
	WriteFile(entry + "/cmdline", cmdline);
}

TEST_F(ProcessControl, SkipsWhatIsNotAnotherProcess)
{
	ASSERT_EQ(0, mkdir(dir.Path("proc").c_str(), 0755));
	std::string proc = dir.Path("proc/");
	std::string match(program + std::string(1, '\0'));
	FakeProgram target(dir.Path("other"));
	for (const char *name : {"self", "0", "-5", "007x", "4294967297", "99999999999999999999"})
		AddEntry(dir, name, match);
	AddEntry(dir, std::to_string(getpid()), match);
	AddEntry(dir, std::to_string(init.Pid()), match);
	AddEntry(dir, std::to_string(target.Pid()), "");
	EXPECT_EQ(-1, Kelvane_Remove(program.c_str(), proc.c_str(), init.Pid()));
	EXPECT_TRUE(init.Received(kQuietMs).empty());
	EXPECT_EQ(0, target.TerminatedBy(0));

	// Without a terminator the comparison stays within the bytes read.
	WriteFile(proc + std::to_string(target.Pid()) + "/cmdline", program + "x");
	EXPECT_EQ(-1, Kelvane_Remove(program.c_str(), proc.c_str(), init.Pid()));
	// A program that cleared its own arguments, as BusyBox init does,
	// leaves its command line padded with terminators.
	WriteFile(proc + std::to_string(target.Pid()) + "/cmdline", program + std::string(7, '\0'));
	EXPECT_EQ(0, Kelvane_Remove(program.c_str(), proc.c_str(), init.Pid()));
	EXPECT_EQ(SIGTERM, target.TerminatedBy(kWaitMs));
}

} // namespace
