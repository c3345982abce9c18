#pragma once
// The host's protocol base for telecom power-monitoring devices: sending
// command frames and the protocol's own settings.

#include <cstdint>

#include "host/smd_spdevice.h"

class PMBusProtocol : public SMDSPDevice {
   public:
    PMBusProtocol();
    ~PMBusProtocol() override;

    // Reads the host's own settings of the device entry: "address" and "port".
    int InitSetting(const Json::Value& entry) override;

    // Sends one command frame with VER = protocol version and ADR = address.
    int write_pmbus_cmd(unsigned char cid1, unsigned char cid2);
    int write_pmbus_cmd(unsigned char cid1, unsigned char cid2, const unsigned char* info,
                        int length);

    uint8_t Address() const { return address_; }
    uint8_t ProtocolVersion() const { return protocol_ver_; }

   protected:
    int process_payload() override { return 1; }
    int process_error() override { return 1; }

    uint8_t protocol_ver_ = 0x20;
    uint8_t address_ = 1;
};
