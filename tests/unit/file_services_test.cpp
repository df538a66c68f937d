// Copies, the atomic replacement of the inittab, and the instance lock
// with a second process holding it.
#include "file_services.h"

#include "fake_sleep.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class FileServices : public ::testing::Test {
protected:
	TempDir dir;
	std::string source = dir.Path("source");
	std::string destination = dir.Path("destination");
	std::string outside = dir.Path("outside");
};

std::string Pattern(size_t size)
{
	std::string text(size, '\0');
	for (size_t i = 0; i < size; ++i)
		text[i] = static_cast<char>('a' + i % 26 + (i % 97 == 0 ? 1 : 0));
	return text;
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
		EXPECT_EQ(0, copy(source.c_str(), destination.c_str())) << size;
		EXPECT_EQ(Pattern(size), ReadFile(destination)) << size;
		EXPECT_EQ(S_IFREG | 0600u, Mode(destination)) << size;
	}
}

TEST_F(FileServices, CopyNeverWritesThroughWhatStandsAtTheDestination)
{
	WriteFile(source, "new\n");
	WriteFile(outside, "precious\n");
	ASSERT_EQ(0, symlink(outside.c_str(), destination.c_str()));
	EXPECT_EQ(0, copy(source.c_str(), destination.c_str()));
	EXPECT_EQ("precious\n", ReadFile(outside));
	EXPECT_EQ("new\n", ReadFile(destination));
	EXPECT_TRUE(S_ISREG(Mode(destination)));

	ASSERT_EQ(0, unlink(destination.c_str()));
	ASSERT_EQ(0, mkdir(destination.c_str(), 0700));
	EXPECT_EQ(0, copy(source.c_str(), destination.c_str()));
	EXPECT_EQ("new\n", ReadFile(destination));
}

TEST_F(FileServices, CopyOfAMissingSourceCreatesNothing)
{
	EXPECT_EQ(1, copy(dir.Path("absent").c_str(), destination.c_str()));
	EXPECT_FALSE(Exists(destination));
	WriteFile(destination, "old\n");
	EXPECT_EQ(1, copy(dir.Path("absent").c_str(), destination.c_str()));
	EXPECT_EQ("old\n", ReadFile(destination));
}

TEST_F(FileServices, ReplaceKeepsOwnerModeAndLeavesNoTemporaryFile)
{
	WriteFile(source, Pattern(10000));
	WriteFile(destination, "old content that is longer than nothing\n");
	ASSERT_EQ(0, chmod(destination.c_str(), 0640));
	ASSERT_EQ(0, chown(destination.c_str(), 12345, 54321));
	WriteFile(destination + "+", "left over by a run that died\n");

	EXPECT_EQ(0, Kelvane_ReplaceFile(source.c_str(), destination.c_str()));
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
	EXPECT_EQ(0, Kelvane_ReplaceFile(source.c_str(), destination.c_str()));
	EXPECT_TRUE(S_ISLNK(Mode(destination)));
	EXPECT_EQ("new\n", ReadFile(outside));
}

TEST_F(FileServices, ReplaceFailsWithoutTouchingAnything)
{
	WriteFile(source, "new\n");
	EXPECT_EQ(1, Kelvane_ReplaceFile(source.c_str(), dir.Path("absent").c_str()));
	EXPECT_FALSE(Exists(dir.Path("absent")));
	WriteFile(destination, "old\n");
	EXPECT_EQ(1, Kelvane_ReplaceFile(dir.Path("absent").c_str(), destination.c_str()));
	EXPECT_EQ("old\n", ReadFile(destination));
	// The working copy is never read through a link.
	ASSERT_EQ(0, symlink(source.c_str(), dir.Path("link").c_str()));
	EXPECT_EQ(1, Kelvane_ReplaceFile(dir.Path("link").c_str(), destination.c_str()));
	EXPECT_EQ("old\n", ReadFile(destination));
}

// A second process that holds the lock until told to go.
class LockHolder {
public:
	explicit LockHolder(const std::string &path)
	{
		int ready[2], quit[2];
		if (pipe(ready) != 0 || pipe(quit) != 0)
			ADD_FAILURE() << "pipe";
		pid_ = fork();
		if (pid_ == 0) {
			close(ready[0]);
			close(quit[1]);
			int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
			char c = flock(fd, LOCK_EX) == 0 ? 'L' : 'E';
			if (write(ready[1], &c, 1) != 1 || read(quit[0], &c, 1) < 0)
				_exit(1);
			_exit(0);
		}
		close(ready[1]);
		close(quit[0]);
		quit_ = quit[1];
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
		close(quit_);
		waitpid(pid_, nullptr, 0);
		pid_ = -1;
	}

private:
	pid_t pid_ = -1;
	int quit_ = -1;
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

TEST_F(FileServices, LockIsTakenOnceTheHolderLetsGo)
{
	std::string lock = dir.Path("lock");
	LockHolder holder(lock);
	ResetSleeps([&holder](int wait) {
		if (wait == 3)
			holder.Release();
	});
	int result = -1;
	std::string output = LockRun(lock, &result);
	EXPECT_EQ(0, result);
	EXPECT_EQ(3u, RecordedSleeps().size());
	EXPECT_EQ(Waits(RecordedSleeps()), output);
	ResetSleeps();
}

TEST_F(FileServices, LockRefusesAnythingButARegularFile)
{
	WriteFile(outside, "root's file\n");
	std::string link = dir.Path("link"), fifo = dir.Path("fifo"), folder = dir.Path("folder");
	ASSERT_EQ(0, symlink(outside.c_str(), link.c_str()));
	ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
	ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
	for (const std::string &path : {link, fifo, folder}) {
		int result = -1;
		EXPECT_EQ("", LockRun(path, &result)) << path;
		EXPECT_EQ(1, result) << path;
	}
	EXPECT_EQ("root's file\n", ReadFile(outside));
}

} // namespace
