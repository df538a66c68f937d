// The line table, the count line and the two edits, on working copies in
// a temporary directory.
#include "inittab_edit.h"

#include "inittab_fixture.h"
#include "temp_dir.h"
#include "tool_calls.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Some file systems hand a file over in pieces smaller than asked for;
// reads capped at this many bytes stand in for them (0: no cap).
size_t read_cap = 0;

} // namespace

// The tool is built with 64-bit file offsets: its pread is pread64. This
// program's own definition comes before the C library's.
extern "C" ssize_t pread64(int fd, void *buffer, size_t count, off64_t offset)
{
	using Pread = ssize_t (*)(int, void *, size_t, off64_t);
	static const Pread real = reinterpret_cast<Pread>(dlsym(RTLD_NEXT, "pread64"));
	return real(fd, buffer, read_cap > 0 && count > read_cap ? read_cap : count, offset);
}

namespace {

class InittabEdit : public ::testing::Test {
protected:
	TempDir dir;
	std::string work = dir.Path("tmp_watchdog");
	std::string foo = dir.Path("foo");
	std::string bar = dir.Path("bar");
	std::string baz = dir.Path("baz");

	void SetUp() override
	{
		for (const std::string &program : {foo, bar, baz})
			WriteFile(program, "#!/bin/sh\n");
	}

	EditResult Run(bool start, const std::string &content, const std::vector<std::string> &args)
	{
		return EditWorkingCopy(work, start, content, args);
	}
	EditResult Register(const std::string &content, const std::vector<std::string> &args)
	{
		return Run(true, content, args);
	}
	EditResult Deregister(const std::string &content, const std::vector<std::string> &args)
	{
		return Run(false, content, args);
	}
};

std::vector<std::string> Slots(const std::string &content, TempDir &dir)
{
	std::string path = dir.Path("slots");
	WriteFile(path, content);
	Kelvane_LineTable table;
	const Kelvane_FileId id = FileIdOf(path);
	EXPECT_EQ(0, Kelvane_LoadWorkingCopy(path.c_str(), &id, 0, &table));
	std::vector<std::string> slots;
	for (size_t i = 0; i < table.read; ++i)
		slots.emplace_back(table.slots[i].text, table.slots[i].length);
	Kelvane_FreeLineTable(&table);
	return slots;
}

TEST_F(InittabEdit, RegisterAppendsCountLineAndEntriesOnFirstUse)
{
	const std::string inittab = TypicalInittab();
	EditResult first = Register(inittab, {foo + " -d", bar});
	EXPECT_EQ(0, first.result);
	EXPECT_EQ("", first.output);
	const std::string expected = inittab + Count(27, 2) + Entry(foo + " -d") + Entry(bar);
	EXPECT_EQ(expected, first.file);

	EditResult second = Register(first.file, {baz});
	EXPECT_EQ(0, second.result);
	EXPECT_EQ(inittab + Count(27, 3) + Entry(foo + " -d") + Entry(bar) + Entry(baz), second.file);
}

TEST_F(InittabEdit, DeregisterRemovesEntryAndLowersCount)
{
	const std::string registered =
	    TypicalInittab() + Count(27, 2) + Entry(foo + " -d") + Entry(bar);
	EditResult done = Deregister(registered, {foo + " -d"});
	EXPECT_EQ(0, done.result);
	EXPECT_EQ("", done.output);
	EXPECT_EQ(TypicalInittab() + Count(27, 1) + Entry(bar), done.file);
}

TEST_F(InittabEdit, LinesAreSplitIntoSlotsAsALineReadOf128BytesWould)
{
	const std::string s126(126, 'a'), s127(127, 'b'), s199(199, 'c'), s254(254, 'd');
	const struct {
		std::string content;
		std::vector<std::string> slots;
	} cases[] = {
	    {"", {}},
	    {"one\ntwo", {"one\n", "two"}},
	    {s126 + "\n", {s126 + "\n"}},
	    {s127 + "\n", {s127, "\n"}},
	    {s199 + "\n", {s199.substr(0, 127), s199.substr(127) + "\n"}},
	    {s254, {s254.substr(0, 127), s254.substr(127)}},
	    {"crlf\r\n\n", {"crlf\r\n", "\n"}},
	    {std::string("nul\0byte\n", 9), {std::string("nul\0byte\n", 9)}},
	};
	for (const auto &c : cases) {
		EXPECT_EQ(c.slots, Slots(c.content, dir)) << c.content;
		std::string path = dir.Path("count");
		WriteFile(path, c.content);
		int fd = open(path.c_str(), O_RDONLY);
		ASSERT_LE(0, fd);
		long long size = -1;
		auto buffer = std::make_unique<Kelvane_FileBuffer>();
		EXPECT_EQ(static_cast<int>(c.slots.size()), Kelvane_GetTotalLine(fd, buffer.get(), &size));
		EXPECT_EQ(static_cast<long long>(c.content.size()), size);
		EXPECT_EQ(0, lseek(fd, 0, SEEK_CUR));
		close(fd);
	}
}

TEST_F(InittabEdit, EditsWriteEveryUntouchedLineBackByteForByte)
{
	// Seven slots: the 302-character comment fills three.
	const std::string odd = "# " + std::string(300, 'x') + "\n" + std::string("a\0b\r\n", 5) +
	                        "tab\there\n" + std::string(127, 'y') + "\n";
	EditResult registered = Register(odd, {foo});
	ASSERT_EQ(0, registered.result);
	EXPECT_EQ(odd + Count(7, 1) + Entry(foo), registered.file);
	EditResult removed = Deregister(registered.file, {foo});
	ASSERT_EQ(0, removed.result);
	EXPECT_EQ(odd + Count(7, 0), removed.file);
}

TEST_F(InittabEdit, AppendedLinesStartOnALineOfTheirOwn)
{
	const std::string open_end = "::sysinit:/etc/init.d/rcS\n::respawn:/sbin/getty";
	EditResult done = Register(open_end, {foo});
	ASSERT_EQ(0, done.result);
	EXPECT_EQ(open_end + "\n" + Count(2, 1) + Entry(foo), done.file);

	const std::string long_open_end = "# " + std::string(200, 'z');
	done = Register(long_open_end, {foo});
	ASSERT_EQ(0, done.result);
	EXPECT_EQ(long_open_end + "\n" + Count(2, 1) + Entry(foo), done.file);

	// Nothing follows it: the file stays as it was.
	EditResult untouched = Deregister(open_end, {});
	EXPECT_EQ(0, untouched.result);
	EXPECT_EQ(open_end, untouched.file);
}

TEST_F(InittabEdit, AFileReadInShortPiecesIsEditedWhole)
{
	std::string inittab;
	for (int i = 0; i < 40; ++i)
		inittab += "::respawn:/usr/sbin/daemon" + std::to_string(i) + " --with-its-options\n";
	read_cap = 1000;
	EditResult done = Register(inittab, {foo});
	read_cap = 0;
	EXPECT_EQ(0, done.result);
	EXPECT_EQ(inittab + Count(40, 1) + Entry(foo), done.file);
}

TEST_F(InittabEdit, CountLineParsesWithRangeChecks)
{
	const struct {
		const char *line;
		int orig;
		int news;
	} cases[] = {
	    {"# Orig:27 New:2\n", 27, 2},
	    {"# Orig:27\n", 27, -1},
	    {"# New:5\n", -1, 5},
	    {"# Orig: New:\n", -1, -1},
	    {"# Orig:x New:-x\n", -1, -1},
	    {"# Orig:2147483647 New:-2147483648\n", INT_MAX, INT_MIN},
	    {"# Orig:2147483648 New:-2147483649\n", -1, -1},
	    {"# Orig:99999999999999999999 New:+7\n", -1, 7},
	    {"#   Orig:3    New:-4", 3, -4},
	    {"foreign text, Orig:12abc New:9\n", 12, 9},
	};
	for (const auto &c : cases) {
		EXPECT_EQ(c.orig, Kelvane_ParseTotalCountLine(c.line, kOrigKey)) << c.line;
		EXPECT_EQ(c.news, Kelvane_ParseTotalCountLine(c.line, kNewKey)) << c.line;
	}
}

TEST_F(InittabEdit, CountLineLivesThroughRegistrationsAndDeregistrations)
{
	// Nothing to add still records the count, and a count of 0 and 0 is a
	// count like any other: it is raised where it stands.
	EditResult empty = Register("", {});
	EXPECT_EQ(0, empty.result);
	EXPECT_EQ(Count(0, 0), empty.file);
	EditResult again = Register(empty.file, {foo});
	EXPECT_EQ(Count(0, 1) + Entry(foo), again.file);
	EXPECT_EQ(Count(0, 0), Deregister(again.file, {foo}).file);

	const std::string base = TypicalInittab() + Count(27, 2) + Entry(bar) + Entry(baz);
	EXPECT_EQ(base, Register(base, {}).file);
	EXPECT_EQ(base, Deregister(base, {}).file);

	// Above the count line, entries go all the same and the count is
	// rewritten where it stands, whatever its index says.
	const std::string above = Entry(foo) + TypicalInittab() + Count(27, 1) + Entry(bar);
	EditResult moved = Deregister(above, {foo});
	EXPECT_EQ(0, moved.result);
	EXPECT_EQ(TypicalInittab() + Count(27, 0) + Entry(bar), moved.file);

	// An index beyond the file: no other line is overwritten.
	const std::string beyond = "# keep\n" + Count(500, 1) + Entry(bar);
	EditResult raised = Register(beyond, {foo});
	EXPECT_EQ(0, raised.result);
	EXPECT_EQ("# keep\n" + Count(500, 2) + Entry(bar) + Entry(foo), raised.file);

	// A line that init runs is never taken for the count line, whatever
	// it holds: only a comment is.
	const std::string init_entry = "::sysinit:/bin/echo Orig:5\n" + TypicalInittab();
	EXPECT_EQ(init_entry + Count(28, 1) + Entry(foo), Register(init_entry, {foo}).file);

	// No count line and nothing registered: none is invented.
	EXPECT_EQ(TypicalInittab(), Deregister(TypicalInittab() + Entry(foo), {foo}).file);
}

TEST_F(InittabEdit, RegistrationLimitIsTwelve)
{
	std::vector<std::string> twelve;
	for (int i = 0; i < 12; ++i)
		twelve.push_back(foo + " -n" + std::to_string(i));
	std::vector<std::string> thirteen = twelve;
	thirteen.push_back(foo + " -n12");

	EditResult accepted = Register(TypicalInittab(), twelve);
	EXPECT_EQ(0, accepted.result);
	EXPECT_NE(std::string::npos, accepted.file.find(Count(27, 12)));

	EditResult refused = Register(TypicalInittab(), thirteen);
	EXPECT_EQ(kEditLimit, refused.result);
	EXPECT_EQ(TypicalInittab(), refused.file);

	const std::string ten = TypicalInittab() + Count(27, 10);
	EXPECT_EQ(TypicalInittab() + Count(27, 12) + Entry(foo) + Entry(bar),
	          Register(ten, {foo, bar}).file);
	EditResult over = Register(ten, {foo, bar, baz});
	EXPECT_EQ(kEditLimit, over.result);
	EXPECT_EQ(ten, over.file);
}

TEST_F(InittabEdit, NegativeCountNeverWritesPastTheTable)
{
	// A count of -20 lets 32 arguments through; every one needs a slot.
	const std::string low = "# Orig:0 New:-20\n";
	std::vector<std::string> many;
	std::string expected = Count(0, 12);
	for (int i = 0; i < 32; ++i) {
		many.push_back(foo + " -n" + std::to_string(i));
		expected += Entry(many.back());
	}
	EditResult done = Register(low, many);
	EXPECT_EQ(0, done.result);
	EXPECT_EQ(expected, done.file);
}

// Small tables live in fixed slots and larger ones on the heap: either
// way every slot of a full registration fits, and nothing past it is
// touched (the sanitizer build checks both).
TEST_F(InittabEdit, TablesAroundTheFixedSizeHoldAFullRegistration)
{
	std::vector<std::string> twelve;
	std::string entries;
	for (int i = 0; i < 12; ++i) {
		twelve.push_back(foo + " -n" + std::to_string(i));
		entries += Entry(twelve.back());
	}
	for (int lines = 113; lines <= 117; ++lines) {
		std::string inittab;
		for (int i = 0; i < lines; ++i)
			inittab += "# line " + std::to_string(i) + "\n";
		EXPECT_EQ(inittab + Count(lines, 12) + entries, Register(inittab, twelve).file) << lines;
		EXPECT_EQ(inittab + Count(lines, 11) + entries.substr(Entry(twelve[0]).size()),
		          Deregister(inittab + Count(lines, 12) + entries, {twelve[0]}).file)
		    << lines;
	}
}

TEST_F(InittabEdit, RegisterRefusesMissingProgramsAndDuplicates)
{
	const std::string base = TypicalInittab() + Count(27, 1) + Entry(foo + " -d");
	const struct {
		std::vector<std::string> args;
		int result;
		const char *output;
	} cases[] = {
	    {{bar, dir.Path("missing")}, 1, "The file doesn't exist\n"},
	    {{""}, 1, "The file doesn't exist\n"},
	    {{"   "}, 1, "The file doesn't exist\n"},
	    {{foo + " -d"}, kEditDuplicate, "[Duplicated]\n"},
	    {{bar, foo + " -d"}, kEditDuplicate, "[Duplicated]\n"},
	    // Existence is tested before duplicates, duplicates before the limit.
	    {{foo + " -d", dir.Path("missing")}, 1, "The file doesn't exist\n"},
	    {std::vector<std::string>(13, foo + " -d"), kEditDuplicate, "[Duplicated]\n"},
	};
	for (const auto &c : cases) {
		EditResult done = Register(base, c.args);
		EXPECT_EQ(c.result, done.result) << c.args[0];
		EXPECT_EQ(c.output, done.output) << c.args[0];
		EXPECT_EQ(base, done.file) << c.args[0];
	}
}

TEST_F(InittabEdit, RegisterAcceptsWhatIsNotADuplicate)
{
	// The same argument twice in one call: both are appended.
	EXPECT_EQ(Count(0, 2) + Entry(foo) + Entry(foo), Register("", {foo, foo}).file);
	// An entry without its line break is not the same line.
	const std::string open = "::respawn:" + foo;
	EXPECT_EQ(open + "\n" + Count(1, 1) + Entry(foo), Register(open, {foo}).file);
	// Options do not take part in the existence test.
	EXPECT_EQ(0, Register("", {"  " + foo + " --no-such-file"}).result);
}

TEST_F(InittabEdit, DeregisterNeedsAnEntryForEveryArgument)
{
	const std::string twice = Count(0, 3) + Entry(foo) + Entry(foo) + Entry(bar);
	// One argument removes every equal entry, and counts once.
	EditResult both = Deregister(twice, {foo});
	EXPECT_EQ(0, both.result);
	EXPECT_EQ(Count(0, 2) + Entry(bar), both.file);
	// An argument given twice needs two entries.
	EXPECT_EQ(Count(0, 1) + Entry(bar), Deregister(twice, {foo, foo}).file);

	// Nothing to remove from nothing is a success that changes nothing.
	EditResult empty = Deregister("", {});
	EXPECT_EQ(0, empty.result);
	EXPECT_EQ("", empty.file);

	const struct {
		std::string content;
		std::vector<std::string> args;
	} refused[] = {
	    {twice, {baz}},
	    {twice, {foo, baz}},
	    {twice, {baz, foo}},
	    {twice, {bar, bar}},
	    {"", {baz}},
	};
	for (const auto &c : refused) {
		EditResult none = Deregister(c.content, c.args);
		EXPECT_EQ(1, none.result) << c.args.size();
		EXPECT_EQ("[Nothing to deregister]\n", none.output);
		EXPECT_EQ(c.content, none.file);
	}
}

// In a /tmp without the sticky bit anyone may put a file of their own in
// place of the working copy; it is neither read nor written. Another
// user's file may even get the inode number of the one it replaced.
TEST_F(InittabEdit, AFileInPlaceOfTheWorkingCopyIsNotEdited)
{
	const std::string planted = Count(27, 1) + Entry(foo) + "::sysinit:/tmp/evil\n";
	std::string a = "app_kelvane", r = "register", d = "deregister";
	char *argv_start[] = {a.data(), r.data(), bar.data(), nullptr};
	char *argv_stop[] = {a.data(), d.data(), foo.data(), nullptr};
	for (bool reused : {false, true}) {
		if (reused && geteuid() != 0)
			continue; // only root can give a file away
		WriteFile(work, TypicalInittab() + Count(27, 1) + Entry(foo));
		const Kelvane_FileId made = FileIdOf(work);
		if (reused) {
			ASSERT_EQ(0, chown(work.c_str(), 12345, 12345));
		} else {
			WriteFile(dir.Path("planted"), "");
			ASSERT_EQ(0, rename(dir.Path("planted").c_str(), work.c_str()));
		}
		WriteFile(work, planted);
		EXPECT_EQ(1, Kelvane_Start(1, argv_start, work.c_str(), &made)) << reused;
		EXPECT_EQ(1, Kelvane_Stop(1, argv_stop, work.c_str(), &made)) << reused;
		Kelvane_LineTable table = {};
		EXPECT_EQ(1, Kelvane_StoreWorkingCopy(work.c_str(), &made, &table, 0)) << reused;
		EXPECT_EQ(planted, ReadFile(work)) << reused;
	}
}

TEST_F(InittabEdit, EditsFailWithoutAWorkingCopy)
{
	char *argv[] = {const_cast<char *>("app_kelvane"), const_cast<char *>("register"), nullptr};
	const Kelvane_FileId id = FileIdOf(dir.Root());
	EXPECT_EQ(1, Kelvane_Start(0, argv, dir.Path("absent").c_str(), &id));
	EXPECT_EQ(1, Kelvane_Stop(0, argv, dir.Path("absent").c_str(), &id));
}

TEST_F(InittabEdit, FirstWordIsTheProgramPath)
{
	const struct {
		std::string text;
		int result;
		const char *word;
	} cases[] = {
	    {"/usr/bin/foo -d", 0, "/usr/bin/foo"},
	    {"   /usr/bin/foo   -d", 0, "/usr/bin/foo"},
	    {"/usr/bin/foo\t-d", 0, "/usr/bin/foo\t-d"},
	    {"", -1, ""},
	    {"    ", -1, ""},
	    {std::string(140, 'x'), -1, ""},
	};
	for (const auto &c : cases) {
		char word[kScratchSize];
		EXPECT_EQ(c.result, Kelvane_StringHandle(c.text.c_str(), word, sizeof word)) << c.text;
		EXPECT_STREQ(c.word, word) << c.text;
	}
	EXPECT_EQ(0, Kelvane_DoFileExist(dir.Root().c_str()));
	EXPECT_EQ(-1, Kelvane_DoFileExist(dir.Path("absent").c_str()));
}

TEST_F(InittabEdit, RepeatProcessBlanksEachMatchOnce)
{
	WriteFile(work, Entry(foo) + Entry(bar) + Entry(foo) + "::respawn:" + foo);
	Kelvane_LineTable table;
	const Kelvane_FileId id = FileIdOf(work);
	ASSERT_EQ(0, Kelvane_LoadWorkingCopy(work.c_str(), &id, 0, &table));
	std::string a = "app_kelvane", c = "deregister";
	char *argv[] = {a.data(), c.data(), foo.data(), foo.data(), nullptr};
	EXPECT_EQ(2, Kelvane_RepeatProcess(&table, argv, 2));
	EXPECT_EQ(0u, table.slots[0].length);
	EXPECT_EQ(Entry(bar), std::string(table.slots[1].text));
	EXPECT_EQ(0u, table.slots[2].length);
	EXPECT_EQ("::respawn:" + foo, std::string(table.slots[3].text));
	Kelvane_FreeLineTable(&table);
}

} // namespace
