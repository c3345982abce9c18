#pragma once
// Two pseudo-terminals joined back to back, like a null-modem cable: what one
// program writes to the first slave the other reads from the second, and the
// other way round. A thread relays between the two masters.

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace testsupport {

class PtyBridge {
   public:
    PtyBridge();
    ~PtyBridge();
    PtyBridge(const PtyBridge&) = delete;
    PtyBridge& operator=(const PtyBridge&) = delete;

    // Device paths for the two ends (e.g. /dev/pts/5 and /dev/pts/6).
    const std::string& end_a() const { return name_a_; }
    const std::string& end_b() const { return name_b_; }
    // Bytes a program wrote on the second end, relayed to the first: what a
    // gateway on end_b() sent down the line.
    uint64_t bytes_from_b() const { return from_b_; }

   private:
    void relay();

    int master_a_ = -1, slave_a_ = -1, master_b_ = -1, slave_b_ = -1;
    std::string name_a_, name_b_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> from_b_{0};
    std::thread thread_;
};

}  // namespace testsupport
