#pragma once
// The driver's log as the host collects it. The driver writes its lines to
// std::cout (and a few with printf to C stdout), one line and one flush at a
// time. The host owns both for the life of a DriverLogCapture: std::cout's
// buffer and C stdout (a cookie stream) append to one pending batch, in the
// order the lines come, from any thread. The batch is written to the target
// when the host asks (after each chunk of input, before its own messages on
// standard error, at exit), when it reaches 256 KiB, and at least once a
// second by a timer thread, instead of one write(2) per line.
//
// Without a target the log is not written at all: std::cout is put in the
// bad state, so the driver's line objects skip their formatting.
//
// There is one standard output per process, so at most one capture lives at
// a time; the program owns it in main().

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>

namespace smdgw {

// Where batches of whole lines go.
class LogTarget {
   public:
    virtual ~LogTarget() = default;
    virtual bool write(const char* data, size_t n, std::string& error) = 0;
    // SIGHUP: open the file again (after logrotate moved it).
    virtual bool reopen(std::string& /*error*/) { return true; }
};

class LogFile;
// The log file with its rotation.
std::unique_ptr<LogTarget> file_log_target(std::unique_ptr<LogFile> file);
// Standard error, each line after prefix (e.g. Telegraf's "D! ").
std::unique_ptr<LogTarget> stderr_log_target(std::string prefix);

class DriverLogCapture {
   public:
    // A null target: the log is not written (and not formatted).
    explicit DriverLogCapture(std::unique_ptr<LogTarget> target);
    // Writes what is pending and gives std::cout, std::cerr and C stdout back.
    ~DriverLogCapture();
    DriverLogCapture(const DriverLogCapture&) = delete;
    DriverLogCapture& operator=(const DriverLogCapture&) = delete;

    bool writing() const { return target_ != nullptr; }
    // Writes the pending lines now, then tells smdgw's log when writing
    // failed or mended.
    void flush();
    // Reopens the target (SIGHUP); the lines pending go to the reopened file.
    void reopen();

    // Appends driver output to the pending batch (the buffers call this).
    void append(const char* data, size_t n);

   private:
    // std::cout's buffer: no room of its own, every write is appended at once.
    class CollectBuf : public std::streambuf {
       public:
        explicit CollectBuf(DriverLogCapture& owner) : owner_(owner) {}

       protected:
        std::streamsize xsputn(const char* s, std::streamsize n) override;
        int_type overflow(int_type c) override;

       private:
        DriverLogCapture& owner_;
    };
    // std::cerr's buffer: writes the driver's pending lines first, so that
    // the host's messages follow the lines they are about.
    class FlushFirstBuf : public std::streambuf {
       public:
        FlushFirstBuf(DriverLogCapture& owner, std::streambuf* next) : owner_(owner), next_(next) {}

       protected:
        std::streamsize xsputn(const char* s, std::streamsize n) override;
        int_type overflow(int_type c) override;
        int sync() override;

       private:
        DriverLogCapture& owner_;
        std::streambuf* next_;
    };

    void tick();
    // Writes the pending lines; the notice it may leave waits for the next
    // flush(), since this runs inside the logger too (std::cerr's buffer).
    void write_pending();
    void report(bool ok, const std::string& error, size_t lost_bytes);
    void log_notice();

    std::unique_ptr<LogTarget> target_;
    CollectBuf cout_buf_{*this};
    std::streambuf* saved_cout_buf_ = nullptr;
    std::unique_ptr<FlushFirstBuf> cerr_buf_;
    std::streambuf* saved_cerr_buf_ = nullptr;
    std::FILE* saved_stdout_ = nullptr;
    std::FILE* cookie_ = nullptr;

    std::mutex pending_mutex_;
    std::string pending_;
    std::mutex write_mutex_;  // one batch written at a time, in order
    std::string writing_;
    // Failures are reported through smdgw's log, once until the text changes
    // or the log mends, and at most once a minute; the mend says what was lost.
    std::string last_error_;
    std::chrono::steady_clock::time_point next_failure_notice_{};
    bool failure_reported_ = false;
    uint64_t lost_bytes_ = 0;
    uint64_t lost_batches_ = 0;
    bool notice_error_ = false;
    std::string notice_;  // to be logged, under write_mutex_

    std::mutex tick_mutex_;
    std::condition_variable tick_cv_;
    bool stopping_ = false;
    std::thread ticker_;
};

struct LogRotation;
// --log PATH: "" the log is not written, "-" standard error (each line after
// stderr_prefix), anything else the file with its rotation. Null with the
// reason (naming the file) when the file cannot be opened.
std::unique_ptr<DriverLogCapture> capture_driver_log(const std::string& path,
                                                     const LogRotation& rotation,
                                                     const std::string& stderr_prefix,
                                                     std::string& error);

// smdgw's own output (JSON lines, text, Influx) on descriptor 1, apart from the
// C stdout that the capture takes over; null with the reason.
std::FILE* open_own_output(std::string& error);

}  // namespace smdgw
