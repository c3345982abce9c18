// The data snapshot the configured thresholds are evaluated against: one
// number per float field of the live record, named by its path in the record
// ("out_v", "ac.ia", "channels[3].p41_41[0]", "dc2.v"). Array entries are
// taken up to their count, bounded by the array size.

#include <algorithm>
#include <string>
#include <type_traits>

#include "pmbuspower/pmbuspower_419.h"

namespace veltra::json_snapshot {

// Entries of an array that hold values: the count, never past the array.
inline size_t valid_entries(unsigned count, size_t size) {
    return std::min(static_cast<size_t>(count), size);
}

inline std::string indexed(const std::string& name, size_t i) {
    return name + "[" + std::to_string(i) + "]";
}

template <class DcT>
void add_dc_panel(Json::Value& out, const DcT& dc, const std::string& name) {
    out[name + ".v"] = dc.v;
    out[name + ".i"] = dc.i;
    const size_t m = valid_entries(dc.m, DcT::M_SIZE());
    for (size_t k = 0; k < m; ++k) out[indexed(name + ".dc_i", k)] = dc.dc_i[k];
    if constexpr (DcT::N_SIZE() > 0) {
        const size_t n = valid_entries(dc.n, DcT::N_SIZE());
        for (size_t k = 0; k < n; ++k) out[indexed(name + ".channel", k)] = dc.channel[k];
    }
    const size_t p = valid_entries(dc.p_count, DcT::P_SIZE());
    for (size_t k = 0; k < p; ++k) out[indexed(name + ".p", k)] = dc.p[k];
}

template <class RecordT>
Json::Value record_snapshot(const RecordT& rec, bool second_panel) {
    Json::Value out(Json::objectValue);
    out["out_v"] = rec.out_v;
    out["ac.ia"] = rec.ac.ia;
    out["ac.ib"] = rec.ac.ib;
    out["ac.ic"] = rec.ac.ic;

    constexpr size_t kAcSize = sizeof rec.ac_channels / sizeof rec.ac_channels[0];
    const size_t inputs = valid_entries(rec.ac.channel_count, kAcSize);
    for (size_t i = 0; i < inputs; ++i) {
        const auto& ch = rec.ac_channels[i];
        using AcChannelT = std::decay_t<decltype(ch)>;
        const std::string name = indexed("ac_channels", i);
        out[name + ".a"] = ch.a;
        out[name + ".b"] = ch.b;
        out[name + ".c"] = ch.c;
        out[name + ".f"] = ch.f;
        if constexpr (AcChannelT::P40_41_SIZE() > 0) {
            const size_t user = valid_entries(ch.p40_41_count, AcChannelT::P40_41_SIZE());
            for (size_t k = 0; k < user; ++k) out[indexed(name + ".p40_41", k)] = ch.p40_41[k];
        }
    }

    constexpr size_t kRcSize = sizeof rec.channels / sizeof rec.channels[0];
    const size_t modules = valid_entries(rec.channel_count, kRcSize);
    for (size_t j = 0; j < modules; ++j) {
        const auto& ch = rec.channels[j];
        using RcChannelT = std::decay_t<decltype(ch)>;
        const std::string name = indexed("channels", j);
        out[name + ".out_i"] = ch.out_i;
        const size_t user = valid_entries(ch.p41_41_count, RcChannelT::P41_41_SIZE());
        for (size_t k = 0; k < user; ++k) out[indexed(name + ".p41_41", k)] = ch.p41_41[k];
    }

    add_dc_panel(out, rec.dc, "dc");
    if (second_panel) add_dc_panel(out, rec.dc2, "dc2");
    return out;
}

}  // namespace veltra::json_snapshot

template <class DataT, uint32_t DataID>
void pmbuspower_419<DataT, DataID>::GenJsonData() {
    Json::Value snapshot = veltra::json_snapshot::record_snapshot(this->cData, dc_number > 1);
    this->json_data_.swap(snapshot);
}
