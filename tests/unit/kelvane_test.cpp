// Whole runs of the tool, on paths of a temporary directory, with a child
// process standing in for init.
#include "kelvane.h"

#include "inittab_fixture.h"
#include "signal_recorder.h"
#include "temp_dir.h"
#include "tool_calls.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 3000;
constexpr int kQuietMs = 200;

class Kelvane : public ::testing::Test {
protected:
	TempDir dir;
	SignalRecorder init;
	std::string inittab = dir.Path("inittab");
	std::string work = dir.Path("tmp_watchdog");
	std::string lock = dir.Path("tmp_lockfile");
	std::string proc = "/proc/";
	std::string foo = dir.Path("foo");
	std::string bar = dir.Path("bar");

	void SetUp() override
	{
		WriteFile(inittab, TypicalInittab());
		WriteFile(foo, "");
		WriteFile(bar, "");
	}

	RunResult Run(std::vector<std::string> args)
	{
		Kelvane_Setting setting = {inittab.c_str(), work.c_str(), lock.c_str(), proc.c_str(),
		                           init.Pid()};
		return RunTool(setting, std::move(args));
	}
};

const char kUsage[] = "[USAGE] app_kelvane {register|deregister} Process1 Process2 ...(more)\n"
                      "[USAGE] app_kelvane -h: Get this information\n"
                      "[USAGE] app_kelvane -v: Get the module version\n";

TEST_F(Kelvane, RegisterReplacesTheInittabAndSignalsInit)
{
	RunResult run = Run({"register", foo + " -d"});
	EXPECT_EQ(0, run.status);
	EXPECT_EQ("", run.output);
	EXPECT_EQ(TypicalInittab() + "# Orig:27 New:1\n::respawn:" + foo + " -d\n", ReadFile(inittab));
	EXPECT_EQ(std::vector<int>{SIGHUP}, init.Received(kWaitMs));
	EXPECT_FALSE(Exists(work));
	EXPECT_TRUE(Exists(lock));
}

TEST_F(Kelvane, FailedEditsLeaveTheInittabAndInitAlone)
{
	const struct {
		std::vector<std::string> args;
		const char *output;
	} cases[] = {
	    {{"register", dir.Path("missing")}, "The file doesn't exist\nRegister failed\n"},
	    {{"deregister", foo}, "[Nothing to deregister]\nDeregister failed\n"},
	    {{"register", "-h"}, "The file doesn't exist\nRegister failed\n"},
	};
	for (const auto &c : cases) {
		RunResult run = Run(c.args);
		EXPECT_EQ(0, run.status);
		EXPECT_EQ(c.output, run.output);
		EXPECT_EQ(TypicalInittab(), ReadFile(inittab));
		EXPECT_FALSE(Exists(work));
	}
	EXPECT_TRUE(init.Received(kQuietMs).empty());
}

TEST_F(Kelvane, LimitRefusalIsReportedAsAFailure)
{
	std::vector<std::string> args = {"register"};
	for (int i = 0; i < 13; ++i)
		args.push_back(foo + " -n" + std::to_string(i));
	RunResult run = Run(args);
	EXPECT_EQ(0, run.status);
	EXPECT_EQ("Register failed\n", run.output);
	EXPECT_EQ(TypicalInittab(), ReadFile(inittab));
	EXPECT_TRUE(init.Received(kQuietMs).empty());
}

TEST_F(Kelvane, AnUnreadableInittabIsNotEdited)
{
	ASSERT_EQ(0, unlink(inittab.c_str()));
	WriteFile(work, "# left over by a run that died\n");
	RunResult run = Run({"register", foo});
	EXPECT_EQ(0, run.status);
	EXPECT_EQ("Register failed\n", run.output);
	EXPECT_FALSE(Exists(inittab));
	EXPECT_FALSE(Exists(work));
	EXPECT_TRUE(init.Received(kQuietMs).empty());
}

TEST_F(Kelvane, DeregisterSignalsInitThenTerminatesWhatRunsTheEntry)
{
	FakeProgram first(foo), second(foo), other(foo, "7");
	ASSERT_EQ(0, Run({"register", first.Command(), other.Command(), bar}).status);
	ASSERT_EQ(std::vector<int>{SIGHUP}, init.Received(kWaitMs));
	RunResult run = Run({"deregister", first.Command()});
	EXPECT_EQ(0, run.status);
	EXPECT_EQ("", run.output);
	EXPECT_EQ(TypicalInittab() + "# Orig:27 New:2\n::respawn:" + other.Command() + "\n::respawn:" +
	              bar + "\n",
	          ReadFile(inittab));
	EXPECT_EQ(std::vector<int>{SIGHUP}, init.Received(kWaitMs));
	EXPECT_EQ(SIGTERM, first.TerminatedBy(kWaitMs));
	EXPECT_EQ(SIGTERM, second.TerminatedBy(kWaitMs));
	EXPECT_EQ(0, other.TerminatedBy(kQuietMs));
}

TEST_F(Kelvane, DeregisterStopsTerminatingAtAnArgumentWithoutAWord)
{
	FakeProgram running(bar);
	WriteFile(inittab, TypicalInittab() + "# Orig:27 New:3\n::respawn:" + foo + "\n::respawn:  \n" +
	                       "::respawn:" + running.Command() + "\n");
	RunResult run = Run({"deregister", foo, "  ", running.Command()});
	EXPECT_EQ(0, run.status);
	EXPECT_EQ("Parse string failed\n", run.output);
	EXPECT_EQ(TypicalInittab() + "# Orig:27 New:0\n", ReadFile(inittab));
	EXPECT_EQ(0, running.TerminatedBy(kQuietMs));
}

TEST_F(Kelvane, BadProcessArgumentsAreRefusedBeforeTheLock)
{
	const std::string longest(116, 'x'), too_long(117, 'x');
	const struct {
		std::string command, argument;
		std::string output;
	} cases[] = {
	    {"register", foo + "\n::respawn:/bin/sh", "[Invalid] process argument holds a control character\n"},
	    {"deregister", foo + "\t-d", "[Invalid] process argument holds a control character\n"},
	    {"register", foo + "\x7f", "[Invalid] process argument holds a control character\n"},
	    {"deregister", too_long,
	     "[Invalid] process argument longer than 116 characters: " + too_long + "\n"},
	};
	for (const auto &c : cases) {
		RunResult run = Run({c.command, bar, c.argument});
		EXPECT_EQ(1, run.status);
		EXPECT_EQ(c.output, run.output);
		EXPECT_FALSE(Exists(lock));
		EXPECT_EQ(TypicalInittab(), ReadFile(inittab));
	}
	// The longest argument that fits its line is accepted.
	EXPECT_EQ("The file doesn't exist\nRegister failed\n", Run({"register", longest}).output);
}

TEST_F(Kelvane, OptionsAndUnknownWords)
{
	const struct {
		std::vector<std::string> args;
		int status;
		std::string output;
		bool locks;
	} cases[] = {
	    {{}, 1, kUsage, false},
	    {{"-h"}, 1, kUsage, false},
	    {{"-v"}, 1, "The version is 1.1.0.0\n", false},
	    {{"-v", "register"}, 1, "The version is 1.1.0.0\n", false},
	    {{"start", foo}, 0, kUsage, true},
	};
	for (const auto &c : cases) {
		RunResult run = Run(c.args);
		EXPECT_EQ(c.status, run.status);
		EXPECT_EQ(c.output, run.output);
		EXPECT_EQ(c.locks, Exists(lock));
	}
	EXPECT_EQ(TypicalInittab(), ReadFile(inittab));
	EXPECT_TRUE(init.Received(kQuietMs).empty());
}

TEST_F(Kelvane, PlantedLinksAreNeverFollowed)
{
	std::string outside = dir.Path("outside");
	WriteFile(outside, "precious\n");
	ASSERT_EQ(0, symlink(outside.c_str(), work.c_str()));
	ASSERT_EQ(0, Run({"register", foo}).status);
	EXPECT_EQ("precious\n", ReadFile(outside));
	EXPECT_EQ(TypicalInittab() + "# Orig:27 New:1\n::respawn:" + foo + "\n", ReadFile(inittab));

	// A link in place of the lock file is removed and the lock file made
	// afresh.
	ASSERT_EQ(0, unlink(lock.c_str()));
	ASSERT_EQ(0, symlink(outside.c_str(), lock.c_str()));
	RunResult run = Run({"deregister", foo});
	EXPECT_EQ(0, run.status);
	EXPECT_EQ("", run.output);
	EXPECT_EQ("precious\n", ReadFile(outside));
	EXPECT_EQ(TypicalInittab() + "# Orig:27 New:0\n", ReadFile(inittab));
	struct stat st;
	ASSERT_EQ(0, lstat(lock.c_str(), &st));
	EXPECT_EQ(S_IFREG | 0600u, st.st_mode);
}

TEST_F(Kelvane, ALinkedInittabKeepsItsLink)
{
	std::string real = dir.Path("real_inittab");
	ASSERT_EQ(0, rename(inittab.c_str(), real.c_str()));
	ASSERT_EQ(0, symlink(real.c_str(), inittab.c_str()));
	ASSERT_EQ(0, Run({"register", foo}).status);
	struct stat st;
	ASSERT_EQ(0, lstat(inittab.c_str(), &st));
	EXPECT_TRUE(S_ISLNK(st.st_mode));
	EXPECT_EQ(TypicalInittab() + "# Orig:27 New:1\n::respawn:" + foo + "\n", ReadFile(real));
}

} // namespace
