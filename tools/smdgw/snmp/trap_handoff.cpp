#include "tools/smdgw/snmp/trap_handoff.h"

#include <chrono>

namespace smdgw::snmp {

namespace {

// How often a waiting sender looks at its abort flag.
constexpr auto kAbortLook = std::chrono::milliseconds(100);

}  // namespace

DeliveryAnswer TrapHandoff::deliver(size_t, const StoredMessage& m,
                                    const std::atomic<bool>& abort) {
    StoredTrap trap;
    std::string error;
    // A damaged row would be damaged at every try.
    if (!parse_trap_payload(m.payload, trap, error))
        return {DeliveryOutcome::RefusedForGood, "not a notification (" + error + ")"};
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (closed_) return {DeliveryOutcome::RetryLater, "the subagent is stopping"};
        waiting_ = std::move(trap);
        answer_.reset();
    }
    wake_();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!answer_ && !closed_ && !abort.load()) answered_cv_.wait_for(lock, kAbortLook);
    const std::optional<bool> answer = answer_;
    waiting_.reset();
    answer_.reset();
    if (answer && *answer) return {DeliveryOutcome::Delivered, "handed to snmpd"};
    return {DeliveryOutcome::RetryLater, answer ? "no session with snmpd" : "the subagent is stopping"};
}

void TrapHandoff::serve(const std::function<bool(const StoredTrap&)>& send) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!waiting_ || answer_) return;
    // The library is called without the lock: a sender may look meanwhile.
    const StoredTrap trap = *waiting_;
    lock.unlock();
    const bool sent = send(trap);
    lock.lock();
    answer_ = sent;
    answered_cv_.notify_all();
}

void TrapHandoff::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    answered_cv_.notify_all();
}

}  // namespace smdgw::snmp
