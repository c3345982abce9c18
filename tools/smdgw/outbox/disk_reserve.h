#pragma once
// Space held on the disk beside an outbox: a file of its own, allocated when
// the outbox opens. When the disk fills up, SQLite cannot even delete a row
// or update a counter, since each commit goes through the write-ahead log
// first; giving this space back leaves room for what must still be written
// (deletes that free space, the counts of what was dropped). It is taken
// again once the disk has room.

#include <cstdint>
#include <string>

namespace smdgw {

class DiskReserve {
   public:
    DiskReserve(std::string path, uint64_t bytes) : path_(std::move(path)), bytes_(bytes) {}
    DiskReserve(const DiskReserve&) = delete;
    DiskReserve& operator=(const DiskReserve&) = delete;

    // Allocates the file (blocks on the disk, not a sparse file); false with
    // the reason in `error` (naming the file) when the disk has no room.
    // Refuses a symbolic link in its place.
    bool hold(std::string& error);
    // Gives the space back to the disk (the file goes).
    void release();
    bool held() const { return held_; }
    uint64_t bytes() const { return bytes_; }
    const std::string& path() const { return path_; }

   private:
    const std::string path_;
    const uint64_t bytes_;
    bool held_ = false;
};

// Bytes free for an unprivileged writer on the file system holding `path`
// (a file or a folder); -1 when it cannot be told.
int64_t free_bytes_at(const std::string& path);

}  // namespace smdgw
