// smd_plant_files: writes the benchmark plant for whole-process runs of smdgw:
// DIR/gateway.json (one device in threshold mode 2 with every fixed rule's
// level set) and DIR/plant.cap (ROUNDS rounds of the 40-module plant).
//   smd_plant_files DIR ROUNDS

#include <json/writer.h>

#include <cstdlib>
#include <fstream>
#include <iostream>

#include "bench/bench_plant.h"

int main(int argc, char** argv) {
    char* end = nullptr;
    const unsigned long rounds = argc == 3 ? std::strtoul(argv[2], &end, 10) : 0;
    if (argc != 3 || *end != '\0' || rounds == 0 || rounds > 1000000) {
        std::cerr << "usage: smd_plant_files DIR ROUNDS (1 to 1000000)" << std::endl;
        return 2;
    }
    const std::string dir = argv[1];
    Json::Value device = bench::mode2_entry();
    device["address"] = 1;
    Json::Value config;
    config["devices"].append(device);
    std::ofstream cfg(dir + "/gateway.json");
    cfg << Json::writeString(Json::StreamWriterBuilder(), config) << "\n";
    const std::string round = bench::full_round_text();
    std::ofstream cap(dir + "/plant.cap", std::ios::binary);
    for (unsigned long r = 0; r < rounds; ++r) cap << round;
    cfg.close();
    cap.close();
    if (!cfg || !cap) {
        std::cerr << "smd_plant_files: cannot write into " << dir << std::endl;
        return 1;
    }
    return 0;
}
