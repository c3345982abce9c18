#pragma once
// A fresh temporary directory, removed with everything in it at scope end,
// and a guard that makes it the working directory for a while.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace testsupport {

class TempDir {
   public:
    TempDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "smdtest.XXXXXX").string();
        if (::mkdtemp(&templ[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = templ;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Writes a file below the directory, creating its parent directories.
    std::filesystem::path write(const std::string& relative, const std::string& text) const {
        const std::filesystem::path p = path_ / relative;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream out(p, std::ios::binary);
        out << text;
        if (!out) throw std::runtime_error("cannot write " + p.string());
        return p;
    }

    // The same, as a plain path text for command lines.
    std::string write_s(const std::string& relative, const std::string& text) const {
        return write(relative, text).string();
    }

   private:
    std::filesystem::path path_;
};

// Makes a directory the working directory until scope end.
class ScopedCwd {
   public:
    explicit ScopedCwd(const std::filesystem::path& dir) : saved_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~ScopedCwd() {
        std::error_code ec;
        std::filesystem::current_path(saved_, ec);
    }
    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;

   private:
    std::filesystem::path saved_;
};

}  // namespace testsupport
