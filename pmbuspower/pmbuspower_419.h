#pragma once
// The driver family for -48 V power systems of device type 419: options,
// value lookup, communication alarm, alarm rules, control and its own poll
// sequence with the polling decoders. Member definitions live in the .ipp
// files of this folder, one concern each.

#include <json/value.h>

#include <cstdint>
#include <string>

#include "datadevice/veltra_data_device.h"
#include "pmbuspower/poll_cursor.h"

template <class DataT, uint32_t DataID>
class pmbuspower_419 : public VeltraDataDevice<DataT, PMBusProtocol, DataID> {
   public:
    using Base = VeltraDataDevice<DataT, PMBusProtocol, DataID>;

    pmbuspower_419();
    ~pmbuspower_419() override;

    float Get_Value(unsigned index, const std::string& key) const override;
    int DeviceIoControl(int code, const void* request, int request_length, void* output,
                        int output_size, int& output_length) override;
    int Reset() override;
    int InitSetting(const Json::Value& entry) override;
    int RefreshStatus() override;
    void RunCheckThreshold() override;
    void GenJsonData() override;

    // Polling decoders, in slot order. Each takes the payload bytes and their
    // count and returns the bytes consumed or -1.
    virtual int parse42_41(const unsigned char* p, int length);
    virtual int parse42_41_2(const unsigned char* p, int length);
    virtual int parse42_42(const unsigned char* p, int length);
    virtual int parse42_42_2(const unsigned char* p, int length);
    virtual int parse42_44(const unsigned char* p, int length);
    virtual int parse42_44_2(const unsigned char* p, int length);
    virtual int parse41_41(const unsigned char* p, int length);
    virtual int parse41_42(const unsigned char* p, int length);
    virtual int parse41_43(const unsigned char* p, int length);
    virtual int parse41_44(const unsigned char* p, int length);
    virtual int parse40_44(const unsigned char* p, int length);
    virtual int parse40_43(const unsigned char* p, int length);
    virtual int parse40_41(const unsigned char* p, int length);
    virtual int parse40_42(const unsigned char* p, int length);

    // Options and state, in declaration order.
    int io_result_;
    uint8_t cg;
    uint8_t data_flag_;
    bool has_ac;
    bool has_dc;
    int32_t no_dc_number;
    bool has_a;
    bool has_b;
    bool has_c;
    int32_t dc_i_adjust;
    int32_t ac_line;
    int32_t ac_type;
    bool use_float_;
    int32_t skip_41_41;
    bool has_tower;
    int32_t no_40_arg;
    int32_t no_42_arg;
    int divisor_;
    uint32_t dc_number;
    int32_t open_41_43;

   protected:
    int process_payload() override;

    // The poll sequence: sending a step's command, the DC responses with
    // their panel-count byte, and the end of a round.
    void send_poll_step(int step);
    void poll_dc_analog(const pmbus_poll::PollSpan& info);
    void poll_dc_alarms(const pmbus_poll::PollSpan& info);
    void complete_poll_round();
};

extern template class pmbuspower_419<veltra_quelm_k418t_419_Data_t, 5535>;
