#pragma once
// The driver family with its alarm rules replaced by a marker in the host
// trace, so that tests see where the rules and the snapshot run among the
// host calls of a round, independent of what the rules report.

#include <json/value.h>

#include <string>
#include <vector>

#include "pmbuspower/pmbuspower_419.h"
#include "tests/support/recording_sink.h"

namespace testsupport {

class FamilyProbe : public pmbuspower_419<veltra_quelm_k418t_419_Data_t, 5535> {
   public:
    using Family = pmbuspower_419<veltra_quelm_k418t_419_Data_t, 5535>;

    void RunCheckThreshold() override {
        mark("RunCheckThreshold");
        seq_at_rules.push_back(alarm_seq_);
    }
    void GenJsonData() override {
        mark("GenJsonData");
        Family::GenJsonData();
    }
    void set_model(const std::string& model) { device_type_ = model; }
    std::vector<rule_value>& batch() { return rule_batch_; }
    void set_alarm_sequence(unsigned short seq) { alarm_seq_ = seq; }

    // Alarm sequence seen by each run of the alarm rules.
    std::vector<unsigned short> seq_at_rules;

   private:
    void mark(const char* name) {
        if (auto* rec = dynamic_cast<RecordingSink*>(Sink())) {
            Json::Value c;
            c["call"] = name;
            rec->calls.push_back(c);
        }
    }
};

}  // namespace testsupport
