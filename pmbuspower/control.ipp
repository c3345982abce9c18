// Control requests turned into protocol commands; everything the driver does
// not handle goes to the host.

#include <json/reader.h>
#include <json/value.h>

#include <cstring>
#include <mutex>
#include <string>

#include "pmbuspower/control_commands.h"
#include "pmbuspower/pmbuspower_419.h"

namespace pmbus_control {

// Stores a 32-bit integer when the caller's buffer has room for it.
inline bool store_int32(void* output, int output_size, int32_t value) {
    if (!output || output_size < 4) return false;
    std::memcpy(output, &value, sizeof value);
    return true;
}

// The set-point request's command, or nothing when the request is not one
// the driver handles. A request that is not JSON at all is told apart by the
// caller through parse_failed.
inline std::optional<CommandInfo> set_point_request(const std::string& model,
                                                    const std::string& text, bool& parse_failed) {
    Json::Value root;
    parse_failed = false;
    try {
        Json::Reader reader;
        if (!reader.parse(text.data(), text.data() + text.size(), root, true)) {
            parse_failed = true;
            return std::nullopt;
        }
    } catch (const Json::Exception&) {  // nesting beyond the reader's limit
        parse_failed = true;
        return std::nullopt;
    }
    if (!root.isObject()) return std::nullopt;
    const Json::Value& id = root["signal_id"];
    const Json::Value& value = root["SetValue"];
    // Only scalars have a text form.
    if (id.isNull() || id.isArray() || id.isObject()) return std::nullopt;
    const std::string signal_id = id.asString();
    if (signal_id.empty()) return std::nullopt;
    if (value.isNull() || value.isArray() || value.isObject()) return std::nullopt;
    return set_point_command(model, signal_id, value.asString());
}

}  // namespace pmbus_control

template <class DataT, uint32_t DataID>
int pmbuspower_419<DataT, DataID>::DeviceIoControl(int code, const void* request,
                                                   int request_length, void* output,
                                                   int output_size, int& output_length) {
    namespace pc = pmbus_control;
    std::lock_guard<std::recursive_mutex> calls(this->call_guard_);
    switch (code) {
        case pc::kRawRectifierCommand: {
            this->poll_step_ = code;
            io_result_ = -1;
            this->OpenPort();
            if (request_length != pc::kRawCommandBytes || !request) return -1;
            unsigned char info[pc::kRawCommandBytes];
            std::memcpy(info, request, sizeof info);
            this->write_pmbus_cmd(pc::kRectifierGroup, pc::kSetClock, info, pc::kRawCommandBytes);
            if (pc::store_int32(output, output_size, 1)) output_length = 4;
            break;
        }
        case pc::kSetPoint: {
            io_result_ = -1;
            this->poll_step_ = code;
            this->OpenPort();
            bool parse_failed = false;
            const auto cmd = pc::set_point_request(
                this->DeviceType(), pc::request_text(request, request_length), parse_failed);
            if (parse_failed) return -1;
            if (!cmd) break;
            this->write_pmbus_cmd(pc::kDcDistribution, cmd->cid2, cmd->bytes.data(), cmd->length);
            return 0;
        }
        case pc::kRectifierControl: {
            this->refresh_status_ = code;
            io_result_ = -1;
            this->OpenPort();
            const auto cmd = pc::rectifier_control_command(
                this->DeviceType(), pc::request_text(request, request_length));
            if (cmd)
                this->write_pmbus_cmd(pc::kRectifierGroup, cmd->cid2, cmd->bytes.data(),
                                      cmd->length);
            break;
        }
        default:
            output_length = pc::store_int32(output, output_size, io_result_) ? 4 : 0;
            break;
    }
    return SMDVDevice::DeviceIoControl(code, request, request_length, output, output_size,
                                       output_length);
}
