#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdlib.h>
#include <sys/stat.h>

#include <ftw.h>
#include <unistd.h>

namespace {

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *)
{
	return remove(path);
}

} // namespace

TempDir::TempDir()
{
	const char *base = getenv("TMPDIR");
	std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/kelvane-test-XXXXXX";
	char *made = mkdtemp(pattern.data());
	if (made == nullptr)
		ADD_FAILURE() << "mkdtemp failed";
	else
		root_ = made;
}

TempDir::~TempDir()
{
	if (!root_.empty())
		nftw(root_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string ReadFile(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream out;
	out << in.rdbuf();
	return out.str();
}

void WriteFile(const std::string &path, const std::string &content)
{
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	out << content;
	if (!out)
		ADD_FAILURE() << "cannot write " << path;
}

bool Exists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}
