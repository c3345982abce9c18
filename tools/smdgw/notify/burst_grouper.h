#pragma once
// Groups a burst of alarm changes into one message per target: a change
// joins the target's open burst when it follows the burst's last change by
// less than the gap; a burst goes when the gap passed without another
// change, when it has been held for the longest hold, or when it is full.
//
//   gap 1 s, hold 5 s: changes at 0.0, 0.3, 0.9 s -> one message at 1.9 s;
//   a change every 0.5 s for 8 s -> messages at 5.0 s and later.
//
// Time is seconds on a monotonic clock (the host's, scaled like its timers).

#include <cstddef>
#include <optional>
#include <vector>

#include "tools/smdgw/notify/notify_event.h"

namespace smdgw::notify {

struct Burst {
    size_t target = 0;
    std::vector<NotifyEvent> events;
};

class BurstGrouper {
   public:
    static constexpr double kGapSeconds = 1.0;
    static constexpr double kHoldSeconds = 5.0;
    // A message tells at most this many changes; the next ones start another.
    static constexpr size_t kMaxEvents = 100;

    explicit BurstGrouper(size_t targets, double gap_s = kGapSeconds, double hold_s = kHoldSeconds);

    void add(size_t target, NotifyEvent e, double now_s);
    // The bursts due at now_s, oldest first; they leave the grouper.
    std::vector<Burst> take_due(double now_s);
    // Every open burst (a stop).
    std::vector<Burst> take_all();
    // When the next burst is due; nothing while none is open.
    std::optional<double> next_due() const;

   private:
    struct Open {
        std::vector<NotifyEvent> events;
        double first_s = 0.0;
        double last_s = 0.0;
    };
    bool due(const Open& o, double now_s) const;

    double gap_s_;
    double hold_s_;
    std::vector<Open> open_;
    std::vector<Burst> full_;  // closed by their size, waiting for take_due
};

}  // namespace smdgw::notify
