#include "host/smd_spdevice.h"

#include <cstring>

SMDSPDevice::SMDSPDevice() : decoder_(frame_input_) {}

SMDSPDevice::~SMDSPDevice() = default;

int SMDSPDevice::RefreshStatus() { return port_ && port_->is_open() ? 1 : 0; }

void SMDSPDevice::process(unsigned char* data, unsigned length) {
    processing_ = true;
    decoder_.feed(data, length);
    processing_ = false;
}

void SMDSPDevice::take_frame(const uint8_t* frame, size_t length) {
    if (length < 6 || length > frame_buf_.size()) return;  // the decoder never hands these over
    const bool filtered = address_filter_ >= 0 && frame[1] != address_filter_;
    // Judged before the driver sees it: a response that closes a round has
    // answered its command by the time the round is published.
    judge().on_frame(frame, length);
    if (filtered) ++frames_filtered_;
    if (Sink() && Sink()->wants_frames()) {
        smd::FrameVerdict v;
        v.counters = &decoder_.counters();
        v.frames_other_address = frames_filtered_;
        v.kind =
            filtered ? smd::FrameVerdict::Kind::OtherAddress : smd::FrameVerdict::Kind::Delivered;
        v.frame = frame;
        v.length = length;
        Sink()->on_frame(name_, v);
    }
    if (filtered) return;
    std::memcpy(frame_buf_.data(), frame, length);
    frame_ = frame_buf_.data();
    frame_len_ = length;
    process_payload();
}

void SMDSPDevice::take_frame_error(smd::FrameError why) {
    judge().on_frame_error();
    if (Sink() && Sink()->wants_frames()) {
        smd::FrameVerdict v;
        v.kind = smd::FrameVerdict::Kind::Rejected;
        v.counters = &decoder_.counters();
        v.frames_other_address = frames_filtered_;
        v.error = why;
        Sink()->on_frame(name_, v);
    }
    if (tracing()) trace(smd::HostCall("process_error").arg("kind", smd::frame_error_name(why)));
    process_error();
}

void SMDSPDevice::AbandonExchange() {
    poll_step_ = 0;
    // A step of a round timed out: the round ends unpublished, and a section
    // whose commands time out round after round is missing.
    if (judge().round_open()) sections_judged(judge().abandon_round());
    if (tracing()) trace(smd::HostCall("process_error").arg("kind", "no_response"));
    process_error();
}

int SMDSPDevice::SendData(const unsigned char* data, unsigned length) {
    if (!port_ || !port_->is_open()) return -1;
    return port_->write(data, length) ? static_cast<int>(length) : -1;
}

int SMDSPDevice::SendParityData(const unsigned char* data, unsigned length, EnumParity parity) {
    (void)parity;  // the line runs 8N1; parity framing is the port's business
    return SendData(data, length);
}

bool SMDSPDevice::OpenPort() { return port_ && port_->is_open(); }

void SMDSPDevice::ClosePort() { port_.reset(); }
