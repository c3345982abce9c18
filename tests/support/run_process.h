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

// A fresh empty directory under the system's temporary folder, removed with
// everything in it when the object goes.
class TempDir {
   public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // Writes a file below the directory and returns its path.
    std::string write(const std::string& name, const std::string& content) const;

   private:
    std::string path_;
};

}  // namespace testsupport
