// Value lookup by key from the live record.

#include <mutex>
#include <stdexcept>

#include "datadevice/driver_log.h"
#include "pmbuspower/pmbuspower_419.h"
#include "pmbuspower/round_age.h"

namespace veltra::value_lookup {

// A value is served for this many seconds after its round.
constexpr int64_t kValueMaxAgeSeconds = 60;
// An AC phase below this voltage has no mains.
constexpr float kMainsPresentVolts = 150.0f;

template <class ChannelT>
bool ac_input_dead(const ChannelT& ch) {
    return ch.a < kMainsPresentVolts && ch.b < kMainsPresentVolts && ch.c < kMainsPresentVolts;
}

}  // namespace veltra::value_lookup

template <class DataT, uint32_t DataID>
float pmbuspower_419<DataT, DataID>::Get_Value(unsigned index, const std::string& key) const {
    (void)index;
    namespace lookup = veltra::value_lookup;
    veltra::LogLine() << "in pmbuspower_419 Get_Value";
    std::lock_guard<std::mutex> record(this->record_guard_);
    if (!this->data_ready_) throw std::out_of_range("数据未就绪");
    if (veltra::seconds_since_round(this->Clock().local_time(), this->last_time_) >
        lookup::kValueMaxAgeSeconds)
        throw std::out_of_range("数据已超时");
    const auto& rec = this->cData;
    if (key == "out_v") return rec.dc.v;
    if (key == "ac")
        return lookup::ac_input_dead(rec.ac_channels[0]) &&
                       lookup::ac_input_dead(rec.ac_channels[1])
                   ? 1.0f
                   : 0.0f;
    if (key == "ac1") return lookup::ac_input_dead(rec.ac_channels[0]) ? 1.0f : 0.0f;
    if (key == "ac2") return lookup::ac_input_dead(rec.ac_channels[1]) ? 1.0f : 0.0f;
    throw std::out_of_range("不支持变量");
}
