#pragma once
// Points standard output (descriptor 1, where the plug-in logs) somewhere else
// for the life of the object, and back afterwards.

#include <string>

namespace bench {

// A file name under $TMPDIR (else /tmp) for this process.
std::string temp_path(const std::string& name);

class StdoutRedirect {
   public:
    // "/dev/null" discards the log; any other path is created or truncated.
    explicit StdoutRedirect(const std::string& path);
    StdoutRedirect(const StdoutRedirect&) = delete;
    StdoutRedirect& operator=(const StdoutRedirect&) = delete;
    ~StdoutRedirect();

    bool ok() const { return saved_ >= 0; }
    // Empties the file again (a long run would fill the disk).
    void rewind();

   private:
    int saved_ = -1;
};

}  // namespace bench
