#pragma once
// The clock a device reads. Tests and the simulated plant drive a manual clock
// instead of waiting; a real gateway uses the system clock.

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <ctime>

class HostClock {
   public:
    virtual ~HostClock() = default;
    // Local time at one-second resolution.
    virtual boost::posix_time::ptime local_time() const;
    // Seconds since the epoch.
    virtual std::time_t unix_time() const;
    // Seconds on a clock that never steps (ages, staleness); any origin.
    virtual double monotonic_seconds() const;
};

// The stateless system clock shared by every device that has no other clock.
const HostClock& system_host_clock();

// A clock that stands still until it is set or advanced.
class ManualClock : public HostClock {
   public:
    explicit ManualClock(boost::posix_time::ptime start);
    boost::posix_time::ptime local_time() const override { return now_; }
    std::time_t unix_time() const override;
    // Advances with advance() only: set() is a clock step.
    double monotonic_seconds() const override { return mono_; }
    void set(boost::posix_time::ptime t) { now_ = t; }
    void advance(long seconds) {
        now_ += boost::posix_time::seconds(seconds);
        mono_ += static_cast<double>(seconds);
    }

   private:
    boost::posix_time::ptime now_;
    double mono_ = 0.0;
};
