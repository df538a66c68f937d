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

} // namespace
