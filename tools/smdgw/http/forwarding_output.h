#pragma once
// smdgw's own output lines (statistics, control results, control requests)
// go to the chosen output as before and, with --http, to the event streams too.

#include "tools/smdgw/core/line_output.h"
#include "tools/smdgw/http/device_board.h"

namespace smdgw::http {

class ForwardingOutput : public LineOutput {
   public:
    ForwardingOutput(LineOutput& out, DeviceBoard& board) : out_(out), board_(board) {}
    void write(const std::string& device, Json::Value line) override {
        board_.forward(device, line);
        out_.write(device, std::move(line));
    }

   private:
    LineOutput& out_;
    DeviceBoard& board_;
};

}  // namespace smdgw::http
