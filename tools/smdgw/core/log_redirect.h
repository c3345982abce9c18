#pragma once
// The plug-in logs to standard output (std::cout and printf). smdgw keeps
// standard output for its JSON lines by moving them to a duplicate of the
// original descriptor, and points descriptor 1 at standard error or a log file.

#include <cstdio>
#include <string>
#include <thread>

namespace smdgw {

// Returns the stream for smdgw's own output, or null with a message.
std::FILE* split_output(const std::string& log_path, std::string& error);

// While it lives, the plug-in's log (descriptor 1) goes to standard error
// line by line with a prefix, e.g. Telegraf's "D! " level.
class PrefixedLogRelay {
   public:
    explicit PrefixedLogRelay(std::string prefix);
    // Closes the pipe and waits until its last line is written.
    ~PrefixedLogRelay();
    PrefixedLogRelay(const PrefixedLogRelay&) = delete;
    PrefixedLogRelay& operator=(const PrefixedLogRelay&) = delete;
    bool ok() const { return read_fd_ >= 0; }

   private:
    void relay();
    std::string prefix_;
    int read_fd_ = -1;
    std::thread thread_;
};

}  // namespace smdgw
