#pragma once
// The plant and the device of the round benchmarks: a full-size power system
// (two AC inputs, 40 rectifier modules with seven user values, two DC panels,
// alarm bytes set) and a threshold mode 2 device with every alarm level set.

#include <json/value.h>

#include <memory>
#include <string>

#include "host/host_sink.h"
#include "plugin/veltra_quelm_k418t_419.h"
#include "tools/common/frame_builder.h"

namespace bench {

constexpr unsigned kModules = 40;
constexpr unsigned kUserValues = 7;
constexpr unsigned kFusesPerPanel = 10;
// 9600 baud, 8N1: ten bits on the line for every byte.
constexpr double kLineBytesPerSecond = 9600.0 / 10.0;

veltra_frames::PlantSnapshot full_plant();

// The wire text of one round of the full plant.
std::string full_round_text();

// Seconds the round's wire text takes on a 9600-baud line.
double wire_seconds(const std::string& wire);

// Threshold mode 2 with a level and a threshold for every fixed alarm rule
// of the full plant, so that every rule reports.
Json::Value mode2_entry();

// A device entry with nothing but its name and data ID.
Json::Value minimal_entry();

// A capture driver created, initialised and set up with the entry; host
// calls go to the sink.
std::unique_ptr<Veltra_Quelm_K418T_419> make_driver(HostSink& sink, const Json::Value& entry);

}  // namespace bench
