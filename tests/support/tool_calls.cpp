#include "tool_calls.h"

#include "inittab_edit.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>

namespace {

std::vector<char *> Vector(std::vector<std::string> &args)
{
	std::vector<char *> argv;
	for (std::string &s : args)
		argv.push_back(s.data());
	argv.push_back(nullptr);
	return argv;
}

} // namespace

Kelvane_FileId FileIdOf(const std::string &path)
{
	struct stat st;
	if (lstat(path.c_str(), &st) != 0)
		ADD_FAILURE() << "cannot stat " << path;
	return {st.st_dev, st.st_ino};
}

EditResult EditWorkingCopy(const std::string &work, bool start, const std::string &content,
                           const std::vector<std::string> &args)
{
	WriteFile(work, content);
	std::vector<std::string> storage = {"app_kelvane", start ? "register" : "deregister"};
	storage.insert(storage.end(), args.begin(), args.end());
	std::vector<char *> argv = Vector(storage);
	int n = static_cast<int>(args.size());
	const Kelvane_FileId id = FileIdOf(work);
	testing::internal::CaptureStdout();
	int result = start ? Kelvane_Start(n, argv.data(), work.c_str(), &id)
	                   : Kelvane_Stop(n, argv.data(), work.c_str(), &id);
	fflush(stdout);
	std::string output = testing::internal::GetCapturedStdout();
	return {result, output, ReadFile(work)};
}

RunResult RunTool(const Kelvane_Setting &setting, std::vector<std::string> args)
{
	args.insert(args.begin(), "app_kelvane");
	std::vector<char *> argv = Vector(args);
	testing::internal::CaptureStdout();
	int status = Kelvane_Run(static_cast<int>(args.size()), argv.data(), &setting);
	fflush(stdout);
	return {status, testing::internal::GetCapturedStdout()};
}
