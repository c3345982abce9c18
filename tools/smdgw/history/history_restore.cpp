#include "tools/smdgw/history/history_restore.h"

namespace smdgw {

const char* restore_kind_name(RestoreOutcome::Kind kind) {
    switch (kind) {
        case RestoreOutcome::Loaded:
            return "loaded";
        case RestoreOutcome::Refused:
            return "refused";
        case RestoreOutcome::TooOld:
            return "too_old";
        case RestoreOutcome::NotFound:
            break;
    }
    return "none";
}

RestoreOutcome restore_device(HistoryWriter& writer, HistoryRecorder& recorder,
                              const std::string& name, VDeviceInterface& device, int64_t max_age,
                              int64_t now) {
    RestoreOutcome out;
    // A damaged round is no picture to serve as the plant's state.
    const auto rec = writer.newest(name, true);
    if (!rec) return out;
    out.stored_time = rec->time;
    out.age = now - rec->time;
    // A record stamped after now means the clock went back: its age is unknown.
    if (max_age <= 0 || out.age > max_age || out.age < 0) {
        out.kind = RestoreOutcome::TooOld;
        return out;
    }
    HistoryRecorder::Restoring guard(recorder, name);
    const int taken = device.LoadFromCache(rec->bytes.data(), static_cast<int>(rec->bytes.size()));
    out.kind = taken == 1 ? RestoreOutcome::Loaded : RestoreOutcome::Refused;
    return out;
}

}  // namespace smdgw
