#pragma once
// How the outbox's sender hands a stored notification to snmpd. net-snmp's
// agent library belongs to the agent thread alone, so the sender's deliver()
// puts the notification where the agent thread looks, wakes it, and waits
// for its answer: taken when a session with snmpd was open and the library
// sent it; tried again later (in order, with its number) when none was.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "tools/smdgw/outbox/delivery.h"
#include "tools/smdgw/snmp/trap_payload.h"

namespace smdgw::snmp {

class TrapHandoff : public DeliveryBackend {
   public:
    // wake: makes the agent thread look (its pipe).
    explicit TrapHandoff(std::function<void()> wake) : wake_(std::move(wake)) {}

    // The sender's thread: waits until the agent thread answered, the
    // transfer is aborted, or the agent thread has ended.
    DeliveryAnswer deliver(size_t target, const StoredMessage& m,
                           const std::atomic<bool>& abort) override;

    // The agent thread: sends what waits with `send` (false: no session).
    void serve(const std::function<bool(const StoredTrap&)>& send);
    // The agent thread ends: what waits and comes is tried again later.
    void close();

   private:
    std::function<void()> wake_;
    std::mutex mutex_;
    std::condition_variable answered_cv_;
    std::optional<StoredTrap> waiting_;
    std::optional<bool> answer_;
    bool closed_ = false;
};

}  // namespace smdgw::snmp
