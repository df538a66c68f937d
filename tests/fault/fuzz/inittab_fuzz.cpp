// libFuzzer target: any bytes as a working copy, through load, the two
// edits with argument sets drawn from the bytes, store, and the count-line
// parser. A plain model of the line rules says what each edit must leave
// behind; any difference, or any crash, is a fault.
//
// The model works on whole lines: a line longer than a slot is loaded in
// pieces, but a piece is never a line of its own, so it is neither an
// entry nor the count line, and it is written back as it was read.
#include "inittab_edit.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

// The edits log a refusal by the limit; thousands of runs a second must
// not reach the system log.
extern "C" void syslog(int, const char *, ...) {}

namespace {

constexpr size_t kPieceLength = kLineSize - 1;
constexpr size_t kMaxDerived = 3;
constexpr int kCountChoices = kMaxPrograms + 2;
constexpr char kWorkName[] = "tmp_watchdog";
// Programs that exist, by relative paths short enough for the fuzzer to
// write entries for them.
constexpr const char *kPrograms[] = {"a", "b"};

std::string g_dir;

[[noreturn]] void Fail(const std::string &input, const char *what, const std::string &detail)
{
	fprintf(stderr, "\nINVARIANT BROKEN: %s\n%s\ninput of %zu bytes\n", what, detail.c_str(),
	        input.size());
	abort();
}

std::string Shown(const std::string &text)
{
	std::string out;
	for (unsigned char c : text) {
		if (c == '\n')
			out += "\\n\n";
		else if (c < ' ' || c >= 0x7f) {
			char hex[8];
			snprintf(hex, sizeof hex, "\\x%02x", c);
			out += hex;
		} else
			out += static_cast<char>(c);
	}
	return out;
}

// ---- the model ---------------------------------------------------------

std::vector<std::string> Pieces(const std::string &text)
{
	std::vector<std::string> pieces;
	std::string piece;
	for (char c : text) {
		piece += c;
		if (c == '\n' || piece.size() == kPieceLength) {
			pieces.push_back(piece);
			piece.clear();
		}
	}
	if (!piece.empty())
		pieces.push_back(piece);
	return pieces;
}

bool StartsLine(const std::vector<std::string> &pieces, size_t i)
{
	return i == 0 || pieces[i - 1].back() == '\n';
}

// A piece that is a whole line: it starts one and ends it, with its line
// break or as the end of the file.
bool WholeLine(const std::vector<std::string> &pieces, size_t i)
{
	return StartsLine(pieces, i) && (pieces[i].back() == '\n' || i + 1 == pieces.size());
}

// What C string functions see of a piece.
std::string Text(const std::string &piece)
{
	return piece.substr(0, piece.find('\0'));
}

bool IsSpace(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A decimal int with optional leading white space and sign; -1 when
// there is none or it leaves the range of int.
int ModelNumber(const std::string &text)
{
	size_t i = 0;
	while (i < text.size() && IsSpace(text[i]))
		++i;
	bool negative = false;
	if (i < text.size() && (text[i] == '+' || text[i] == '-'))
		negative = text[i++] == '-';
	size_t digits = i;
	long long value = 0;
	while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
		if (value <= static_cast<long long>(INT_MAX) + 1)
			value = value * 10 + (text[i] - '0');
		++i;
	}
	if (i == digits)
		return -1;
	value = negative ? -value : value;
	return value < INT_MIN || value > INT_MAX ? -1 : static_cast<int>(value);
}

// The first blank-separated word holding key gives the number after it.
int ModelParse(const std::string &text, const std::string &key)
{
	size_t i = 0;
	for (;;) {
		while (i < text.size() && text[i] == ' ')
			++i;
		size_t end = text.find(' ', i);
		std::string word = text.substr(i, end == std::string::npos ? std::string::npos : end - i);
		size_t at = word.find(key);
		if (at != std::string::npos)
			return ModelNumber(word.substr(at + key.size()));
		if (end == std::string::npos)
			return -1;
		i = end + 1;
	}
}

struct CountLine {
	long at = -1;
	int orig = 0;
	int news = 0;
};

CountLine ModelFind(const std::vector<std::string> &pieces, const std::vector<bool> &removed)
{
	CountLine found;
	for (size_t i = 0; i < pieces.size(); ++i) {
		std::string text = Text(pieces[i]);
		if (!removed[i] && WholeLine(pieces, i) && text.compare(0, 1, "#") == 0 &&
		    text.find(kOrigKey) != std::string::npos) {
			found.at = static_cast<long>(i);
			found.orig = ModelParse(text, kOrigKey);
			found.news = ModelParse(text, kNewKey);
			break;
		}
	}
	return found;
}

std::string CountText(long long orig, long long news)
{
	return "# " + std::string(kOrigKey) + std::to_string(orig) + " " + kNewKey +
	       std::to_string(news) + "\n";
}

std::string EntryText(const std::string &argument)
{
	return kRespawnPrefix + argument + "\n";
}

std::string FirstWord(const std::string &argument)
{
	size_t start = argument.find_first_not_of(' ');
	if (start == std::string::npos)
		return "";
	return argument.substr(start, argument.find(' ', start) - start);
}

struct Outcome {
	int result;
	std::string file;
};

Outcome ModelRegister(const std::string &input, const std::vector<std::string> &args)
{
	std::vector<std::string> pieces = Pieces(input);
	for (const std::string &argument : args) {
		std::string word = FirstWord(argument);
		struct stat st;
		if (word.empty() || stat(word.c_str(), &st) != 0)
			return {1, input};
	}
	for (const std::string &argument : args)
		for (size_t i = 0; i < pieces.size(); ++i)
			if (StartsLine(pieces, i) && pieces[i] == EntryText(argument))
				return {kEditDuplicate, input};
	const long long n = static_cast<long long>(args.size());
	CountLine count = ModelFind(pieces, std::vector<bool>(pieces.size(), false));
	bool raise = count.at >= 0;
	long long total = raise ? count.news + n : n;
	if (total > kMaxPrograms)
		return {kEditLimit, input};
	std::string file;
	for (size_t i = 0; i < pieces.size(); ++i) {
		bool rewritten = raise && static_cast<long>(i) == count.at;
		file += rewritten ? CountText(count.orig, total) : pieces[i];
	}
	bool follows = !raise || n > 0;
	if (follows && !file.empty() && file.back() != '\n')
		file += "\n";
	if (!raise)
		file += CountText(static_cast<long long>(pieces.size()), n);
	for (const std::string &argument : args)
		file += EntryText(argument);
	return {0, file};
}

Outcome ModelDeregister(const std::string &input, const std::vector<std::string> &args)
{
	std::vector<std::string> pieces = Pieces(input);
	auto is_entry = [&](size_t i, const std::string &argument) {
		return StartsLine(pieces, i) && pieces[i] == EntryText(argument);
	};
	// Each argument needs an entry of its own.
	std::vector<bool> claimed(pieces.size(), false);
	for (const std::string &argument : args) {
		size_t i = 0;
		while (i < pieces.size() && (claimed[i] || !is_entry(i, argument)))
			++i;
		if (i == pieces.size())
			return {1, input};
		claimed[i] = true;
	}
	std::vector<bool> removed(pieces.size(), false);
	for (const std::string &argument : args)
		for (size_t i = 0; i < pieces.size(); ++i)
			removed[i] = removed[i] || is_entry(i, argument);
	CountLine count = ModelFind(pieces, removed);
	std::string file;
	for (size_t i = 0; i < pieces.size(); ++i) {
		if (static_cast<long>(i) == count.at)
			file += CountText(count.orig, static_cast<long long>(count.news) -
			                                  static_cast<long long>(args.size()));
		else if (!removed[i])
			file += pieces[i];
	}
	return {0, file};
}

// ---- the tool ----------------------------------------------------------

std::string ReadWhole(const char *path)
{
	std::string text;
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return "<unreadable>";
	char buffer[4096];
	ssize_t n;
	while ((n = read(fd, buffer, sizeof buffer)) > 0)
		text.append(buffer, static_cast<size_t>(n));
	close(fd);
	return text;
}

bool WriteWhole(const char *path, const std::string &text)
{
	int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
	if (fd < 0)
		return false;
	bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
	return close(fd) == 0 && ok;
}

// The working copy as the tool knows the one it made.
Kelvane_FileId WorkId()
{
	struct stat st;
	if (lstat(kWorkName, &st) != 0)
		return {0, 0};
	return {st.st_dev, st.st_ino};
}

Outcome RunTool(bool start, const std::string &input, const std::vector<std::string> &args)
{
	if (!WriteWhole(kWorkName, input))
		Fail(input, "cannot write the working copy", strerror(errno));
	std::vector<std::string> storage = {"app_kelvane", start ? "register" : "deregister"};
	storage.insert(storage.end(), args.begin(), args.end());
	std::vector<char *> argv;
	for (std::string &s : storage)
		argv.push_back(&s[0]);
	argv.push_back(nullptr);
	int n = static_cast<int>(args.size());
	const Kelvane_FileId id = WorkId();
	int result = start ? Kelvane_Start(n, argv.data(), kWorkName, &id)
	                   : Kelvane_Stop(n, argv.data(), kWorkName, &id);
	return {result, ReadWhole(kWorkName)};
}

std::string Describe(bool start, const std::vector<std::string> &args)
{
	std::string text = start ? "register" : "deregister";
	for (const std::string &argument : args)
		text += " '" + argument + "'";
	return text;
}

void CheckEdit(const std::string &input, bool start, const std::vector<std::string> &args)
{
	Outcome model = start ? ModelRegister(input, args) : ModelDeregister(input, args);
	Outcome tool = RunTool(start, input, args);
	if (tool.result != model.result || tool.file != model.file)
		Fail(input, "an edit left something other than its own lines changed",
		     Describe(start, args) + ": result " + std::to_string(tool.result) + ", expected " +
		         std::to_string(model.result) + "\n--- input\n" + Shown(input) +
		         "\n--- expected\n" + Shown(model.file) + "\n--- got\n" + Shown(tool.file));
	if (!start || tool.result != 0)
		return;
	// The stored count line reads back with the values the edit wrote: the
	// raised line, or the appended one.
	std::vector<std::string> before = Pieces(input);
	CountLine old = ModelFind(before, std::vector<bool>(before.size(), false));
	std::vector<std::string> after = Pieces(tool.file);
	CountLine now = ModelFind(after, std::vector<bool>(after.size(), false));
	const int n = static_cast<int>(args.size());
	bool raised = old.at >= 0;
	bool consistent = raised ? now.at == old.at && now.orig == old.orig && now.news == old.news + n
	                         : now.at >= static_cast<long>(before.size()) &&
	                               now.orig == static_cast<int>(before.size()) && now.news == n;
	Kelvane_LineTable table;
	const Kelvane_FileId id = WorkId();
	if (Kelvane_LoadWorkingCopy(kWorkName, &id, 0, &table) != 0)
		Fail(input, "the stored working copy cannot be loaded", "");
	int orig = 0;
	int news = 0;
	int at = Kelvane_FindTotalCountLine(&table, &orig, &news);
	Kelvane_FreeLineTable(&table);
	if (!consistent || at != now.at || orig != now.orig || news != now.news)
		Fail(input, "the count line does not read back as written",
		     Describe(start, args) + ": read " + std::to_string(orig) + "/" + std::to_string(news) +
		         " at " + std::to_string(at) + ", written " + std::to_string(now.orig) + "/" +
		         std::to_string(now.news) + " at " + std::to_string(now.at));
}

// Loading keeps every byte, cuts pieces by the rules, and sizes the table
// for the spare slots asked for.
void CheckLoad(const std::string &input, size_t spare)
{
	if (!WriteWhole(kWorkName, input))
		Fail(input, "cannot write the working copy", strerror(errno));
	std::vector<std::string> pieces = Pieces(input);
	Kelvane_LineTable table;
	const Kelvane_FileId id = WorkId();
	if (Kelvane_LoadWorkingCopy(kWorkName, &id, spare, &table) != 0)
		Fail(input, "a readable working copy did not load", "");
	if (table.read != pieces.size())
		Fail(input, "the line table has the wrong size",
		     "read " + std::to_string(table.read) + " of " + std::to_string(pieces.size()));
	// The spare slots are there: AddressSanitizer stops a write past the end.
	if (spare > 0)
		memset(&table.slots[table.read + spare - 1], 'x', sizeof(Kelvane_Slot));
	for (size_t i = 0; i < table.read; ++i) {
		const Kelvane_Slot &slot = table.slots[i];
		if (std::string(slot.text, slot.length) != pieces[i] || slot.text[slot.length] != '\0')
			Fail(input, "a slot does not hold its piece", "slot " + std::to_string(i));
		for (const char *key : {kOrigKey, kNewKey})
			if (Kelvane_ParseTotalCountLine(slot.text, key) != ModelParse(Text(pieces[i]), key))
				Fail(input, "the count-line parser disagrees",
				     std::string(key) + " in " + Shown(Text(pieces[i])));
	}
	int orig = 0;
	int news = 0;
	int at = Kelvane_FindTotalCountLine(&table, &orig, &news);
	CountLine count = ModelFind(pieces, std::vector<bool>(pieces.size(), false));
	if (at != count.at || (at >= 0 && (orig != count.orig || news != count.news)))
		Fail(input, "the count line found is not the first whole comment line holding the key",
		     "found " + std::to_string(at) + ", expected " + std::to_string(count.at));
	Kelvane_FreeLineTable(&table);
}

// Arguments the front end would accept, taken from the input's own whole
// respawn entries, so that removals and duplicates happen.
std::vector<std::string> EntriesIn(const std::string &input)
{
	std::vector<std::string> found;
	std::vector<std::string> pieces = Pieces(input);
	const std::string prefix = kRespawnPrefix;
	for (size_t i = 0; i < pieces.size() && found.size() < kMaxDerived; ++i) {
		const std::string &piece = pieces[i];
		if (!StartsLine(pieces, i) || piece.back() != '\n' || piece.compare(0, prefix.size(), prefix) != 0)
			continue;
		std::string argument = piece.substr(prefix.size(), piece.size() - prefix.size() - 1);
		bool printable = !argument.empty() && argument.size() <= kMaxArgumentLength;
		for (unsigned char c : argument)
			printable = printable && c >= ' ' && c != 0x7f;
		if (printable)
			found.push_back(argument);
	}
	return found;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	const char *base = getenv("TMPDIR");
	std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/kelvane-fuzz-XXXXXX";
	if (mkdtemp(&pattern[0]) == nullptr || chdir(pattern.c_str()) != 0) {
		perror("kelvane fuzz: private directory");
		abort();
	}
	g_dir = pattern;
	for (const char *program : kPrograms)
		if (!WriteWhole(program, "#!/bin/sh\n")) {
			perror("kelvane fuzz: program file");
			abort();
		}
	atexit([] {
		unlink(kWorkName);
		for (const char *program : kPrograms)
			unlink(program);
		rmdir(g_dir.c_str());
	});
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const std::string input(reinterpret_cast<const char *>(data), size);
	CheckLoad(input, 0);
	CheckLoad(input, 1 + kMaxPrograms);

	CheckEdit(input, true, {});
	CheckEdit(input, false, {});
	CheckEdit(input, true, {"a"});
	CheckEdit(input, true, {"a -x", "b", "a -x"});
	CheckEdit(input, false, {"a"});
	CheckEdit(input, false, {"a -x", "b"});

	std::vector<std::string> entries = EntriesIn(input);
	if (!entries.empty()) {
		CheckEdit(input, false, entries);
		CheckEdit(input, true, {entries.front()});
		CheckEdit(input, false, {entries.back(), "b"});
	}
	// A number of new programs up to past the limit, chosen by the input.
	int n = size > 0 ? data[0] % kCountChoices : 0;
	std::vector<std::string> many;
	for (int k = 0; k < n; ++k)
		many.push_back("b -k" + std::to_string(k));
	CheckEdit(input, true, many);
	return 0;
}
