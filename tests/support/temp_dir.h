// A fresh temporary directory per test, removed with everything in it.
#ifndef KELVANE_TEST_TEMP_DIR_H
#define KELVANE_TEST_TEMP_DIR_H

#include <string>

class TempDir {
public:
	TempDir();
	~TempDir();
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;

	std::string Path(const std::string &name) const { return root_ + "/" + name; }
	const std::string &Root() const { return root_; }

private:
	std::string root_;
};

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &content);
bool Exists(const std::string &path);

#endif
