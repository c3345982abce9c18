#pragma once
// The host's serial-device layer: the port, the frame decoder and the delivery
// of each decoded frame to the driver.

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "host/frame_codec.h"
#include "host/line_port.h"
#include "host/smd_vdevice.h"

class SMDSPDevice : public SMDVDevice {
   public:
    SMDSPDevice();
    ~SMDSPDevice() override;

    // Returns 1 while the port is open: a poll may be sent.
    virtual int RefreshStatus();
    // Feeds bytes read from the line; calls process_payload or process_error
    // once per frame.
    virtual void process(unsigned char* data, unsigned length);
    virtual bool IsProcessing() { return processing_; }
    virtual bool IsStalled() { return false; }
    virtual int SendData(const unsigned char* data, unsigned length);
    virtual int SendParityData(const unsigned char* data, unsigned length, EnumParity parity);
    virtual bool OpenPort();
    virtual void ClosePort();

    // The gateway as master: the response to the last command did not come.
    // The exchange ends (the poll step leaves the sequence, so that a later
    // reply is not taken for that step's data) and the driver hears of it
    // as of a faulty frame, through process_error.
    void AbandonExchange();
    // A line the host polls as master: the round judge hears of the round's
    // commands it writes (decoded, VER ADR CID1 CID2 LENID INFO; not those of
    // control requests, which belong to no round) and of the faulty frames
    // its own decoder rejects while a response is awaited; a round opens
    // with its first command and ends at its publication or when a response
    // does not come (AbandonExchange).
    void SetMasterLine(bool master) { judge().set_master(master); }
    void NoteCommandSent(const uint8_t* frame, size_t length) { judge().on_frame(frame, length); }
    void NoteLineFrameError() { judge().on_line_noise(); }

    int Reset() override { return 1; }

    // The line this device writes to; smdgw shares one line between the
    // devices configured on the same port.
    void AttachPort(std::shared_ptr<LinePort> port) { port_ = std::move(port); }
    const std::string& PortName() const { return port_name_; }
    // The line's speed as the driver set it.
    int BaudRate() const { return baud_rate_; }
    // Address filter: when set, frames of other addresses are not delivered.
    void SetAddressFilter(int address) {
        address_filter_ = address;
        judge().set_address(address);
    }
    const smd::FrameCounters& FrameCounters() const { return decoder_.counters(); }
    uint64_t FramesFiltered() const { return frames_filtered_; }

   protected:
    virtual int process_payload() { return 1; }
    virtual int process_error() { return 1; }

    int refresh_status_ = 0;
    int poll_step_ = 0;
    int baud_rate_ = 9600;
    uint8_t serial_flag_ = 0;
    std::string port_name_;
    // The frame being handled: byte 0 VER, 1 ADR, 2 CID1, 3 CID2 or RTN,
    // 4 and 5 LENID little-endian, INFO from byte 6.
    unsigned char* frame_ = nullptr;
    size_t frame_len_ = 0;

   private:
    // Hands the decoder's frames to the device. A member rather than a base:
    // a base's callbacks would take slots in the driver's virtual table.
    class FrameInput : public smd::FrameSink {
       public:
        explicit FrameInput(SMDSPDevice& device) : device_(device) {}
        void on_frame(const uint8_t* frame, size_t length) override {
            device_.take_frame(frame, length);
        }
        void on_frame_error(smd::FrameError why) override { device_.take_frame_error(why); }

       private:
        SMDSPDevice& device_;
    };

    void take_frame(const uint8_t* frame, size_t length);
    void take_frame_error(smd::FrameError why);

    FrameInput frame_input_{*this};
    smd::FrameDecoder decoder_;
    std::array<unsigned char, smd::kMaxFrameBytes> frame_buf_{};
    std::shared_ptr<LinePort> port_;
    int address_filter_ = -1;
    uint64_t frames_filtered_ = 0;
    bool processing_ = false;
};
