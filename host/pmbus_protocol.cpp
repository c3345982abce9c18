#include "host/pmbus_protocol.h"

#include <json/value.h>

#include "host/frame_codec.h"

PMBusProtocol::PMBusProtocol() = default;
PMBusProtocol::~PMBusProtocol() = default;

int PMBusProtocol::InitSetting(const Json::Value& entry) {
    if (!entry.isObject()) return 1;
    const Json::Value& adr = entry["address"];
    if (adr.isUInt() && adr.asUInt() <= 0xFF) {
        address_ = static_cast<uint8_t>(adr.asUInt());
        SetAddressFilter(address_);
    }
    if (entry["port"].isString()) port_name_ = entry["port"].asString();
    return 1;
}

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2) {
    return write_pmbus_cmd(cid1, cid2, nullptr, 0);
}

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2,
                                   const unsigned char* info, int length) {
    if (length < 0 || static_cast<size_t>(length) > smd::kMaxInfoBytes || (length > 0 && !info))
        return -1;
    const std::string wire =
        smd::encode_frame(protocol_ver_, address_, cid1, cid2, info, static_cast<size_t>(length));
    std::string text = wire;
    if (!text.empty() && text.back() == '\r') text.pop_back();  // CR shown as the frame's end
    // The same description serves the trace line and the command event.
    const std::string info_hex = smd::to_hex(info, static_cast<size_t>(length));
    if (tracing()) {
        trace(smd::HostCall("write_pmbus_cmd")
                  .arg("cid1", cid1)
                  .arg("cid2", cid2)
                  .arg("info", info_hex)
                  .arg("frame", text));
    }
    const int sent = SendData(reinterpret_cast<const unsigned char*>(wire.data()),
                              static_cast<unsigned>(wire.size()));
    if (Sink()) Sink()->on_command(name_, smd::CommandSent{cid1, cid2, info_hex, text, sent >= 0});
    return sent;
}
