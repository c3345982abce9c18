// The shared delivery loop with a backend that keeps a window of messages in
// flight and answers later (as MQTT's QoS 1 does): per target no more than
// the window at once and in order; a message leaves the outbox only with its
// own answer; a failure in the middle of the window sends the target again
// from the failed message (alone until it went through), after the rest of
// its window ran out; a refusal
// for good leaves at once; what is in flight at the stop stays in the
// outbox, and an answer that comes after the stop still lets its message go.

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"
#include "tools/smdgw/outbox/delivery_loop.h"

namespace {

using smdgw::DeliveryAnswer;
using smdgw::DeliveryOutcome;
using smdgw::StoredMessage;

class WindowBackend : public smdgw::DeliveryBackend {
   public:
    struct Handed {
        size_t target;
        int64_t id;
    };

    size_t window() const override { return 4; }
    DeliveryAnswer deliver(size_t, const StoredMessage&, const std::atomic<bool>&) override {
        ADD_FAILURE() << "a backend with a window is handed messages through submit()";
        return {};
    }
    void submit(size_t target, const StoredMessage& m, const std::atomic<bool>&,
                smdgw::DeliveryCompletion& done) override {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = &done;
        handed_.push_back({target, m.id});
    }

    // The ids handed to `target` so far, in order.
    std::vector<int64_t> handed(size_t target) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<int64_t> ids;
        for (const Handed& h : handed_)
            if (h.target == target) ids.push_back(h.id);
        return ids;
    }
    void answer(size_t target, int64_t id, DeliveryOutcome o) {
        std::lock_guard<std::mutex> lock(mutex_);
        done_->completed(target, id, {o, "test"});
    }
    void back(size_t target) {
        std::lock_guard<std::mutex> lock(mutex_);
        done_->ready(target);
    }

   private:
    std::mutex mutex_;
    smdgw::DeliveryCompletion* done_ = nullptr;
    std::vector<Handed> handed_;
};

TEST(DeliveryWindow, InOrderWithinTheWindowAndSentAgainFromAFailure) {
    testsupport::TempDir dir;
    smdgw::OutboxSpec spec;
    spec.path = (dir.path() / "out.db").string();
    spec.name = "relay";
    spec.kinds = {"a", "b"};
    smdgw::OutboxStore store(spec);
    smdgw::OutboxCounters outbox_counters;
    smdgw::OutboxWriter writer(store, outbox_counters, {});
    // Ids 1..8 for target a, 9 and 10 for target b.
    for (int i = 0; i < 10; ++i) {
        smdgw::OutgoingMessage m;
        m.stream = "s";
        m.target = i < 8 ? "a" : "b";
        m.kind = i < 8 ? 0 : 1;
        m.payload = "m" + std::to_string(i + 1);
        writer.add(std::move(m));
    }
    ASSERT_TRUE(testsupport::wait_until([&] { return store.messages() == 10; }, 10));

    WindowBackend backend;
    smdgw::DeliveryCounters counters[2];
    smdgw::DeliveryLoopOptions o;
    o.log_name = "relay";
    o.noun = "message";
    o.targets = {"a", "b"};
    o.counters = [&](size_t t) -> smdgw::DeliveryCounters& { return counters[t]; };
    smdgw::DeliveryLoop loop(store, writer, outbox_counters, backend, o);
    auto handed_is = [&](size_t t, std::vector<int64_t> want) {
        return testsupport::wait_until([&] { return backend.handed(t).size() >= want.size(); }, 10) &&
               backend.handed(t) == want;
    };
    auto stored_is = [&](uint64_t n) {
        return testsupport::wait_until([&] { return store.messages() == n; }, 10);
    };

    // A full window each, in order; b is not held up by a.
    ASSERT_TRUE(handed_is(0, {1, 2, 3, 4})) << backend.handed(0).size();
    ASSERT_TRUE(handed_is(1, {9, 10}));
    // Answers free places (filled a quarter of the window at a time); a
    // refusal for good leaves at once.
    backend.answer(0, 1, DeliveryOutcome::Delivered);
    backend.answer(0, 2, DeliveryOutcome::RefusedForGood);
    ASSERT_TRUE(handed_is(0, {1, 2, 3, 4, 5, 6}));
    ASSERT_TRUE(stored_is(8));
    EXPECT_EQ(counters[0].refused.load(), 1u);

    // 3 fails in the middle of the window: 4 is delivered after it, 5 and 6
    // come back. Nothing is handed again before the window ran out, and
    // then only once the target is back.
    backend.answer(0, 3, DeliveryOutcome::RetryLater);
    backend.answer(0, 4, DeliveryOutcome::Delivered);
    backend.answer(0, 5, DeliveryOutcome::RetryLater);
    ASSERT_TRUE(stored_is(7));
    EXPECT_EQ(backend.handed(0).size(), 6u);
    EXPECT_TRUE(counters[0].failing.load());
    backend.answer(0, 6, DeliveryOutcome::RetryLater);
    backend.back(0);
    // Sent again from 3, alone until it went through; then the window
    // again, without 4, which the receiver took.
    ASSERT_TRUE(handed_is(0, {1, 2, 3, 4, 5, 6, 3})) << ::testing::PrintToString(backend.handed(0));
    EXPECT_EQ(counters[0].failed.load(), 1u);  // one failure, its tail not counted
    EXPECT_EQ(store.messages(), 7u);           // none left before its own answer
    backend.answer(0, 3, DeliveryOutcome::Delivered);
    ASSERT_TRUE(handed_is(0, {1, 2, 3, 4, 5, 6, 3, 5, 6, 7, 8}));
    EXPECT_FALSE(counters[0].failing.load());
    for (int64_t id : {5, 6, 7}) backend.answer(0, id, DeliveryOutcome::Delivered);
    backend.answer(1, 9, DeliveryOutcome::Delivered);
    ASSERT_TRUE(stored_is(2));  // 8 and 10 in flight

    // The stop cuts them short: they stay; a late answer still counts.
    EXPECT_TRUE(loop.stop(smdgw::DeliveryLoop::SteadyClock::now()));
    EXPECT_EQ(store.messages(), 2u);
    backend.answer(0, 8, DeliveryOutcome::Delivered);
    ASSERT_TRUE(stored_is(1));
    EXPECT_EQ(counters[0].sent.load(), 7u);
    EXPECT_EQ(counters[1].sent.load(), 1u);
}

}  // namespace
