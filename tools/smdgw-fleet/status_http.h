#pragma once
// The collector's own small HTTP endpoint: GET /metrics and GET /healthz,
// one connection at a time on a thread of its own. A request is read within
// 8 KiB and 2 s; anything else is answered 404 or 400 and closed.

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace smdgw {

struct HttpAnswer {
    int status = 200;
    std::string content_type = "text/plain; charset=utf-8";
    std::string body;
};

class StatusHttp {
   public:
    using Handler = std::function<HttpAnswer(const std::string& path)>;
    explicit StatusHttp(Handler handler) : handler_(std::move(handler)) {}
    ~StatusHttp();
    // ADDR is HOST:PORT (IPv4 or a name); false with `error` when it cannot listen.
    bool start(const std::string& addr, std::string& error);
    void stop();

   private:
    void run();
    void serve(int fd);

    Handler handler_;
    int listen_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace smdgw
