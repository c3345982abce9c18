#pragma once
// The gateway as the only master on one line: a tick of about a second calls
// RefreshStatus on the line's devices in turn (several devices at different
// addresses share an RS-485 line, one whole round after another); the command
// frames their drivers build are written one at a time, and only the response
// to the command just sent is handed to the driver. Echoes, other addresses,
// unexpected and faulty frames are counted and dropped. A response that does
// not come in time abandons the round (process_error); frames after that are
// dropped until the next command. Control requests run only between rounds.

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "host/frame_codec.h"
#include "tools/smdgw/core/port_runner.h"
#include "tools/smdgw/master/master_options.h"
#include "tools/smdgw/master/response_match.h"
#include "tools/smdgw/master/response_timing.h"

namespace smdgw::master {

class MasterLine : public PolledLine,
                   public std::enable_shared_from_this<MasterLine>,
                   private smd::FrameSink {
   public:
    static std::shared_ptr<MasterLine> create(boost::asio::io_context& io, Gateway& gw,
                                              std::vector<RunningDevice*> devices,
                                              std::vector<ScheduledControl> controls,
                                              double time_scale);
    ~MasterLine() override;

    void opened(std::shared_ptr<LinePort> port) override;
    void closed() override;
    void received(const unsigned char* data, size_t n) override;
    void stop() override;

    // A command frame a driver wrote (through its device's command port).
    void command_from(size_t device, const unsigned char* data, size_t n);
    bool port_open() const { return port_ && port_->is_open(); }
    const std::string& port_name() const;

   private:
    struct Member {
        RunningDevice* device;
        std::vector<bool> controls_done;  // per scheduled control
    };
    struct Outgoing {
        size_t device;
        std::string wire;
    };

    MasterLine(boost::asio::io_context& io, Gateway& gw, std::vector<RunningDevice*> devices,
               std::vector<ScheduledControl> controls, double time_scale);
    void attach_devices();
    void arm_tick();
    void on_tick();
    // The line is free: due control requests first, then the next round.
    void between_rounds();
    bool run_due_control();
    bool start_round();
    // Writes the next queued command and waits for its response.
    bool send_next();
    void wait_until(Clock::time_point deadline);
    void on_deadline();
    // True when the driver completed a round with it.
    bool hand_to_driver(const uint8_t* frame, size_t length);
    PollCounters& counters(size_t device);

    void on_frame(const uint8_t* frame, size_t length) override;
    void on_frame_error(smd::FrameError why) override;

    Gateway& gw_;
    std::vector<Member> members_;
    std::vector<ScheduledControl> controls_;
    boost::asio::steady_timer tick_;
    boost::asio::steady_timer deadline_;
    Clock::duration tick_interval_;
    std::shared_ptr<LinePort> port_;
    smd::FrameDecoder decoder_;
    FrameProgress progress_;
    std::deque<Outgoing> outbox_;

    bool awaiting_ = false;    // a command is out and its response not yet in
    bool control_ = false;     // the exchange belongs to a control request
    size_t current_ = 0;       // device of the exchange (or the last one)
    size_t next_ = 0;          // device whose round is tried first at the next start
    SentCommand sent_;
    Clock::time_point deadline_at_{};
    Clock::time_point sent_end_{};  // when the last command had left, at the line's speed
    // A late answer to the last command was seen: what follows it before the
    // next command is a backlog (answers queued while the line was away), not
    // a slow plant.
    bool late_answer_seen_ = false;
    uint64_t wait_generation_ = 0;
    bool stopped_ = false;
};

}  // namespace smdgw::master
