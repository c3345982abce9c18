#pragma once
// A small disk for tests that fill one: a tmpfs of a few MiB mounted in a
// mount namespace of its own, held by a child process, so that nothing on
// the machine sees it and it goes with the test whatever happens. Programs
// run inside it through nsenter; the test reaches its files through
// /proc/<holder>/root. Needs root or unprivileged user namespaces; where
// neither is there, ok() is false and why() says so.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/run_process.h"

namespace testsupport {

class SmallDisk {
   public:
    // Mounts it at `dir` (an absolute path, made if missing).
    SmallDisk(const std::string& dir, uint64_t bytes);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool ok() const { return ok_; }
    const std::string& why() const { return why_; }

    // A file on it, as the test sees it from outside.
    std::string outside(const std::string& name) const;
    // The same file as programs inside see it.
    std::string inside_path(const std::string& name) const { return dir_ + "/" + name; }
    // argv run inside the namespace.
    std::vector<std::string> inside(const std::vector<std::string>& argv) const;
    // Bytes free on it.
    int64_t free_bytes() const;
    // Fills it with a file until `leave` bytes are free; returns the file's path (outside).
    std::string fill(const std::string& name, int64_t leave) const;

   private:
    std::string dir_;
    std::string work_;
    bool ok_ = false;
    bool user_ns_ = false;
    std::string why_;
    std::unique_ptr<Child> holder_;
};

}  // namespace testsupport
