#include "tools/smdgw/history/history_export.h"

#include <json/writer.h>

#include <cmath>
#include <memory>

#include "host/alarm_english.h"
#include "record/record_json.h"
#include "record/veltra_record.h"
#include "tools/smdgw/history/history_battery.h"
#include "tools/smdgw/history/history_columns.h"
#include "tools/smdgw/history/history_time.h"

namespace smdgw {

namespace {

// Quotes a cell that holds a separator, a quote or a line break.
std::string csv_cell(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string q = "\"";
    for (char c : text) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + '"';
}

void write_csv_row(std::ostream& out, const std::vector<std::string>& cells) {
    for (size_t k = 0; k < cells.size(); ++k) {
        if (k) out << ',';
        out << cells[k];
    }
    out << "\r\n";
}

std::unique_ptr<Json::StreamWriter> json_line_writer() {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    // Floats carry about seven significant digits; more would print noise.
    b["precision"] = 7;
    return std::unique_ptr<Json::StreamWriter>(b.newStreamWriter());
}

// The figures of one roll-up column, in the order of its CSV cells.
constexpr const char* kStatNames[] = {"min", "max", "mean", "last"};
float stat_of(const ColumnStats& c, size_t k) {
    switch (k) {
        case 0: return c.min;
        case 1: return c.max;
        case 2: return c.mean();
        default: return c.last;
    }
}

}  // namespace

int64_t export_history(HistoryStore& store, const HistoryFilter& filter, ExportFormat format,
                       std::ostream& out) {
    int64_t rows = 0;
    if (format == ExportFormat::Csv) {
        std::vector<std::string> header = {"device", "data_id", "time", "unix_time",
                                           "complete"};
        for (const smd::PlantSection& p : smd::kPlantSections)
            header.push_back(std::string(p.name) + "_fresh");
        for (std::string& name : history_column_names()) header.push_back(std::move(name));
        write_csv_row(out, header);
        store.for_each(filter, [&](const StoredRecord& r) {
            std::vector<std::string> cells = {csv_cell(r.device), std::to_string(r.data_id),
                                              local_time_text(r.time), std::to_string(r.time),
                                              r.complete ? "1" : "0"};
            for (bool f : r.fresh) cells.push_back(f ? "1" : "0");
            if (r.bytes.size() == kRecordSize) {
                for (std::string& c : analog_cells(r.bytes.data())) cells.push_back(std::move(c));
            } else {
                cells.resize(cells.size() + analog_column_count());
            }
            // The battery estimate after the round, empty where there is none.
            for (double v : battery_values(r.battery))
                cells.push_back(std::isfinite(v) ? float_text(static_cast<float>(v)) : "");
            write_csv_row(out, cells);
            ++rows;
        });
        return rows;
    }
    const std::unique_ptr<Json::StreamWriter> writer = json_line_writer();
    store.for_each(filter, [&](const StoredRecord& r) {
        Json::Value line(Json::objectValue);
        line["device"] = r.device;
        line["data_id"] = static_cast<Json::UInt>(r.data_id);
        line["time"] = local_time_text(r.time);
        line["unix_time"] = static_cast<Json::Int64>(r.time);
        line["complete"] = r.complete;
        // Which sections of the record the round refreshed.
        for (const smd::PlantSection& p : smd::kPlantSections)
            line["fresh"][p.name] = r.fresh[static_cast<size_t>(p.section)];
        line["record"] = record_to_json_bytes(r.bytes.data(), r.bytes.size());
        // The battery estimate after the round, for a device with a battery.
        if (r.battery) {
            const std::vector<double> values = battery_values(r.battery);
            Json::Value b(Json::objectValue);
            for (size_t k = 0; k < values.size(); ++k) {
                const std::string& name = battery_column_names()[k];
                const std::string key = name.substr(name.find('.') + 1);
                b[key] = std::isfinite(values[k]) ? Json::Value(values[k]) : Json::Value();
            }
            line["battery"] = b;
        }
        writer->write(line, &out);
        out << '\n';
        ++rows;
    });
    return rows;
}

int64_t export_rollups(HistoryStore& store, size_t span, const HistoryFilter& filter,
                       ExportFormat format, std::ostream& out) {
    int64_t rows = 0;
    // The analog columns, then the battery's (empty for a device without one).
    const std::vector<std::string> names = history_column_names();
    const std::string resolution = kRollupSpans[span].name;
    const std::unique_ptr<Json::StreamWriter> writer = json_line_writer();
    if (format == ExportFormat::Csv) {
        std::vector<std::string> header = {"device", "resolution", "time", "unix_time", "rounds"};
        for (const std::string& name : names) {
            for (const char* stat : kStatNames) header.push_back(name + "." + stat);
            header.push_back(name + ".count");
        }
        write_csv_row(out, header);
    }
    store.for_each_rollup(span, filter, [&](const Rollup& u) {
        if (format == ExportFormat::Csv) {
            std::vector<std::string> cells = {csv_cell(u.device), resolution,
                                              local_time_text(u.start), std::to_string(u.start),
                                              std::to_string(u.rounds)};
            for (size_t k = 0; k < names.size(); ++k) {
                const ColumnStats c = k < u.columns.size() ? u.columns[k] : ColumnStats();
                for (size_t st = 0; st < 4; ++st)
                    cells.push_back(c.count ? float_text(stat_of(c, st)) : std::string());
                cells.push_back(std::to_string(c.count));
            }
            write_csv_row(out, cells);
        } else {
            Json::Value line(Json::objectValue);
            line["device"] = u.device;
            line["resolution"] = resolution;
            line["time"] = local_time_text(u.start);
            line["unix_time"] = static_cast<Json::Int64>(u.start);
            line["rounds"] = static_cast<Json::UInt>(u.rounds);
            Json::Value values(Json::objectValue);
            for (size_t k = 0; k < names.size() && k < u.columns.size(); ++k) {
                const ColumnStats& c = u.columns[k];
                if (c.count == 0) continue;
                Json::Value v(Json::objectValue);
                for (size_t st = 0; st < 4; ++st) v[kStatNames[st]] = stat_of(c, st);
                v["count"] = static_cast<Json::UInt>(c.count);
                values[names[k]] = v;
            }
            line["values"] = values;
            writer->write(line, &out);
            out << '\n';
        }
        ++rows;
    });
    return rows;
}

int64_t export_alarm_log(HistoryStore& store, const HistoryFilter& filter, ExportFormat format,
                         std::ostream& out) {
    int64_t rows = 0;
    const std::unique_ptr<Json::StreamWriter> writer = json_line_writer();
    if (format == ExportFormat::Csv)
        write_csv_row(out, {"time", "unix_time", "device", "change", "alarm_id", "key", "seq",
                            "level", "value", "message", "reason"});
    store.for_each_alarm_change(filter, [&](const AlarmLogEntry& e) {
        if (format == ExportFormat::Csv) {
            write_csv_row(out, {local_time_text(e.time), std::to_string(e.time),
                                csv_cell(e.device), alarm_change_name(e.change),
                                csv_cell(e.alarm_id), csv_cell(e.key), std::to_string(e.seq),
                                std::to_string(e.level), csv_cell(e.value), csv_cell(e.message),
                                csv_cell(e.reason)});
        } else {
            writer->write(alarm_change_json(e), &out);
            out << '\n';
        }
        ++rows;
    });
    return rows;
}

Json::Value alarm_change_json(const AlarmLogEntry& e) {
    Json::Value line(Json::objectValue);
    line["time"] = local_time_text(e.time);
    line["unix_time"] = static_cast<Json::Int64>(e.time);
    line["device"] = e.device;
    line["change"] = alarm_change_name(e.change);
    line["alarm_id"] = e.alarm_id;
    line["key"] = e.key;
    line["seq"] = e.seq;
    line["level"] = e.level;
    line["value"] = e.value;
    line["message"] = e.message;
    line["english"] = smd::alarm_english(e.alarm_id, e.key, e.message);
    line["reason"] = e.reason;
    return line;
}

}  // namespace smdgw
