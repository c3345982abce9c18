#pragma once
// Under Telegraf's execd input every line on standard error needs a level
// prefix ("E! ", "W! ", "I! ", "D! "), or Telegraf logs it as an error. While
// an object of this class lives, smdgw's own messages on std::cerr get one.

#include <iosfwd>
#include <memory>
#include <string>

namespace smdgw {

class TelegrafLog {
   public:
    TelegrafLog();
    ~TelegrafLog();
    TelegrafLog(const TelegrafLog&) = delete;
    TelegrafLog& operator=(const TelegrafLog&) = delete;

    // The line with its level prefix: kept when it has one, "W! " for a port
    // being retried, "I! " for a connection made, "E! " for everything else.
    static std::string prefixed(const std::string& line);

   private:
    class Buffer;
    std::unique_ptr<Buffer> buf_;
    std::streambuf* saved_;
};

}  // namespace smdgw
