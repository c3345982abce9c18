#include "tools/smdgw/master/master_line.h"

#include <algorithm>
#include <exception>

#include "tools/smdgw/core/log.h"

namespace smdgw::master {

namespace {

// A plant answers within a few seconds or not at all; an "answer" later than
// this came from a queue (a serial server that held the line's bytes while
// it was away), and no timeout would wait for it.
constexpr std::chrono::milliseconds kLateAnswerAtMost{10000};

// What a driver of a master device writes to: the command goes to the line's
// outbox, to be written when the line is free.
class CommandPort : public LinePort {
   public:
    CommandPort(std::weak_ptr<MasterLine> line, size_t device)
        : line_(std::move(line)), device_(device) {}
    bool is_open() const override {
        const auto line = line_.lock();
        return line && line->port_open();
    }
    bool write(const unsigned char* data, size_t length) override {
        const auto line = line_.lock();
        if (!line || !line->port_open()) return false;
        line->command_from(device_, data, length);
        return true;
    }
    const std::string& name() const override {
        const auto line = line_.lock();
        return line ? line->port_name() : kNone;
    }

   private:
    static inline const std::string kNone = "(closed)";
    std::weak_ptr<MasterLine> line_;
    size_t device_;
};

// Repeated line troubles are told at 1, 10, 100, ... occurrences.
bool worth_telling(uint64_t count) {
    while (count >= 10 && count % 10 == 0) count /= 10;
    return count == 1;
}

std::string command_name(const SentCommand& s) {
    if (!s.valid()) return "?";
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : {s.decoded[2], s.decoded[3]}) {
        if (!out.empty()) out += '/';
        out += kHex[b >> 4];
        out += kHex[b & 0x0F];
    }
    return out;
}

// A response timeout that would have waited for every late answer seen:
// the longest wait with a fifth more (at least 100 ms more), rounded up to
// 100 ms, within the allowed 10 to 60000 ms.
unsigned suggested_timeout_ms(uint64_t latest_ms) {
    const uint64_t margin = latest_ms + std::max<uint64_t>(latest_ms / 5, 100) + 99;
    return static_cast<unsigned>(
        std::min<uint64_t>(60000, std::max<uint64_t>(100, margin / 100 * 100)));
}

// "; 43 answers came late, the latest 702 ms after the command: a
// "response_timeout_ms" of 900 would wait for them", or "" with none.
std::string late_answers_text(const PollCounters& c) {
    if (c.late_responses == 0) return {};
    return "; " + std::to_string(c.late_responses) +
           (c.late_responses == 1 ? " answer came" : " answers came") + " late, the latest " +
           std::to_string(c.latest_response_ms) + " ms after the command: a " +
           "\"response_timeout_ms\" of " +
           std::to_string(suggested_timeout_ms(c.latest_response_ms)) + " would wait for " +
           (c.late_responses == 1 ? "it" : "them");
}

}  // namespace

std::shared_ptr<MasterLine> MasterLine::create(boost::asio::io_context& io, Gateway& gw,
                                               std::vector<RunningDevice*> devices,
                                               std::vector<ScheduledControl> controls,
                                               double time_scale) {
    std::shared_ptr<MasterLine> line(
        new MasterLine(io, gw, std::move(devices), std::move(controls), time_scale));
    line->attach_devices();
    line->arm_tick();
    return line;
}

MasterLine::MasterLine(boost::asio::io_context& io, Gateway& gw,
                       std::vector<RunningDevice*> devices, std::vector<ScheduledControl> controls,
                       double time_scale)
    : gw_(gw),
      controls_(std::move(controls)),
      tick_(io),
      deadline_(io),
      tick_interval_(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(1.0 / (time_scale > 0.0 ? time_scale : 1.0)))),
      decoder_(*this) {
    for (RunningDevice* d : devices) members_.push_back({d, std::vector<bool>(controls_.size())});
}

MasterLine::~MasterLine() = default;

void MasterLine::attach_devices() {
    const std::weak_ptr<MasterLine> weak = weak_from_this();
    for (size_t i = 0; i < members_.size(); ++i) {
        members_[i].device->driver->AttachPort(std::make_shared<CommandPort>(weak, i));
        members_[i].device->busy = [weak] {
            const auto self = weak.lock();
            return self && (self->awaiting_ || !self->outbox_.empty());
        };
    }
}

const std::string& MasterLine::port_name() const {
    static const std::string kNone = "(closed)";
    return port_ ? port_->name() : kNone;
}

PollCounters& MasterLine::counters(size_t device) {
    return *members_[device < members_.size() ? device : 0].device->poll;
}

void MasterLine::arm_tick() {
    tick_.expires_after(tick_interval_);
    std::weak_ptr<MasterLine> weak = weak_from_this();
    tick_.async_wait([weak](const boost::system::error_code& ec) {
        const auto self = weak.lock();
        if (ec || !self) return;
        self->on_tick();
    });
}

void MasterLine::on_tick() {
    if (stopped_) return;
    arm_tick();
    if (!awaiting_ && port_open()) between_rounds();
}

void MasterLine::opened(std::shared_ptr<LinePort> port) {
    port_ = std::move(port);
    awaiting_ = false;
    outbox_.clear();
    decoder_.reset();
    progress_.reset();
}

void MasterLine::closed() {
    if (awaiting_) {
        // The exchange cannot end now; the driver hears of it as of a lost response.
        awaiting_ = false;
        if (!control_) ++counters(current_).rounds_abandoned;
        members_[current_].device->driver->AbandonExchange();
    }
    ++wait_generation_;
    deadline_.cancel();
    port_.reset();
    outbox_.clear();
    decoder_.reset();
    progress_.reset();
}

void MasterLine::stop() {
    stopped_ = true;
    awaiting_ = false;
    ++wait_generation_;
    tick_.cancel();
    deadline_.cancel();
    port_.reset();
    outbox_.clear();
}

void MasterLine::command_from(size_t device, const unsigned char* data, size_t n) {
    outbox_.push_back({device, std::string(reinterpret_cast<const char*>(data), n)});
}

void MasterLine::between_rounds() {
    if (stopped_ || gw_.stop_requested() || awaiting_) return;
    // Control requests of other threads (HTTP) waited for the line to be free.
    gw_.between_frames();
    if (!outbox_.empty()) {
        control_ = true;
        ++counters(outbox_.front().device).controls;
        if (send_next()) return;  // its reply comes before the next round
    }
    if (run_due_control()) return;
    start_round();
}

bool MasterLine::run_due_control() {
    for (size_t i = 0; i < members_.size(); ++i) {
        RunningDevice& d = *members_[i].device;
        for (size_t k = 0; k < controls_.size(); ++k) {
            if (members_[i].controls_done[k]) continue;
            if (d.driver->RoundsPublished() < controls_[k].after_rounds) continue;
            members_[i].controls_done[k] = true;
            control_ = true;
            ++d.poll->controls;
            gw_.control_device(d, controls_[k].code, controls_[k].request);
            if (send_next()) return true;  // its reply comes before the next round
        }
    }
    return false;
}

bool MasterLine::start_round() {
    for (size_t k = 0; k < members_.size(); ++k) {
        const size_t i = (next_ + k) % members_.size();
        control_ = false;
        try {
            members_[i].device->driver->RefreshStatus();
        } catch (const std::exception& e) {
            Gateway::report(members_[i].device->cfg.name,
                            std::string("RefreshStatus failed: ") + e.what());
        }
        if (!outbox_.empty()) {
            next_ = (i + 1) % members_.size();
            return send_next();
        }
    }
    return false;
}

bool MasterLine::send_next() {
    while (!awaiting_ && !outbox_.empty() && port_open()) {
        Outgoing o = std::move(outbox_.front());
        outbox_.pop_front();
        current_ = o.device < members_.size() ? o.device : 0;
        sent_ = sent_command(o.wire);
        late_answer_seen_ = false;
        if (!sent_.valid()) {
            Gateway::report(members_[current_].device->cfg.name,
                            "the driver wrote a command that is no frame; not sent");
            continue;
        }
        // Whatever is left of earlier traffic is not the answer to this command.
        decoder_.reset();
        progress_.reset();
        if (!port_->write(reinterpret_cast<const unsigned char*>(o.wire.data()), o.wire.size())) {
            Gateway::report(members_[current_].device->cfg.name,
                            "cannot write to " + port_->name());
            outbox_.clear();
            return false;
        }
        ++counters(current_).commands;
        // The wait is for the first byte after the command has left.
        sent_end_ =
            Clock::now() + line_time(o.wire.size(), members_[current_].device->driver->BaudRate());
        // A control request's exchange belongs to no round.
        if (!control_)
            members_[current_].device->driver->NoteCommandSent(sent_.decoded.data(),
                                                              sent_.decoded.size());
        awaiting_ = true;
        const RunningDevice& d = *members_[current_].device;
        wait_until(Clock::now() + line_time(o.wire.size(), d.driver->BaudRate()) +
                   std::chrono::milliseconds(d.cfg.master.response_timeout_ms));
        return true;
    }
    return false;
}

void MasterLine::wait_until(Clock::time_point deadline) {
    deadline_at_ = deadline;
    const uint64_t generation = ++wait_generation_;
    deadline_.expires_at(deadline);
    std::weak_ptr<MasterLine> weak = weak_from_this();
    deadline_.async_wait([weak, generation](const boost::system::error_code& ec) {
        const auto self = weak.lock();
        if (ec || !self || generation != self->wait_generation_) return;
        self->on_deadline();
    });
}

void MasterLine::on_deadline() {
    if (!awaiting_) return;
    awaiting_ = false;
    RunningDevice& d = *members_[current_].device;
    PollCounters& c = counters(current_);
    ++c.timeouts;
    if (!control_) ++c.rounds_abandoned;
    if (worth_telling(c.timeouts))
        log_warning("device \"" + d.cfg.name + "\": no response to " + command_name(sent_) +
                    " within " + std::to_string(d.cfg.master.response_timeout_ms) + " ms (" +
                    std::to_string(c.timeouts) + " so far); " + (control_ ? "control" : "round") +
                    " abandoned" + late_answers_text(c));
    for (auto it = outbox_.begin(); it != outbox_.end();)
        it = it->device == current_ ? outbox_.erase(it) : it + 1;
    decoder_.reset();
    progress_.reset();
    try {
        d.driver->AbandonExchange();
    } catch (const std::exception& e) {
        Gateway::report(d.cfg.name, std::string("process_error failed: ") + e.what());
    }
    // The next round starts at the next tick; frames until then are late.
}

void MasterLine::received(const unsigned char* data, size_t n) {
    if (stopped_) return;
    progress_.feed(data, n, Clock::now());
    decoder_.feed(data, n);
    // A response under way: wait as long as its length needs at the line's speed.
    if (awaiting_ && progress_.in_frame()) {
        const RunningDevice& d = *members_[current_].device;
        const Clock::time_point whole =
            progress_.started() + line_time(progress_.expected_chars(), d.driver->BaudRate()) +
            std::chrono::milliseconds(d.cfg.master.response_timeout_ms);
        if (whole != deadline_at_) wait_until(whole);
    }
}

void MasterLine::on_frame(const uint8_t* frame, size_t length) {
    if (!awaiting_) {
        PollCounters& c = counters(current_);
        ++c.late_frames;
        // The answer to the command that timed out: the plant is slower
        // than the timeout, which the user can mend. One answer per command:
        // more, or one long after (a line that comes back hands over what
        // queued meanwhile), is a backlog no timeout would wait for.
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
            progress_.started() - sent_end_);
        const bool backlog = late_answer_seen_ || waited > kLateAnswerAtMost;
        if (!backlog && classify_frame(frame, length, sent_) == FrameVerdict::Response) {
            late_answer_seen_ = true;
            ++c.late_responses;
            c.latest_response_ms = std::max<uint64_t>(
                c.latest_response_ms, static_cast<uint64_t>(std::max<int64_t>(0, waited.count())));
            if (worth_telling(c.late_responses))
                log_warning(
                    "device \"" + members_[current_].device->cfg.name + "\": the answer to " +
                    command_name(sent_) + " came " + std::to_string(waited.count()) +
                    " ms after the command, after the " +
                    std::to_string(members_[current_].device->cfg.master.response_timeout_ms) +
                    " ms timeout (" + std::to_string(c.late_responses) +
                    " late so far): a \"response_timeout_ms\" of " +
                    std::to_string(suggested_timeout_ms(c.latest_response_ms)) +
                    " would wait for " + (c.late_responses == 1 ? "it" : "them"));
        }
        return;
    }
    PollCounters& c = counters(current_);
    const FrameVerdict v = classify_frame(frame, length, sent_);
    if (v != FrameVerdict::Response) {
        if (v == FrameVerdict::Echo)
            ++c.echoes;
        else if (v == FrameVerdict::OtherAddress)
            ++c.other_address;
        else
            ++c.unexpected;
        // The response may still come: its first byte gets the full wait.
        const RunningDevice& d = *members_[current_].device;
        wait_until(Clock::now() + std::chrono::milliseconds(d.cfg.master.response_timeout_ms));
        return;
    }
    awaiting_ = false;
    ++wait_generation_;
    deadline_.cancel();
    ++c.responses;
    const bool completed = hand_to_driver(frame, length);
    if (send_next()) return;  // the round goes on
    // The exchange chain is over: after a completed round or a control reply
    // the line is free at once; after a round the driver stopped, at the next tick.
    if (completed || control_) between_rounds();
}

bool MasterLine::hand_to_driver(const uint8_t* frame, size_t length) {
    RunningDevice& d = *members_[current_].device;
    if (gw_.stop_requested()) return false;
    const std::string wire =
        smd::encode_frame(frame[0], frame[1], frame[2], frame[3], frame + smd::kHeaderBytes,
                          length - smd::kHeaderBytes);
    const uint64_t before = d.driver->RoundsPublished();
    try {
        d.driver->process(reinterpret_cast<unsigned char*>(const_cast<char*>(wire.data())),
                          static_cast<unsigned>(wire.size()));
    } catch (const std::exception& e) {
        Gateway::report(d.cfg.name, std::string("frame handling failed: ") + e.what());
    }
    gw_.note_frames(d);
    const bool completed = d.driver->RoundsPublished() > before;
    if (completed) ++counters(current_).rounds_completed;
    return completed;
}

void MasterLine::on_frame_error(smd::FrameError why) {
    (void)why;  // the codec's own counters are per device; this one is the master's
    ++counters(current_).frame_errors;
    members_[current_].device->driver->NoteLineFrameError();
    if (awaiting_) {
        const RunningDevice& d = *members_[current_].device;
        wait_until(Clock::now() + std::chrono::milliseconds(d.cfg.master.response_timeout_ms));
    }
}

}  // namespace smdgw::master
