#pragma once
// Runs a program as a child process and collects its standard output,
// standard error and exit status (for end-to-end tests of the tools).

#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
    // Standard output split into lines (without the line feeds).
    std::vector<std::string> out_lines() const;
};

// argv[0] is the program path; cwd empty keeps the current directory.
ProcessResult run_process(const std::vector<std::string>& argv, const std::string& cwd = {});

}  // namespace testsupport
