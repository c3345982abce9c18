#pragma once
// The driver's log file (--log FILE) with its rotation: when the next line
// would take FILE past the size limit, FILE becomes FILE.1, FILE.1 becomes
// FILE.2 and so on up to FILE.N, and the oldest is dropped, so the log never
// takes more than about (N + 1) x the limit on disk. Lines are never split
// between two files. reopen() lets logrotate move the file away (SIGHUP).
// A FILE that is not a regular file (/dev/null, a pipe, a terminal) is
// written as it is and never rotated.

#include <cstdint>
#include <memory>
#include <string>

namespace smdgw {

struct LogRotation {
    uint64_t max_size = uint64_t{50} << 20;  // bytes; 0: never rotate
    unsigned keep = 5;                       // FILE.1 ... FILE.keep
};

class LogFile {
   public:
    // Opens (creates, appends, refuses a symbolic link); null with the reason.
    static std::unique_ptr<LogFile> open(const std::string& path, const LogRotation& rotation,
                                         std::string& error);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Writes whole lines, rotating between lines; false with the reason.
    bool write(const char* data, size_t n, std::string& error);
    // Closes and opens FILE again (after an outside rotation); false with the reason.
    bool reopen(std::string& error);
    const std::string& path() const { return path_; }

   private:
    LogFile(std::string path, const LogRotation& rotation) : path_(std::move(path)), rot_(rotation) {}
    bool open_file(std::string& error);
    bool rotate(std::string& error);

    std::string path_;
    LogRotation rot_;
    int fd_ = -1;
    uint64_t size_ = 0;     // bytes in FILE now
    bool regular_ = false;  // FILE is a regular file, so it may be rotated
};

}  // namespace smdgw
