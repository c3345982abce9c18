// The durable outbox under stress, as the MQTT service drives it: one thread
// adds messages (the frame thread), one reads and acknowledges them (the
// publisher), one reads the counters (the stats line and /metrics), and the
// writer's own thread stores and deletes. Every message is stored once, sent
// in order and deleted; run in a ThreadSanitizer build (label tsan), which
// also reports any access outside the locks.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "tools/smdgw/outbox/outbox_store.h"
#include "tools/smdgw/outbox/outbox_writer.h"

namespace {

constexpr int kMessages = 1000;

TEST(OutboxWriterStress, AddSendAcknowledgeAndReadCountsTogether) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("outbox_stress." + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    {
        smdgw::OutboxSpec spec;
        spec.path = (dir / "out.db").string();
        spec.name = "stress";
        spec.kinds = {"record", "alarm"};
        smdgw::OutboxStore store(spec);
        smdgw::OutboxCounters counters;
        smdgw::OutboxWriter writer(store, counters, smdgw::OutboxWriterOptions());
        std::atomic<bool> done{false};
        std::thread counts([&] {
            uint64_t seen = 0;
            while (!done) {
                seen += counters.committed + store.messages() + store.bytes() +
                        smdgw::dropped_so_far(store, counters, 0) + counters.backlog_bytes;
                std::this_thread::yield();
            }
            EXPECT_GT(seen, 0u);
        });
        int64_t last_id = 0, sent = 0, expected = 1;
        std::thread sender([&] {
            while (sent < kMessages) {
                const auto rows = store.read_after(last_id, 20, std::chrono::milliseconds(5));
                std::vector<int64_t> ids;
                for (const auto& m : rows) {
                    if (writer.acknowledged(m.id)) continue;
                    // In order, each once, numbered as stored.
                    EXPECT_EQ(m.payload, "{\"n\":" + std::to_string(expected) + "}");
                    ++expected;
                    ids.push_back(m.id);
                    last_id = m.id;
                    ++sent;
                }
                writer.acknowledge(ids);
                if (rows.empty()) std::this_thread::yield();
            }
        });
        for (int i = 0; i < kMessages; ++i) {
            smdgw::OutgoingMessage m;
            m.stream = "s";
            m.target = "t";
            m.payload = "{\"n\":}";
            m.seq_at = 5;
            m.kind = i % 7 == 0 ? 1 : 0;
            writer.add(std::move(m));
        }
        sender.join();
        EXPECT_TRUE(writer.stop(std::chrono::steady_clock::now() + std::chrono::seconds(10)));
        done = true;
        counts.join();
        EXPECT_EQ(counters.committed.load(), static_cast<uint64_t>(kMessages));
        EXPECT_EQ(store.messages(), 0u);
        EXPECT_EQ(store.dropped_total(), 0u);
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
