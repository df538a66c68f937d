// Calls into the tool as the front end makes them, with the output that
// the tool printed on the way.
#ifndef KELVANE_TEST_TOOL_CALLS_H
#define KELVANE_TEST_TOOL_CALLS_H

#include "kelvane.h"
#include "kelvane_shared.h"

#include <string>
#include <vector>

// What the file at path is, as the tool notes a working copy it made.
Kelvane_FileId FileIdOf(const std::string &path);

struct EditResult {
	int result;
	std::string output;
	std::string file; // the working copy afterwards
};

// Writes content to the working copy at work, runs the register (start)
// or deregister edit on it with args as process arguments.
EditResult EditWorkingCopy(const std::string &work, bool start, const std::string &content,
                           const std::vector<std::string> &args);

struct RunResult {
	int status;
	std::string output;
};

// One whole run of the tool with the given arguments after its name.
RunResult RunTool(const Kelvane_Setting &setting, std::vector<std::string> args);

#endif
