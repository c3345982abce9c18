// Writes the seed corpora of the fuzz targets from the example plant, in the
// input layout each target reads. Usage: make_fuzz_seeds CORPUS_DIR

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tools/common/example_plant.h"
#include "tools/common/frame_builder.h"

namespace {

using veltra_frames::Bytes;

std::string g_root;

void write(const std::string& target, const std::string& name, const Bytes& bytes) {
    const std::string dir = g_root + "/" + target;
    ::mkdir(dir.c_str(), 0755);
    std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes with_prefix(std::initializer_list<uint8_t> prefix, const std::string& text) {
    Bytes b(prefix);
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

Bytes with_prefix(std::initializer_list<uint8_t> prefix, const Bytes& tail) {
    Bytes b(prefix);
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

void append_frame(Bytes& out, uint8_t a, uint8_t b, const Bytes& info) {
    out.push_back(a);
    out.push_back(b);
    out.push_back(static_cast<uint8_t>(info.size() & 0xFF));
    out.push_back(static_cast<uint8_t>(info.size() >> 8));
    out.insert(out.end(), info.begin(), info.end());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fuzz_seeds CORPUS_DIR\n");
        return 2;
    }
    g_root = argv[1];
    ::mkdir(g_root.c_str(), 0755);
    const veltra_frames::PlantSnapshot plant = veltra_frames::example_plant(2);
    const std::string one_round = veltra_frames::round_text(plant);

    write("frame_decoder_fuzz", "round", with_prefix({0x01}, one_round));
    write("frame_decoder_fuzz", "cut", with_prefix({0x07}, one_round.substr(0, 40) + one_round));

    // Raw line bytes in each mode, and the round as checksummed frames.
    Bytes frames;
    for (const auto& e : veltra_frames::round_exchanges(plant)) {
        append_frame(frames, e.cid1, e.cid2, e.command_info);
        append_frame(frames, e.cid1, 0x00, e.response_info);
    }
    for (uint8_t mode = 0; mode < 4; ++mode) {
        write("capture_path_fuzz", "raw_mode" + std::to_string(mode),
              with_prefix({mode}, one_round + one_round));
        write("capture_path_fuzz", "frames_mode" + std::to_string(mode),
              with_prefix({static_cast<uint8_t>(0x80 | mode)}, frames));
    }

    const Bytes infos[] = {
        veltra_frames::info40_41(plant), veltra_frames::info40_44(plant),
        veltra_frames::info41_41(plant), veltra_frames::info41_43(plant),
        veltra_frames::info41_44(plant), veltra_frames::info42_41(plant),
        veltra_frames::info42_44(plant),
    };
    for (uint8_t i = 0; i < 7; ++i)
        write("capture_decoders_fuzz", "decoder" + std::to_string(i),
              with_prefix({i, 2}, infos[i]));

    // Polling decoders: the capture payloads without DATAFLAG are close to
    // their layouts; the sequence gets the round's responses in poll order.
    const uint8_t poll_for[7] = {12, 10, 6, 8, 9, 0, 4};
    for (uint8_t i = 0; i < 7; ++i) {
        const Bytes tail(infos[i].begin() + 1, infos[i].end());
        write("poll_decoders_fuzz", "decoder" + std::to_string(poll_for[i]),
              with_prefix({poll_for[i], 0x07}, tail));
    }
    Bytes sequence;
    const int order[] = {0, 1, 1, 2, 3, 4, 5, 6};  // step index -> payload
    for (uint8_t s = 0; s < 8; ++s) append_frame(sequence, s, 0, infos[order[s]]);
    write("poll_decoders_fuzz", "sequence_float", with_prefix({14, 0x07}, sequence));
    write("poll_decoders_fuzz", "sequence_fixed", with_prefix({15, 0x26}, sequence));

    write("init_setting_fuzz", "entry",
          with_prefix({0}, std::string(R"({"name":"d","data_id":418,"appSetting":{"b_mode":"5",)"
                                       R"("has_ac":"1","cg":"255","no_dc_number":"-1"},)"
                                       R"("thresholdSetting":{"v":{"ID":"419115100001",)"
                                       R"("SignalName":"dc.v","UpValue":56.5,)"
                                       R"("UpReconverValue":55,"UpAlarmLevel":2}}})")));
    write("init_setting_fuzz", "ini",
          with_prefix({1}, std::string("[AI]\ndc.v=419401002001,DC bus voltage\n"
                                       "ac_channels[0].a=419405002001\n\n[ALARM]\n"
                                       "fuse=419501001001,load fuse\n")));

    write("host_calls_fuzz", "cache", with_prefix({0}, Bytes(2704, 0)));
    write(
        "host_calls_fuzz", "set_point",
        with_prefix({0x09, 8, 0}, std::string(R"({"signal_id":"4196A3101001","SetValue":53.5})")));
    write("host_calls_fuzz", "raw_command", with_prefix({0x07, 4, 0}, Bytes{1, 2, 3, 4, 5, 6, 7}));
    write("host_calls_fuzz", "rectifier", with_prefix({0x13, 4, 0}, std::string("1")));
    write("host_calls_fuzz", "other_code", with_prefix({0x19, 0x07, 0x00, 4, 0}, Bytes{}));

    write("smdgw_config_fuzz", "two_devices",
          with_prefix({}, std::string(R"({"devices":[{"name":"a","data_id":418,"address":1,)"
                                      R"("alarm_levels":{"120600180010":3},)"
                                      R"("limits":{"419601001001":{"upper":57.6}},)"
                                      R"("reports":{"x":{"change_enabled":true}}},)"
                                      R"({"name":"b","data_id":419,"port":"/dev/null",)"
                                      R"("appSetting":{"b_mode":5}}]})")));
    return 0;
}
