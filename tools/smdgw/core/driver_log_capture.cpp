#include "tools/smdgw/core/driver_log_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>

#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/log_file.h"
#include "tools/smdgw/core/safe_file.h"

namespace smdgw {

namespace {

constexpr auto kFlushEvery = std::chrono::seconds(1);
// A batch is written once it holds this much, whatever the chunk of input.
constexpr size_t kMaxBatchBytes = 256 * 1024;
// A failing disk is reported at most this often.
constexpr auto kFailureNoticeEvery = std::chrono::minutes(1);

void write_stderr(const std::string& s) { write_all(STDERR_FILENO, s.data(), s.size()); }

class FileTarget : public LogTarget {
   public:
    explicit FileTarget(std::unique_ptr<LogFile> f) : file_(std::move(f)) {}
    bool write(const char* data, size_t n, std::string& error) override {
        return file_->write(data, n, error);
    }
    bool reopen(std::string& error) override { return file_->reopen(error); }

   private:
    std::unique_ptr<LogFile> file_;
};

class StderrTarget : public LogTarget {
   public:
    explicit StderrTarget(std::string prefix) : prefix_(std::move(prefix)) {}
    bool write(const char* data, size_t n, std::string& error) override {
        if (prefix_.empty()) {
            text_.assign(data, n);
        } else {
            text_.clear();
            for (size_t start = 0; start < n;) {
                const char* nl =
                    static_cast<const char*>(std::memchr(data + start, '\n', n - start));
                const size_t end = nl ? static_cast<size_t>(nl - data) + 1 : n;
                text_ += prefix_;
                text_.append(data + start, end - start);
                start = end;
            }
        }
        write_stderr(text_);
        (void)error;
        return true;
    }

   private:
    std::string prefix_;
    std::string text_;
};

ssize_t cookie_write(void* owner, const char* data, size_t n) {
    static_cast<DriverLogCapture*>(owner)->append(data, n);
    return static_cast<ssize_t>(n);
}

}  // namespace

std::unique_ptr<LogTarget> file_log_target(std::unique_ptr<LogFile> file) {
    return std::make_unique<FileTarget>(std::move(file));
}

std::unique_ptr<LogTarget> stderr_log_target(std::string prefix) {
    return std::make_unique<StderrTarget>(std::move(prefix));
}

std::unique_ptr<DriverLogCapture> capture_driver_log(const std::string& path,
                                                     const LogRotation& rotation,
                                                     const std::string& stderr_prefix,
                                                     std::string& error) {
    std::unique_ptr<LogTarget> target;
    if (path == "-") {
        target = stderr_log_target(stderr_prefix);
    } else if (!path.empty()) {
        std::unique_ptr<LogFile> file = LogFile::open(path, rotation, error);
        if (!file) return nullptr;
        target = file_log_target(std::move(file));
    }
    return std::make_unique<DriverLogCapture>(std::move(target));
}

std::FILE* open_own_output(std::string& error) {
    const int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) {
        error = std::string("cannot duplicate standard output: ") + std::strerror(errno);
        return nullptr;
    }
    std::FILE* out = ::fdopen(fd, "w");
    if (!out) {
        error = std::string("cannot open standard output: ") + std::strerror(errno);
        ::close(fd);
    }
    return out;
}

std::streamsize DriverLogCapture::CollectBuf::xsputn(const char* s, std::streamsize n) {
    if (n > 0) owner_.append(s, static_cast<size_t>(n));
    return n;
}

DriverLogCapture::CollectBuf::int_type DriverLogCapture::CollectBuf::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    owner_.append(&ch, 1);
    return c;
}

std::streamsize DriverLogCapture::FlushFirstBuf::xsputn(const char* s, std::streamsize n) {
    owner_.write_pending();
    return next_->sputn(s, n);
}

DriverLogCapture::FlushFirstBuf::int_type DriverLogCapture::FlushFirstBuf::overflow(int_type c) {
    owner_.write_pending();
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    return next_->sputc(traits_type::to_char_type(c));
}

int DriverLogCapture::FlushFirstBuf::sync() { return next_->pubsync(); }

DriverLogCapture::DriverLogCapture(std::unique_ptr<LogTarget> target) : target_(std::move(target)) {
    std::cout.flush();
    std::fflush(stdout);
    saved_cout_buf_ = std::cout.rdbuf(&cout_buf_);
    cookie_io_functions_t io{};
    io.write = &cookie_write;
    cookie_ = ::fopencookie(this, "w", io);
    if (cookie_) {
        // Unbuffered: each printf reaches the batch at once, in order with std::cout.
        std::setvbuf(cookie_, nullptr, _IONBF, 0);
        saved_stdout_ = stdout;
        stdout = cookie_;
    }
    if (!target_) {
        std::cout.setstate(std::ios::badbit);
        return;
    }
    cerr_buf_ = std::make_unique<FlushFirstBuf>(*this, std::cerr.rdbuf());
    saved_cerr_buf_ = std::cerr.rdbuf(cerr_buf_.get());
    ticker_ = std::thread([this] { tick(); });
}

DriverLogCapture::~DriverLogCapture() {
    if (ticker_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(tick_mutex_);
            stopping_ = true;
        }
        tick_cv_.notify_all();
        ticker_.join();
    }
    if (cookie_) {
        std::fflush(cookie_);
        stdout = saved_stdout_;
        std::fclose(cookie_);
    }
    flush();
    if (saved_cerr_buf_) std::cerr.rdbuf(saved_cerr_buf_);
    std::cout.rdbuf(saved_cout_buf_);
    std::cout.clear();
}

void DriverLogCapture::append(const char* data, size_t n) {
    if (!target_) return;
    bool full = false;
    {
        std::lock_guard<std::mutex> lock(pending_mutex_);
        pending_.append(data, n);
        full = pending_.size() >= kMaxBatchBytes;
    }
    // Many devices in one chunk of input would otherwise hold their whole
    // log in memory (tens of MB for 256 devices); the notice of a failed
    // write waits for the next flush, outside the driver's output.
    if (full) write_pending();
}

void DriverLogCapture::flush() {
    write_pending();
    log_notice();
}

void DriverLogCapture::write_pending() {
    if (!target_) return;
    std::string error;
    std::lock_guard<std::mutex> wlock(write_mutex_);
    {
        std::lock_guard<std::mutex> plock(pending_mutex_);
        if (pending_.empty()) return;
        writing_.swap(pending_);
    }
    const bool ok = target_->write(writing_.data(), writing_.size(), error);
    report(ok, error, writing_.size());
    writing_.clear();
}

void DriverLogCapture::reopen() {
    if (!target_) return;
    {
        std::lock_guard<std::mutex> wlock(write_mutex_);
        std::string error;
        report(target_->reopen(error), error, 0);
    }
    log_notice();
}

// Called with write_mutex_ held: leaves the notice for log_notice.
void DriverLogCapture::report(bool ok, const std::string& error, size_t lost_bytes) {
    if (ok) {
        if (failure_reported_) {
            notice_error_ = false;
            notice_ = "the driver's log is written again; " + std::to_string(lost_bytes_) +
                      " bytes in " + std::to_string(lost_batches_) + " batches were lost";
            lost_bytes_ = 0;
            lost_batches_ = 0;
        }
        failure_reported_ = false;
        last_error_.clear();
        return;
    }
    if (lost_bytes > 0) {
        lost_bytes_ += lost_bytes;
        ++lost_batches_;
    }
    const auto now = std::chrono::steady_clock::now();
    if (error == last_error_ || now < next_failure_notice_) return;
    last_error_ = error;
    next_failure_notice_ = now + kFailureNoticeEvery;
    failure_reported_ = true;
    notice_error_ = true;
    notice_ = error + "; driver log lines are lost until it mends";
}

void DriverLogCapture::log_notice() {
    std::string text;
    bool error = false;
    {
        std::lock_guard<std::mutex> wlock(write_mutex_);
        text.swap(notice_);
        error = notice_error_;
    }
    if (text.empty()) return;
    // Through std::cerr's buffer, which writes what the driver logged first.
    log_line(error ? LogLevel::Error : LogLevel::Warning, text);
}

void DriverLogCapture::tick() {
    std::unique_lock<std::mutex> lock(tick_mutex_);
    while (!stopping_) {
        tick_cv_.wait_for(lock, kFlushEvery);
        if (stopping_) break;
        lock.unlock();
        flush();
        lock.lock();
    }
}

}  // namespace smdgw
