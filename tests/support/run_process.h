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

// A program running beside the test, its output going to files. It is killed
// if it is still running when the object goes.
class Child {
   public:
    Child(const std::vector<std::string>& argv, const std::string& out_path,
          const std::string& err_path);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Waits for the exit; kills the program after timeout_s seconds (a
    // safety net for a test that went wrong, never a pacing device). Returns
    // the exit status, or 128 + signal number.
    int wait(double timeout_s);
    void signal(int sig);
    int pid() const { return pid_; }

   private:
    int pid_ = -1;
    int status_ = -1;
};

// The whole content of a file ("" when it cannot be read).
std::string read_text(const std::string& path);

}  // namespace testsupport
