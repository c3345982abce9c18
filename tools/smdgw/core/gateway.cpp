#include "tools/smdgw/core/gateway.h"

#include <algorithm>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cmath>
#include <cstring>
#include <exception>
#include <fstream>

#include "host/frame_codec.h"
#include "host/host_sink.h"
#include "host/polling_options.h"
#include "tools/smdgw/core/gateway_clock.h"
#include "tools/smdgw/core/log.h"
#include "tools/smdgw/core/replay_pacer.h"
#include "tools/smdgw/core/stop_signals.h"
#include "tools/smdgw/core/threshold_probe.h"
#include "tools/smdgw/core/value_keys.h"

namespace smdgw {

void Gateway::report(const std::string& device, const std::string& what) {
    log_error("device \"" + device + "\": " + what);
}

int Gateway::create_devices(const GatewayConfig& cfg, const HostClock* clock) {
    int failed = 0;
    unsigned index = 0;
    for (const DeviceConfig& dc : cfg.devices) {
        RunningDevice rd;
        rd.cfg = dc;
        try {
            const bool master = dc.role == DeviceRole::Master;
            if (master && !plugin_.polling_provider)
                throw std::runtime_error("plug-in " + plugin_.path +
                                         " has no polling driver (get_polling_providers)");
            rd.driver.reset(master ? plugin_.polling_provider->create()
                                   : plugin_.device_provider->create());
            rd.driver->SetSink(&device_sink_);
            rd.driver->SetClock(clock);
            rd.driver->Init(std::weak_ptr<SMDController>(), index, dc.entry);
            rd.driver->InitV(nullptr, index, dc.entry);
            if (master) {
                auto* options = dynamic_cast<PollingOptions*>(rd.driver.get());
                if (!options)
                    throw std::runtime_error("the plug-in's polling driver takes no encoding");
                options->SetFloatingPoint(dc.master.floating_point);
                options->SetProtocolVersion(dc.master.protocol_version);
                rd.driver->SetMasterLine(true);
                rd.poll = std::make_shared<PollCounters>();
            }
            rd.driver->InitSetting(dc.entry);
            // Values the threshold file names: their reports and limit alarms
            // follow the sections of their record members.
            for (const ThresholdValue& v : threshold_values(dc.entry, dc.data_id))
                if (const auto place = record_place(v.path))
                    rd.driver->AddConfiguredValue(v.signal_id, v.alarm_id, *place);
        } catch (const std::exception& e) {
            const std::string source = init_failure_source(dc.entry, dc.data_id);
            report(dc.name, "initialisation failed: " + (source.empty() ? "" : source + ": ") +
                                e.what());
            ++failed;
            continue;
        }
        ++index;
        states_.add_device(dc.name, dc.data_id);
        devices_.push_back(std::move(rd));
    }
    return failed;
}

bool Gateway::stop_requested() const { return stop_ || stop_signal() != 0; }

void Gateway::feed(const std::vector<RunningDevice*>& on_line, unsigned char* data, size_t n) {
    // Frame by frame (up to each EOI), so that a stop asked for by a round
    // (--count) takes effect before the next frame of the same read.
    size_t done = 0;
    while (done < n && !stop_requested()) {
        const size_t eoi = static_cast<size_t>(std::find(data + done, data + n, smd::kEoi) - data);
        const size_t end = eoi < n ? eoi + 1 : n;
        if (line_clock_) {
            line_bytes_ += end - done;
            line_clock_->set_line_seconds(static_cast<double>(line_bytes_) * kBitsPerByte /
                                          kLineBaud);
        }
        for (RunningDevice* d : on_line) {
            try {
                d->driver->process(data + done, static_cast<unsigned>(end - done));
            } catch (const std::exception& e) {
                report(d->cfg.name, std::string("frame handling failed: ") + e.what());
            }
        }
        done = end;
        between_frames();
    }
    for (RunningDevice* d : on_line) note_frames(*d);
    if (after_chunk_) after_chunk_();
}

void Gateway::note_frames(const RunningDevice& d) {
    states_.set_frame_counters(static_cast<size_t>(&d - devices_.data()),
                               d.driver->FrameCounters(), d.driver->FramesFiltered());
}

bool Gateway::replay(const std::string& path, ReplayPacer* pacer) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        log_error("cannot open capture " + path + ": " + std::strerror(errno));
        return false;
    }
    std::vector<RunningDevice*> all;
    for (auto& d : devices_) all.push_back(&d);
    std::vector<unsigned char> buf(pacer ? pacer->chunk_bytes() : 4096);
    while (in && !stop_requested()) {
        in.read(reinterpret_cast<char*>(buf.data()), static_cast<std::streamsize>(buf.size()));
        const auto got = in.gcount();
        if (got <= 0) continue;
        feed(all, buf.data(), static_cast<size_t>(got));
        if (pacer) pacer->fed(static_cast<size_t>(got));
    }
    if (in.bad()) {
        log_error("error reading capture " + path);
        return false;
    }
    return true;
}

void Gateway::reset_all() {
    for (auto& d : devices_) {
        try {
            d.driver->Reset();
        } catch (const std::exception& e) {
            report(d.cfg.name, std::string("reset failed: ") + e.what());
        }
    }
}

namespace {

Json::Value poll_stats(const PollCounters& c) {
    Json::Value p;
    p["commands"] = static_cast<Json::UInt64>(c.commands);
    p["responses"] = static_cast<Json::UInt64>(c.responses);
    p["rounds_completed"] = static_cast<Json::UInt64>(c.rounds_completed);
    p["rounds_abandoned"] = static_cast<Json::UInt64>(c.rounds_abandoned);
    p["timeouts"] = static_cast<Json::UInt64>(c.timeouts);
    p["echoes"] = static_cast<Json::UInt64>(c.echoes);
    p["other_address"] = static_cast<Json::UInt64>(c.other_address);
    p["unexpected"] = static_cast<Json::UInt64>(c.unexpected);
    p["frame_errors"] = static_cast<Json::UInt64>(c.frame_errors);
    p["late_frames"] = static_cast<Json::UInt64>(c.late_frames);
    p["late_responses"] = static_cast<Json::UInt64>(c.late_responses);
    p["latest_response_ms"] = static_cast<Json::UInt64>(c.latest_response_ms);
    p["controls"] = static_cast<Json::UInt64>(c.controls);
    return p;
}

}  // namespace

void Gateway::tick_states() {
    for (auto& d : devices_) d.driver->TickState();
}

void Gateway::write_stats() {
    size_t index = 0;
    for (const DeviceState& d : states_.all()) {
        const DeviceCounters& c = d.counters;
        Json::Value e;
        e["event"] = "stats";
        e["frames_accepted"] = static_cast<Json::UInt64>(c.frames.accepted);
        Json::Value errors(Json::objectValue);
        for (size_t k = 0; k < smd::kFrameErrorCount; ++k)
            errors[smd::frame_error_name(static_cast<smd::FrameError>(k))] =
                static_cast<Json::UInt64>(c.frames.by_kind[k]);
        e["frame_errors"] = errors;
        e["frame_errors_total"] = static_cast<Json::UInt64>(c.frames.errors());
        e["stray_bytes"] = static_cast<Json::UInt64>(c.frames.stray_bytes);
        e["frames_other_address"] = static_cast<Json::UInt64>(c.frames_other_address);
        e["rounds_published"] = static_cast<Json::UInt64>(c.rounds_published);
        e["last_round"] = d.has_record()
                              ? boost::posix_time::to_iso_extended_string(d.record_time)
                              : Json::Value();
        e["state"] = data_state_name(d.data_state);
        // The snapshot lists the devices in the order they were created.
        const RunningDevice* running = index < devices_.size() ? &devices_[index] : nullptr;
        ++index;
        if (running && running->line_state) {
            e["port"] = running->line_state;
            e["port_failures"] = static_cast<Json::UInt64>(running->port_failures);
        }
        e["rounds_live"] = static_cast<Json::UInt64>(c.rounds_live);
        e["rounds_damaged"] = static_cast<Json::UInt64>(c.rounds_damaged);
        e["rounds_restored"] = static_cast<Json::UInt64>(c.rounds_restored);
        e["alarm_changes_held"] = static_cast<Json::UInt64>(c.alarm_changes_held);
        e["alarm_changes_dropped"] = static_cast<Json::UInt64>(c.alarm_changes_dropped);
        e["reports_suppressed"] = static_cast<Json::UInt64>(c.reports_suppressed);
        e["reports_released"] = static_cast<Json::UInt64>(c.reports_released);
        for (smd::Section s : smd::kSections)
            e["rounds_not_refreshed"][smd::plant_section(s).name] =
                static_cast<Json::UInt64>(d.section(s).rounds_not_refreshed);
        if (running && running->poll) e["poll"] = poll_stats(*running->poll);
        out_.write(d.name, std::move(e));
    }
    for (const auto& f : extra_stats_) f(out_);
}

namespace {

// The section a value comes from: its state after the last round and the
// Unix time of the last live round that refreshed it.
void section_members(Json::Value& e, smd::Section s, const SectionView& v) {
    e["section"] = smd::plant_section(s).name;
    e["section_state"] = smd::freshness_name(v.state);
    e["refreshed"] = v.refreshed_at ? Json::Value(static_cast<Json::Int64>(*v.refreshed_at))
                                    : Json::Value();
}

}  // namespace

void Gateway::get_value(const std::string& key) {
    for (auto& d : devices_) {
        Json::Value e;
        e["event"] = "value";
        e["key"] = key;
        float v = 0.0f;
        bool answered = false;
        try {
            v = d.driver->Get_Value(0, key);
            answered = true;
        } catch (const std::exception& ex) {
            e["error"] = ex.what();
        }
        // Which round the value comes from: whole or not, live or handed back
        // from the history; and its section's, when the last round did not
        // refresh it.
        states_.read(d.cfg.name, [&](const DeviceState& st) {
            if (answered) {
                const ShownValue shown = shown_value(st, key, v);
                if (shown.available)
                    e["value"] = std::isfinite(shown.value) ? Json::Value(shown.value) : Json::Value();
                else
                    e["error"] = "no data of section \"" +
                                 std::string(smd::plant_section(*shown.section).name) +
                                 "\" yet";
                if (shown.section) section_members(e, *shown.section, shown.view);
            }
            if (!st.has_round) return;
            e["complete"] = st.last_round.complete();
            e["restored"] = st.last_round.restored;
        });
        out_.write(d.cfg.name, std::move(e));
    }
}

void Gateway::control(int code, const std::vector<unsigned char>& request) {
    for (auto& d : devices_) control_device(d, code, request);
}

RunningDevice* Gateway::find(const std::string& name) {
    for (auto& d : devices_)
        if (d.cfg.name == name) return &d;
    return nullptr;
}

Json::Value Gateway::control_device(RunningDevice& d, int code,
                                    const std::vector<unsigned char>& request) {
    unsigned char output[8] = {};
    int output_length = 0;
    Json::Value e;
    e["event"] = "control";
    e["code"] = code;
    try {
        const int r = d.driver->DeviceIoControl(code, request.data(),
                                                static_cast<int>(request.size()), output,
                                                sizeof output, output_length);
        e["result"] = r;
        e["output_length"] = output_length;
        if (output_length >= 4) {
            int32_t v;
            std::memcpy(&v, output, sizeof v);
            e["output"] = v;
        } else {
            e["output"] = Json::Value();
        }
    } catch (const std::exception& ex) {
        e["error"] = ex.what();
    }
    out_.write(d.cfg.name, e);
    return e;
}

}  // namespace smdgw
