// Inittabs no device should have, but some will: huge files, endless lines,
// NUL bytes, CRLF line ends, no final newline and count lines with values
// nobody wrote. Every edit must write back each line it did not remove
// byte for byte, on a working copy and through a whole run.
#include "inittab_edit.h"
#include "kelvane.h"

#include "inittab_fixture.h"
#include "signal_recorder.h"
#include "temp_dir.h"
#include "tool_calls.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

constexpr int kWaitMs = 3000;
constexpr int kQuietMs = 200;
constexpr size_t kHugeLines = 100000;
constexpr size_t kLongLine = 10000;

// The slots a text fills: a line break ends one, and so do 127 bytes
// without one, as a line read into 128 bytes would cut them.
size_t SlotsIn(const std::string &text)
{
	size_t slots = 0;
	size_t length = 0;
	for (char c : text) {
		++length;
		if (c == '\n' || length == kLineSize - 1) {
			++slots;
			length = 0;
		}
	}
	return slots + (length > 0 ? 1 : 0);
}

// Appended lines start on a line of their own.
std::string Closed(const std::string &text)
{
	return text.empty() || text.back() == '\n' ? text : text + "\n";
}

std::string HugeInittab()
{
	std::string text;
	for (size_t i = 0; i < kHugeLines; ++i) {
		std::string n = std::to_string(i);
		switch (i % 4) {
		case 0: text += "# comment " + n + "\n"; break;
		case 1: text += "::respawn:/usr/sbin/daemon" + n + " -f\n"; break;
		case 2: text += "tty" + n + "::askfirst:-/bin/sh\n"; break;
		default: text += "\n"; break;
		}
	}
	return text;
}

std::string LongLines(bool final_newline)
{
	std::string text = "# " + std::string(kLongLine, 'a') + "\n" +
	                   "::sysinit:/bin/echo " + std::string(kLongLine, 'b') + "\n" +
	                   "# " + std::string(kLongLine, 'c');
	return final_newline ? text + "\n" : text;
}

std::string WithNulBytes()
{
	const char raw[] = "\0leading nul\n"
	                   "trailing nul\0\n"
	                   "::respawn:/sbin/syslogd\0 -n\n"
	                   "\0# Orig:5 New:1\n"
	                   "# in the \0 middle\n";
	return std::string(raw, sizeof raw - 1) + std::string(300, '\0') + "\n" +
	       TypicalInittab() + std::string(1, '\0');
}

std::string WithCrlf()
{
	std::string text;
	for (char c : TypicalInittab())
		text += c == '\n' ? std::string("\r\n") : std::string(1, c);
	return text;
}

std::string WithoutFinalNewline()
{
	std::string text = TypicalInittab();
	text.pop_back();
	return text;
}

// One of each: where the hostile parts meet each other.
std::string Everything()
{
	return WithCrlf() + WithNulBytes() + LongLines(true) + "\r\n\r\n" + HugeInittab().substr(0, 20000) +
	       std::string(254, 'z');
}

struct Hostile {
	const char *name;
	std::string content;
};

std::vector<Hostile> HostileInittabs()
{
	return {
	    {"100,000 lines", HugeInittab()},
	    {"10,000-character lines", LongLines(true)},
	    {"10,000-character last line without newline", LongLines(false)},
	    {"NUL bytes", WithNulBytes()},
	    {"CRLF line ends", WithCrlf()},
	    {"no final newline", WithoutFinalNewline()},
	    {"a last line of exactly two slots without newline", std::string(254, 'q')},
	    {"everything at once", Everything()},
	};
}


class HostileInittab : public ::testing::Test {
protected:
	TempDir dir;
	std::string work = dir.Path("tmp_watchdog");
	std::string foo = dir.Path("foo");
	std::string bar = dir.Path("bar");

	void SetUp() override
	{
		WriteFile(foo, "#!/bin/sh\n");
		WriteFile(bar, "#!/bin/sh\n");
	}

	EditResult Edit(bool start, const std::string &content, const std::vector<std::string> &args)
	{
		return EditWorkingCopy(work, start, content, args);
	}
};

TEST_F(HostileInittab, TheTableHoldsEverySlotOfTheFileAndTheSpareOnes)
{
	for (const Hostile &h : HostileInittabs()) {
		WriteFile(work, h.content);
		const Kelvane_FileId id = FileIdOf(work);
		for (size_t spare : {size_t(0), size_t(1), size_t(14)}) {
			Kelvane_LineTable table;
			ASSERT_EQ(0, Kelvane_LoadWorkingCopy(work.c_str(), &id, spare, &table)) << h.name;
			EXPECT_EQ(SlotsIn(h.content), table.read) << h.name;
			// Every spare slot is there: one past the end is an error that
			// AddressSanitizer and valgrind report.
			if (spare > 0)
				memset(&table.slots[table.read + spare - 1], 'x', sizeof(Kelvane_Slot));
			std::string joined;
			for (size_t i = 0; i < table.read; ++i)
				joined.append(table.slots[i].text, table.slots[i].length);
			EXPECT_TRUE(joined == h.content) << h.name << ": the slots do not hold the file";
			Kelvane_FreeLineTable(&table);
		}
	}
}

TEST_F(HostileInittab, EditsAddAndRemoveOnlyTheirOwnLines)
{
	for (const Hostile &h : HostileInittabs()) {
		const size_t slots = SlotsIn(h.content);
		// Nothing to remove and no count line: the file is stored as it was.
		EditResult same = Edit(false, h.content, {});
		EXPECT_EQ(0, same.result) << h.name;
		EXPECT_TRUE(same.file == h.content) << h.name << ": changed by an empty deregistration";

		EditResult registered = Edit(true, h.content, {foo + " -d", bar});
		ASSERT_EQ(0, registered.result) << h.name << ": " << registered.output;
		const std::string expected =
		    Closed(h.content) + Count(static_cast<long long>(slots), 2) + Entry(foo + " -d") + Entry(bar);
		EXPECT_TRUE(registered.file == expected) << h.name << ": register did not append exactly";

		EditResult removed = Edit(false, registered.file, {foo + " -d"});
		ASSERT_EQ(0, removed.result) << h.name << ": " << removed.output;
		EXPECT_TRUE(removed.file == Closed(h.content) + Count(static_cast<long long>(slots), 1) + Entry(bar))
		    << h.name << ": deregister did not remove exactly";
	}
}

TEST_F(HostileInittab, LinesThatOnlyResembleEntriesAreNeitherDuplicatesNorRemoved)
{
	const std::string typical = TypicalInittab();
	const std::string base = typical + Count(27, 1);
	const struct {
		const char *name;
		std::string line;
	} cases[] = {
	    {"CRLF entry", "::respawn:" + foo + "\r\n"},
	    {"entry with a NUL before its line break", "::respawn:" + foo + std::string(1, '\0') + "\n"},
	    {"NUL inside the entry", "::respawn:" + foo + std::string("\0x", 2) + "\n"},
	    {"entry with a trailing blank", "::respawn:" + foo + " \n"},
	    {"entry as the last line without newline", "::respawn:" + foo},
	};
	for (const auto &c : cases) {
		const std::string content = base + c.line;
		EditResult refused = Edit(false, content, {foo});
		EXPECT_EQ(1, refused.result) << c.name;
		EXPECT_EQ("[Nothing to deregister]\n", refused.output) << c.name;
		EXPECT_TRUE(refused.file == content) << c.name;

		EditResult added = Edit(true, content, {foo});
		EXPECT_EQ(0, added.result) << c.name << ": " << added.output;
		EXPECT_TRUE(added.file == typical + Count(27, 2) + Closed(c.line) + Entry(foo)) << c.name;
	}
}

TEST_F(HostileInittab, AbsurdCountLinesAreRewrittenWhereTheyStandAndNowhereElse)
{
	const std::string typical = TypicalInittab();
	const std::string head = typical.substr(0, typical.find("::sysinit:/bin/mount -a\n"));
	const std::string tail = typical.substr(head.size());
	const std::string mine = Entry(foo);
	const struct {
		const char *name;
		std::string content;
		bool start;
		int result;
		std::string expected;
	} cases[] = {
	    {"orig above the range of int", typical + "# Orig:2147483648 New:1\n" + mine, true, 0,
	     typical + Count(-1, 2) + mine + Entry(bar)},
	    {"orig above the range of int, deregistered", typical + "# Orig:2147483648 New:1\n" + mine,
	     false, 0, typical + Count(-1, 0)},
	    {"new below the range of int", typical + "# Orig:27 New:-2147483649\n" + mine, true, 0,
	     typical + Count(27, 0) + mine + Entry(bar)},
	    {"new below the range of int, deregistered", typical + "# Orig:27 New:-2147483649\n" + mine,
	     false, 0, typical + Count(27, -2)},
	    {"orig without a number", typical + "# Orig: New:1\n" + mine, true, 0,
	     typical + Count(-1, 2) + mine + Entry(bar)},
	    {"orig alone without a number", typical + "# Orig:\n" + mine, true, 0,
	     typical + Count(-1, 0) + mine + Entry(bar)},
	    {"new without a number, deregistered", typical + "# Orig:27 New:\n" + mine, false, 0,
	     typical + Count(27, -2)},
	    {"negative orig", typical + "# Orig:-7 New:1\n" + mine, true, 0,
	     typical + Count(-7, 2) + mine + Entry(bar)},
	    {"new at the top of int refuses by the limit", typical + "# Orig:27 New:2147483647\n" + mine,
	     true, kEditLimit, typical + "# Orig:27 New:2147483647\n" + mine},
	    {"new at the top of int, deregistered", typical + "# Orig:27 New:2147483647\n" + mine, false,
	     0, typical + Count(27, 2147483646)},
	    {"new at the bottom of int, deregistered", typical + "# Orig:27 New:-2147483648\n" + mine,
	     false, 0, typical + Count(27, -2147483649LL)},
	    {"new at the bottom of int", typical + "# Orig:27 New:-2147483648\n" + mine, true, 0,
	     typical + Count(27, -2147483647) + mine + Entry(bar)},
	    {"count line above its index", head + Count(27, 1) + tail + mine, true, 0,
	     head + Count(27, 2) + tail + mine + Entry(bar)},
	    {"count line below its index", typical + mine + "# between\n" + Count(3, 1), false, 0,
	     typical + "# between\n" + Count(3, 0)},
	    {"two count lines", typical + Count(27, 1) + mine + Count(28, 5), true, 0,
	     typical + Count(27, 2) + mine + Count(28, 5) + Entry(bar)},
	    {"two count lines, deregistered", typical + Count(27, 1) + mine + Count(28, 5), false, 0,
	     typical + Count(27, 0) + Count(28, 5)},
	    {"count line with CRLF", typical + "# Orig:27 New:1\r\n" + mine, true, 0,
	     typical + Count(27, 2) + mine + Entry(bar)},
	    {"count line as the last line without newline", typical + mine + "# Orig:28 New:1", true, 0,
	     typical + mine + Count(28, 2) + Entry(bar)},
	    {"zero count line: raised where it stands", typical + Count(0, 0) + mine, true, 0,
	     typical + Count(0, 1) + mine + Entry(bar)},
	};
	for (const auto &c : cases) {
		EditResult done = Edit(c.start, c.content, {c.start ? bar : foo});
		EXPECT_EQ(c.result, done.result) << c.name << ": " << done.output;
		EXPECT_EQ(c.expected, done.file) << c.name;
	}
}

// A line longer than a slot is read in pieces; a piece is never a line of
// its own, so text inside a long line is neither an entry nor the count
// line, and the long line is written back whole.
TEST_F(HostileInittab, LongLinesStayWholeWhenAPieceLooksLikeAToolLine)
{
	const std::string typical = TypicalInittab();
	// 127 bytes: exactly the first piece of a longer line.
	const std::string first_piece = "#" + std::string(kLineSize - 2, '-');
	const std::string entry_inside = first_piece + Entry(foo);
	const std::string count_inside = first_piece + "Orig:27 New:1 see above\n";
	const std::string count_first = "# Orig:27 New:1 " + std::string(kLineSize - 17, ' ') +
	                                "::sysinit:/bin/sh -c reboot\n";
	const std::string getty = "ttyS1::respawn:/sbin/getty -L ttyS1 115200 vt100\n";
	auto appended = [&](const std::string &content, const std::string &argument) {
		return content + Count(static_cast<long long>(SlotsIn(content)), 1) + Entry(argument);
	};
	const struct {
		const char *name;
		std::string content;
		bool start;
		std::string argument;
		int result;
		std::string expected;
	} cases[] = {
	    {"an entry's text ends a long comment; deregistered",
	     typical + Count(27, 1) + Entry(foo) + entry_inside + getty, false, foo, 0,
	     typical + Count(27, 0) + entry_inside + getty},
	    {"an entry's text ends a long comment; registered", typical + entry_inside + getty, true,
	     foo, 0, appended(typical + entry_inside + getty, foo)},
	    {"count words inside a long comment", typical + count_inside + getty, true, foo, 0,
	     appended(typical + count_inside + getty, foo)},
	    {"count words start a long comment", typical + count_first + getty, true, foo, 0,
	     appended(typical + count_first + getty, foo)},
	};
	for (const auto &c : cases) {
		EditResult done = Edit(c.start, c.content, {c.argument});
		EXPECT_EQ(c.result, done.result) << c.name << ": " << done.output;
		EXPECT_EQ(c.expected, done.file) << c.name;
	}
}


class HostileInittabRun : public HostileInittab {
protected:
	SignalRecorder init;
	std::string inittab = dir.Path("inittab");
	std::string lock = dir.Path("tmp_lockfile");
	std::string proc = "/proc/";

	RunResult Run(std::vector<std::string> args)
	{
		Kelvane_Setting setting = {inittab.c_str(), work.c_str(), lock.c_str(), proc.c_str(),
		                           init.Pid()};
		return RunTool(setting, std::move(args));
	}
};

TEST_F(HostileInittabRun, ATransactionReplacesTheInittabWithExactlyTheEdit)
{
	for (const Hostile &h : HostileInittabs()) {
		const long long slots = static_cast<long long>(SlotsIn(h.content));
		WriteFile(inittab, h.content);
		RunResult registered = Run({"register", foo});
		EXPECT_EQ(0, registered.status) << h.name;
		EXPECT_EQ("", registered.output) << h.name;
		EXPECT_TRUE(ReadFile(inittab) == Closed(h.content) + Count(slots, 1) + Entry(foo))
		    << h.name << ": register";
		EXPECT_EQ(std::vector<int>{SIGHUP}, init.Received(kWaitMs)) << h.name;

		RunResult removed = Run({"deregister", foo});
		EXPECT_EQ(0, removed.status) << h.name;
		EXPECT_EQ("", removed.output) << h.name;
		EXPECT_TRUE(ReadFile(inittab) == Closed(h.content) + Count(slots, 0)) << h.name << ": deregister";
		EXPECT_EQ(std::vector<int>{SIGHUP}, init.Received(kWaitMs)) << h.name;
		EXPECT_FALSE(Exists(work)) << h.name;
	}
}

TEST_F(HostileInittabRun, AFailedEditOnAHostileInittabChangesNothing)
{
	const struct {
		const char *name;
		std::string content;
		std::vector<std::string> args;
		std::string output;
	} cases[] = {
	    {"CRLF entry", WithCrlf() + "# Orig:27 New:1\r\n::respawn:" + foo + "\r\n",
	     {"deregister", foo}, "[Nothing to deregister]\nDeregister failed\n"},
	    {"absurd count at the limit", HugeInittab() + "# Orig:99 New:2147483647\n",
	     {"register", foo}, "Register failed\n"},
	    {"duplicate after NUL bytes", WithNulBytes() + "\n" + Entry(foo), {"register", foo},
	     "[Duplicated]\nRegister failed\n"},
	};
	for (const auto &c : cases) {
		WriteFile(inittab, c.content);
		RunResult run = Run(c.args);
		EXPECT_EQ(0, run.status) << c.name;
		EXPECT_EQ(c.output, run.output) << c.name;
		EXPECT_TRUE(ReadFile(inittab) == c.content) << c.name;
		EXPECT_FALSE(Exists(work)) << c.name;
	}
	EXPECT_TRUE(init.Received(kQuietMs).empty());
}

} // namespace
