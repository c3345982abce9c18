#pragma once
// Composes the line traffic of a polled power system from plain values: the INFO
// payloads of every response the capture decodes, command and response frames with
// their checksums, and whole data rounds. Used by the tests, the capture generator
// and the simulator.

#include <cstdint>
#include <string>
#include <vector>

namespace veltra_frames {

using Bytes = std::vector<uint8_t>;

struct AcInput {
    float a = 0.0f;  // phase voltages
    float b = 0.0f;
    float c = 0.0f;
    float f = 0.0f;  // frequency
    std::vector<float> user_values;
    uint8_t alert_a = 0;
    uint8_t alert_b = 0;
    uint8_t alert_c = 0;
    uint8_t alert_f = 0;
    Bytes further_states;  // the state bytes before the user-defined alarm codes
    Bytes user_alarms;
};

struct AcDistribution {
    std::vector<AcInput> inputs;
    float ia = 0.0f;  // phase currents
    float ib = 0.0f;
    float ic = 0.0f;
    uint8_t ia_alert = 0;
    uint8_t ib_alert = 0;
    uint8_t ic_alert = 0;
};

struct RectifierModule {
    float out_i = 0.0f;
    std::vector<float> user_values;
    uint8_t shutdown = 0;
    uint8_t i_limit = 0;
    uint8_t charge = 0;
    Bytes user_states;
    uint8_t fault = 0;
    Bytes user_alarms;
};

struct DcPanel {
    float v = 0.0f;
    float i = 0.0f;
    std::vector<float> currents;
    std::vector<float> branch_currents;
    std::vector<float> user_values;
    uint8_t alert_v = 0;
    Bytes fuses;  // one alarm code per load fuse; non-zero is blown
    Bytes user_alarms;
};

struct PlantSnapshot {
    uint8_t dataflag = 0;
    AcDistribution ac;
    float out_v = 0.0f;  // rectifier output voltage
    std::vector<RectifierModule> modules;
    std::vector<DcPanel> panels;
};

// Version and address of the frames on the line.
struct LineAddress {
    uint8_t ver = 0x21;
    uint8_t adr = 1;
};

// Little-endian IEEE-754 single precision, as the power system sends floats.
void append_f32(Bytes& out, float v);

// Response INFO payloads, DATAFLAG first. Every list count is written as one byte,
// so a list longer than 255 entries cannot be expressed.
Bytes info40_41(const PlantSnapshot& s);
Bytes info40_44(const PlantSnapshot& s);
Bytes info41_41(const PlantSnapshot& s);
Bytes info41_43(const PlantSnapshot& s);
Bytes info41_44(const PlantSnapshot& s);
Bytes info42_41(const PlantSnapshot& s);
Bytes info42_44(const PlantSnapshot& s);

// Wire text of one frame. A command carries CID2 in byte 3, a response its return code.
std::string command_frame(const LineAddress& at, uint8_t cid1, uint8_t cid2,
                          const Bytes& info = Bytes());
std::string response_frame(const LineAddress& at, uint8_t cid1, const Bytes& info, uint8_t rtn = 0);

// One exchange of a data round: the command and the response INFO that answers it.
struct Exchange {
    uint8_t cid1;
    uint8_t cid2;
    Bytes command_info;
    Bytes response_info;
};

// The exchanges of one round in the order the master polls them: DC alarms (which opens
// the round), AC values and alarms, rectifier values, states and alarms, DC values, the
// vendor commands 0xE1/0x81 and 0xE1/0xF7, and 0xE1/0x90, whose response closes it.
std::vector<Exchange> round_exchanges(const PlantSnapshot& s);

// The wire text of a whole round, each command followed by its response.
std::string round_text(const PlantSnapshot& s, const LineAddress& at = LineAddress());

}  // namespace veltra_frames
