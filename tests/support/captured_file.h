#pragma once
// A temporary stdio stream for code that writes to a FILE*; text() returns
// everything written so far.

#include <cstdio>
#include <string>

namespace testsupport {

class CapturedFile {
   public:
    CapturedFile() : f_(std::tmpfile()) {}
    ~CapturedFile() { std::fclose(f_); }
    CapturedFile(const CapturedFile&) = delete;
    CapturedFile& operator=(const CapturedFile&) = delete;
    std::FILE* file() { return f_; }
    std::string text() {
        std::fflush(f_);
        std::string out;
        std::rewind(f_);
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f_)) > 0) out.append(buf, n);
        return out;
    }

   private:
    std::FILE* f_;
};

}  // namespace testsupport
