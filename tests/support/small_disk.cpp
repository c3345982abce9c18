#include "tests/support/small_disk.h"

#include <signal.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace testsupport {

namespace {

// Waits for the holder to say the disk is mounted (or to end, when it cannot).
bool wait_for_file(const std::string& path, Child& holder) {
    for (int i = 0; i < 200; ++i) {
        if (std::filesystem::exists(path)) return true;
        if (::kill(holder.pid(), 0) != 0) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

}  // namespace

SmallDisk::SmallDisk(const std::string& dir, uint64_t bytes) : dir_(dir) {
    std::filesystem::create_directories(dir);
    work_ = std::filesystem::temp_directory_path() / ("smalldisk." + std::to_string(::getpid()) +
                                                      "." + std::to_string(bytes));
    std::filesystem::create_directories(work_);
    const std::string script = "mount -t tmpfs -o size=" + std::to_string(bytes) + " tmpfs '" +
                               dir + "' && : > '" + dir + "/.mounted' && exec sleep 3600";
    // As root a mount namespace will do; otherwise a user namespace maps us to root in it.
    for (const bool user_ns : {false, true}) {
        std::vector<std::string> argv = {"/usr/bin/unshare"};
        if (user_ns) argv.push_back("-r");
        argv.insert(argv.end(), {"-m", "--propagation", "private", "/bin/sh", "-c", script});
        holder_ = std::make_unique<Child>(argv, work_ + "/out", work_ + "/err");
        if (wait_for_file("/proc/" + std::to_string(holder_->pid()) + "/root" + dir + "/.mounted",
                          *holder_)) {
            ok_ = true;
            user_ns_ = user_ns;
            return;
        }
        holder_->signal(SIGKILL);
        holder_->wait(5.0);
        why_ = read_text(work_ + "/err");
    }
    why_ = "cannot mount a tmpfs in a namespace of its own (needs root or user namespaces): " + why_;
    holder_.reset();
}

SmallDisk::~SmallDisk() {
    if (holder_) {
        holder_->signal(SIGKILL);
        holder_->wait(5.0);
    }
    std::error_code ec;
    std::filesystem::remove_all(work_, ec);
}

std::string SmallDisk::outside(const std::string& name) const {
    return "/proc/" + std::to_string(holder_ ? holder_->pid() : 0) + "/root" + dir_ + "/" + name;
}

std::vector<std::string> SmallDisk::inside(const std::vector<std::string>& argv) const {
    std::vector<std::string> out = {"/usr/bin/nsenter", "-t", std::to_string(holder_->pid())};
    if (user_ns_) out.insert(out.end(), {"-U", "--preserve-credentials"});
    out.insert(out.end(), {"-m", "--"});
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

int64_t SmallDisk::free_bytes() const {
    struct statvfs st {};
    if (::statvfs(outside(".mounted").c_str(), &st) != 0) return -1;
    return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}

std::string SmallDisk::fill(const std::string& name, int64_t leave) const {
    const std::string path = outside(name);
    const int64_t size = free_bytes() - leave;
    std::ofstream out(path, std::ios::binary);
    const std::string block(4096, '\0');
    for (int64_t done = 0; done + 4096 <= size; done += 4096) out.write(block.data(), 4096);
    return path;
}

}  // namespace testsupport
