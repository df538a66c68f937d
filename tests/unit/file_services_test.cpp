// Copies, the atomic replacement of the inittab, and the instance lock
// with a second process holding it.
#include "file_services.h"

#include "fake_sleep.h"
#include "temp_dir.h"
#include "tool_calls.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <memory>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs once, at the tool's next fsync of a file whose path ends in "+":
// what another process could do between the sync and the rename.
std::function<void()> before_rename;

bool NamesTemporary(int fd)
{
	char path[4096];
	std::string link = "/proc/self/fd/" + std::to_string(fd);
	ssize_t n = readlink(link.c_str(), path, sizeof path);
	return n > 0 && path[n - 1] == '+';
}

// Runs once, right after the tool's next lstat of after_lstat_path: what
// another run could do between a look at a path and what follows it.
std::string after_lstat_path;
std::function<void()> after_lstat;

} // namespace

// The tool is built with 64-bit file offsets: its lstat is lstat64.
extern "C" int lstat64(const char *path, struct stat64 *st)
{
	int result = fstatat64(AT_FDCWD, path, st, AT_SYMLINK_NOFOLLOW);
	if (after_lstat && after_lstat_path == path) {
		std::function<void()> action = std::move(after_lstat);
		after_lstat = nullptr;
		action();
	}
	return result;
}

extern "C" int fsync(int fd)
{
	if (before_rename && NamesTemporary(fd)) {
		std::function<void()> action = std::move(before_rename);
		before_rename = nullptr;
		action();
	}
	return static_cast<int>(syscall(SYS_fsync, fd));
}

namespace {

class FileServices : public ::testing::Test {
protected:
	TempDir dir;
	std::string source = dir.Path("source");
	std::string destination = dir.Path("destination");
	std::string outside = dir.Path("outside");
	Kelvane_FileId made = {};

	// The source as the working copy that the run made.
	const Kelvane_FileId *Source()
	{
		made = FileIdOf(source);
		return &made;
	}
};

std::string Pattern(size_t size)
{
	std::string text(size, '\0');
	for (size_t i = 0; i < size; ++i)
		text[i] = static_cast<char>('a' + i % 26 + (i % 97 == 0 ? 1 : 0));
	return text;
}

ino_t Inode(const std::string &path)
{
	struct stat st;
	EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
	return st.st_ino;
}

mode_t Mode(const std::string &path)
{
	struct stat st;
	EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
	return st.st_mode;
}

TEST_F(FileServices, CopyCreatesAFreshPrivateCopy)
{
	for (size_t size : {size_t(0), size_t(1), kTransferSize, kTransferSize * 3 + 17}) {
		WriteFile(source, Pattern(size));
		WriteFile(destination, Pattern(size + 5000));
		EXPECT_EQ(0, copy(source.c_str(), destination.c_str(), &made)) << size;
		EXPECT_EQ(Pattern(size), ReadFile(destination)) << size;
		EXPECT_EQ(S_IFREG | 0600u, Mode(destination)) << size;
	}
}

TEST_F(FileServices, CopyNeverWritesThroughWhatStandsAtTheDestination)
{
	WriteFile(source, "new\n");
	WriteFile(outside, "precious\n");
	ASSERT_EQ(0, symlink(outside.c_str(), destination.c_str()));
	EXPECT_EQ(0, copy(source.c_str(), destination.c_str(), &made));
	EXPECT_EQ("precious\n", ReadFile(outside));
	EXPECT_EQ("new\n", ReadFile(destination));
	EXPECT_TRUE(S_ISREG(Mode(destination)));

	ASSERT_EQ(0, unlink(destination.c_str()));
	ASSERT_EQ(0, mkdir(destination.c_str(), 0700));
	EXPECT_EQ(0, copy(source.c_str(), destination.c_str(), &made));
	EXPECT_EQ("new\n", ReadFile(destination));
}

TEST_F(FileServices, CopyOfAMissingSourceCreatesNothing)
{
	EXPECT_EQ(1, copy(dir.Path("absent").c_str(), destination.c_str(), &made));
	EXPECT_FALSE(Exists(destination));
	WriteFile(destination, "old\n");
	EXPECT_EQ(1, copy(dir.Path("absent").c_str(), destination.c_str(), &made));
	EXPECT_EQ("old\n", ReadFile(destination));
}

TEST_F(FileServices, ReplaceKeepsOwnerModeAndLeavesNoTemporaryFile)
{
	WriteFile(source, Pattern(10000));
	WriteFile(destination, "old content that is longer than nothing\n");
	ASSERT_EQ(0, chmod(destination.c_str(), 0640));
	ASSERT_EQ(0, chown(destination.c_str(), 12345, 54321));
	WriteFile(destination + "+", "left over by a run that died\n");

	EXPECT_EQ(0, Kelvane_ReplaceFile(source.c_str(), Source(), destination.c_str()));
	EXPECT_EQ(Pattern(10000), ReadFile(destination));
	struct stat st;
	ASSERT_EQ(0, stat(destination.c_str(), &st));
	EXPECT_EQ(S_IFREG | 0640u, st.st_mode);
	EXPECT_EQ(12345u, st.st_uid);
	EXPECT_EQ(54321u, st.st_gid);
	EXPECT_FALSE(Exists(destination + "+"));
}

TEST_F(FileServices, ReplaceRewritesTheTargetOfALinkAndKeepsTheLink)
{
	WriteFile(source, "new\n");
	WriteFile(outside, "old\n");
	ASSERT_EQ(0, symlink(outside.c_str(), destination.c_str()));
	EXPECT_EQ(0, Kelvane_ReplaceFile(source.c_str(), Source(), destination.c_str()));
	EXPECT_TRUE(S_ISLNK(Mode(destination)));
	EXPECT_EQ("new\n", ReadFile(outside));
}

TEST_F(FileServices, ReplaceFailsWithoutTouchingAnything)
{
	WriteFile(source, "new\n");
	EXPECT_EQ(1, Kelvane_ReplaceFile(source.c_str(), Source(), dir.Path("absent").c_str()));
	EXPECT_FALSE(Exists(dir.Path("absent")));
	WriteFile(destination, "old\n");
	EXPECT_EQ(1, Kelvane_ReplaceFile(dir.Path("absent").c_str(), &made, destination.c_str()));
	EXPECT_EQ("old\n", ReadFile(destination));
	// The working copy is never read through a link.
	ASSERT_EQ(0, symlink(source.c_str(), dir.Path("link").c_str()));
	EXPECT_EQ(1, Kelvane_ReplaceFile(dir.Path("link").c_str(), Source(), destination.c_str()));
	EXPECT_EQ("old\n", ReadFile(destination));
}

TEST_F(FileServices, CopyRefusesASourceThatIsNotARegularFile)
{
	const std::string fifo = dir.Path("fifo"), link = dir.Path("link"), folder = dir.Path("folder");
	ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
	ASSERT_EQ(0, symlink("/dev/null", link.c_str()));
	ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
	for (const std::string &path : {fifo, link, folder}) {
		// A FIFO without a writer would block the open for good.
		alarm(10);
		EXPECT_EQ(1, copy(path.c_str(), destination.c_str(), &made)) << path;
		alarm(0);
		EXPECT_FALSE(Exists(destination)) << path;
	}
}

TEST_F(FileServices, ReplaceRefusesASourceThatIsNotTheWorkingCopy)
{
	WriteFile(outside, "# the inittab\n");
	WriteFile(destination, "old\n");
	ASSERT_EQ(0, copy(outside.c_str(), source.c_str(), &made));
	WriteFile(dir.Path("planted"), "::sysinit:/tmp/evil\n");
	ASSERT_EQ(0, rename(dir.Path("planted").c_str(), source.c_str()));
	EXPECT_EQ(1, Kelvane_ReplaceFile(source.c_str(), &made, destination.c_str()));
	EXPECT_EQ("old\n", ReadFile(destination));
	// Another user's file on the same inode, as a freed number is given out
	// again, is not the working copy either.
	if (geteuid() == 0) {
		ASSERT_EQ(0, copy(outside.c_str(), source.c_str(), &made));
		ASSERT_EQ(0, chown(source.c_str(), 12345, 12345));
		EXPECT_EQ(1, Kelvane_ReplaceFile(source.c_str(), &made, destination.c_str()));
		EXPECT_EQ("old\n", ReadFile(destination));
	}
}

TEST_F(FileServices, ReplaceRefusesATemporaryFileThatIsNoLongerItsOwn)
{
	WriteFile(source, "new\n");
	WriteFile(destination, "old\n");
	const std::string temporary = destination + "+", theirs = dir.Path("theirs");
	WriteFile(theirs, "half written by someone else\n");
	before_rename = [&] { ASSERT_EQ(0, rename(theirs.c_str(), temporary.c_str())); };
	EXPECT_EQ(1, Kelvane_ReplaceFile(source.c_str(), Source(), destination.c_str()));
	EXPECT_FALSE(before_rename) << "the replacement never synced its temporary file";
	EXPECT_EQ("old\n", ReadFile(destination));
	EXPECT_EQ("half written by someone else\n", ReadFile(temporary));
}

// A second process that holds the lock until it is killed, which frees
// the lock with it.
class LockHolder {
public:
	explicit LockHolder(const std::string &path)
	{
		int ready[2];
		if (pipe(ready) != 0)
			ADD_FAILURE() << "pipe";
		pid_ = fork();
		if (pid_ == 0) {
			close(ready[0]);
			int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
			char c = flock(fd, LOCK_EX) == 0 ? 'L' : 'E';
			if (write(ready[1], &c, 1) != 1)
				_exit(1);
			pause();
			_exit(0);
		}
		close(ready[1]);
		char c = 0;
		if (read(ready[0], &c, 1) != 1 || c != 'L')
			ADD_FAILURE() << "lock holder did not lock";
		close(ready[0]);
	}
	~LockHolder() { Release(); }
	void Release()
	{
		if (pid_ <= 0)
			return;
		kill(pid_, SIGKILL);
		waitpid(pid_, nullptr, 0);
		pid_ = -1;
	}

private:
	pid_t pid_ = -1;
};

std::string LockRun(const std::string &path, int *result)
{
	int handle = -1;
	testing::internal::CaptureStdout();
	*result = Kelvane_LockFile(&handle, path.c_str());
	fflush(stdout);
	std::string output = testing::internal::GetCapturedStdout();
	Kelvane_UnLockFile(&handle, path.c_str());
	EXPECT_EQ(-1, handle);
	return output;
}

std::string Waits(const std::vector<unsigned> &waits)
{
	std::string text;
	for (unsigned w : waits)
		text += "FLock fail by error: Resource temporarily unavailable\n"
		        "Need wait a Random Time " + std::to_string(w) + "\n";
	return text;
}

TEST_F(FileServices, LockIsTakenAtOnceWhenFreeAndKeepsTheFileAsItIs)
{
	std::string lock = dir.Path("lock");
	ResetSleeps();
	int result = -1;
	EXPECT_EQ("", LockRun(lock, &result));
	EXPECT_EQ(0, result);
	EXPECT_EQ("", ReadFile(lock));
	EXPECT_EQ(S_IFREG | 0600u, Mode(lock));
	WriteFile(lock, "not ours to truncate\n");
	EXPECT_EQ("", LockRun(lock, &result));
	EXPECT_EQ("not ours to truncate\n", ReadFile(lock));
	EXPECT_TRUE(RecordedSleeps().empty());
}

TEST_F(FileServices, LockGivesUpAfterSevenRetries)
{
	std::string lock = dir.Path("lock");
	LockHolder holder(lock);
	ResetSleeps();
	int result = -1;
	std::string output = LockRun(lock, &result);
	EXPECT_EQ(1, result);
	ASSERT_EQ(static_cast<size_t>(kLockRetries), RecordedSleeps().size());
	for (unsigned w : RecordedSleeps()) {
		EXPECT_GE(w, 1u);
		EXPECT_LE(w, static_cast<unsigned>(kMaxWaitSeconds));
	}
	EXPECT_EQ(Waits(RecordedSleeps()), output);
}

// Another user who made the lock file, or can open it, could hold it
// against every run, or remove it while a run holds it and let a second
// run in: such a file is removed and made afresh, even while locked.
TEST_F(FileServices, LockMakesAfreshAFileThatIsNotItsOwn)
{
	const std::string lock = dir.Path("lock");
	WriteFile(outside, "root's file\n");
	const struct {
		const char *kind;
		std::function<void()> plant;
		bool held;
	} cases[] = {
	    {"open to others", [&] { WriteFile(lock, ""); chmod(lock.c_str(), 0644); }, true},
	    {"another user's", [&] { WriteFile(lock, ""); chmod(lock.c_str(), 0600);
	                              if (chown(lock.c_str(), 12345, 12345) != 0) ADD_FAILURE(); }, true},
	    {"a link", [&] { if (symlink(outside.c_str(), lock.c_str()) != 0) ADD_FAILURE(); }, false},
	    {"a FIFO", [&] { if (mkfifo(lock.c_str(), 0666) != 0) ADD_FAILURE(); }, false},
	    {"a directory", [&] { if (mkdir(lock.c_str(), 0777) != 0) ADD_FAILURE(); }, false},
	};
	for (const auto &c : cases) {
		if (std::string(c.kind) == "another user's" && geteuid() != 0)
			continue; // only root can give a file away
		c.plant();
		std::unique_ptr<LockHolder> holder(c.held ? new LockHolder(lock) : nullptr);
		ResetSleeps();
		int result = -1;
		EXPECT_EQ("", LockRun(lock, &result)) << c.kind;
		EXPECT_EQ(0, result) << c.kind;
		struct stat st;
		ASSERT_EQ(0, lstat(lock.c_str(), &st)) << c.kind;
		EXPECT_EQ(S_IFREG | 0600u, st.st_mode) << c.kind;
		EXPECT_EQ(geteuid(), st.st_uid) << c.kind;
		EXPECT_EQ("root's file\n", ReadFile(outside)) << c.kind;
		holder.reset();
		unlink(lock.c_str());
	}
}

// A run clears away only what it judged: should another run make the lock
// file afresh, and lock it, between the look and the removal, the fresh
// file stays and the run waits for it.
TEST_F(FileServices, LockNeverRemovesAFileMadeAfreshSinceItLooked)
{
	const std::string lock = dir.Path("lock");
	WriteFile(lock, "");
	ASSERT_EQ(0, chmod(lock.c_str(), 0644));
	std::unique_ptr<LockHolder> other;
	after_lstat_path = lock;
	after_lstat = [&] {
		unlink(lock.c_str());
		other = std::make_unique<LockHolder>(lock);
	};
	ino_t fresh = 0;
	ResetSleeps([&](int) {
		fresh = Inode(lock);
		other->Release();
	});
	int result = -1;
	std::string output = LockRun(lock, &result);
	EXPECT_FALSE(after_lstat) << "the run never looked at the path";
	EXPECT_EQ(0, result);
	EXPECT_EQ(Waits(RecordedSleeps()), output);
	ASSERT_EQ(1u, RecordedSleeps().size()) << "the run went in beside the other";
	EXPECT_EQ(fresh, Inode(lock));
	ResetSleeps();
}

// While a run waits, another may make the lock file afresh: the lock
// taken on the old file, no longer at the path, counts for nothing; the
// run goes on waiting until the holder of the new one lets go.
TEST_F(FileServices, LockStartsOverWhenItsFileIsReplacedWhileItWaits)
{
	const std::string lock = dir.Path("lock");
	auto first = std::make_unique<LockHolder>(lock);
	std::unique_ptr<LockHolder> second;
	ResetSleeps([&](int wait) {
		if (wait == 2) {
			unlink(lock.c_str());
			second = std::make_unique<LockHolder>(lock);
			first->Release();
		} else if (wait == 4) {
			second->Release();
		}
	});
	int result = -1;
	std::string output = LockRun(lock, &result);
	EXPECT_EQ(0, result);
	EXPECT_EQ(4u, RecordedSleeps().size());
	EXPECT_EQ(Waits(RecordedSleeps()), output);
	ResetSleeps();
}

} // namespace
