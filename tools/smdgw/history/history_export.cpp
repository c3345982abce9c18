#include "tools/smdgw/history/history_export.h"

#include <json/writer.h>

#include <memory>

#include "record/record_json.h"
#include "record/veltra_record.h"
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

}  // namespace

int64_t export_history(HistoryStore& store, const HistoryFilter& filter, ExportFormat format,
                       std::ostream& out) {
    int64_t rows = 0;
    if (format == ExportFormat::Csv) {
        std::vector<std::string> header = {"device", "data_id", "time", "unix_time",
                                           "complete"};
        for (const smd::PlantSection& p : smd::kPlantSections)
            header.push_back(std::string(p.name) + "_fresh");
        for (std::string& name : analog_column_names()) header.push_back(std::move(name));
        write_csv_row(out, header);
        store.for_each(filter, [&](const StoredRecord& r) {
            std::vector<std::string> cells = {csv_cell(r.device), std::to_string(r.data_id),
                                              local_time_text(r.time), std::to_string(r.time),
                                              r.complete ? "1" : "0"};
            for (bool f : r.fresh) cells.push_back(f ? "1" : "0");
            if (r.bytes.size() == kRecordSize) {
                for (std::string& c : analog_cells(r.bytes.data())) cells.push_back(std::move(c));
            }
            write_csv_row(out, cells);
            ++rows;
        });
        return rows;
    }
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    // Floats carry about seven significant digits; more would print noise.
    b["precision"] = 7;
    const std::unique_ptr<Json::StreamWriter> writer(b.newStreamWriter());
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
        writer->write(line, &out);
        out << '\n';
        ++rows;
    });
    return rows;
}

}  // namespace smdgw
