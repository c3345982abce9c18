// Driver options from "appSetting", then the threshold configuration and the
// host protocol's own settings.

#include "datadevice/config_text.h"
#include "pmbuspower/pmbuspower_419.h"

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::InitSetting(const Json::Value& entry) {
    using Self = pmbuspower_419<DataT, DataID>;
    // One option per row, read in this order; exactly one member pointer is set.
    struct Option {
        const char* key;
        bool Self::*flag;
        int32_t Self::*number;
        uint8_t Self::*byte;
    };
    static constexpr Option kOptions[] = {
        {"has_ac", &Self::has_ac, nullptr, nullptr},
        {"has_dc", &Self::has_dc, nullptr, nullptr},
        {"no_dc_number", nullptr, &Self::no_dc_number, nullptr},
        {"ac_line", nullptr, &Self::ac_line, nullptr},
        {"ac_type", nullptr, &Self::ac_type, nullptr},
        {"has_a", &Self::has_a, nullptr, nullptr},
        {"has_b", &Self::has_b, nullptr, nullptr},
        {"has_c", &Self::has_c, nullptr, nullptr},
        {"dc_i_adjust", nullptr, &Self::dc_i_adjust, nullptr},
        {"skip_41_41", nullptr, &Self::skip_41_41, nullptr},
        {"has_tower", &Self::has_tower, nullptr, nullptr},
        {"no_42_arg", nullptr, &Self::no_42_arg, nullptr},
        {"no_40_arg", nullptr, &Self::no_40_arg, nullptr},
        {"open_41_43", nullptr, &Self::open_41_43, nullptr},
        {"cg", nullptr, nullptr, &Self::cg},
    };

    const Json::Value& settings = entry["appSetting"];
    if (settings.isObject()) {
        for (const Option& opt : kOptions) {
            const Json::Value& v = settings[opt.key];
            if (v.isNull()) continue;
            const int n = veltra::option_to_int(v);
            if (opt.flag) this->*opt.flag = n != 0;
            if (opt.number) this->*opt.number = n;
            if (opt.byte) this->*opt.byte = static_cast<uint8_t>(n & 0xFF);
        }
    }
    {
        std::lock_guard<std::mutex> record(this->record_guard_);
        this->cData.data_id = this->DataId();
    }
    Base::InitSetting(entry);
    return 1;
}
