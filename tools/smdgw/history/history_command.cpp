#include "tools/smdgw/history/history_command.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <cctype>
#include <map>
#include <optional>
#include <string>

#include "tools/smdgw/core/exit_status.h"
#include "tools/smdgw/history/history_export.h"
#include "tools/smdgw/history/history_store.h"
#include "tools/smdgw/history/history_time.h"

namespace smdgw {

namespace {

const char* const kDescription =
    "smdgw history: writes the rounds stored by smdgw --history as decoded records.\n"
    "CSV (default): one row per stored record, columns device, data_id, time (local),\n"
    "unix_time, complete (1: the gateway judged the round whole, 0: a damaged round), then\n"
    "one column per analog field of the record. JSON: one object per line with \"complete\"\n"
    "and the whole decoded record. The database is opened read-only.\n"
    "--resolution 1m or 1h writes the roll-ups instead: per device and minute or hour, each\n"
    "analog field's min, max, mean, last and the count of rounds that refreshed it.\n"
    "--alarms writes the alarm log: every alarm raised or cleared, with its reason.\n";

const char* const kFooter =
    "\nTIME: YYYY-MM-DD[ HH:MM[:SS]] in local time ('T' may replace the blank, a trailing Z\n"
    "means UTC) or @SECONDS since the epoch; --since and --until are inclusive.\n"
    "\nExamples:\n"
    "  smdgw history history.db --device plant1 --since 2026-01-05 > plant1.csv\n"
    "  smdgw history history.db --format json --since '2026-01-05 08:00' --until @1767603600\n"
    "  smdgw history history.db --resolution 1h --since 2025-01-01 > hourly.csv\n"
    "  smdgw history history.db --alarms --device plant1 --format json\n"
    "\nExit status: 0 success, 1 reading or writing failed midway, 2 bad usage or a file that\n"
    "is missing, not SQLite or not an smdgw history.\n";

bool parse_bound(const std::string& option, const std::string& text,
                 std::optional<int64_t>& bound) {
    if (text.empty()) return true;
    int64_t t = 0;
    if (!parse_time_text(text, t)) {
        std::cerr << "smdgw history: " << option << " \"" << text
                  << "\" is not a time (YYYY-MM-DD[ HH:MM[:SS]][Z] or @SECONDS)" << std::endl;
        return false;
    }
    bound = t;
    return true;
}

}  // namespace

int history_command(int argc, char** argv) {
    CLI::App app{kDescription, "smdgw history"};
    app.footer(kFooter);
    std::string path, device, since, until;
    ExportFormat format = ExportFormat::Csv;
    const std::map<std::string, ExportFormat> formats = {{"csv", ExportFormat::Csv},
                                                         {"json", ExportFormat::Json}};
    app.add_option("FILE", path, "History database written by smdgw --history")->required();
    app.add_option("--device", device, "Only this device's rounds")->type_name("NAME");
    app.add_option("--since", since, "Only rounds stored at or after TIME")->type_name("TIME");
    app.add_option("--until", until, "Only rounds stored at or before TIME")->type_name("TIME");
    std::string resolution = "raw";
    app.add_option("--resolution", resolution,
                   "raw: every stored round (default); 1m, 1h: the roll-ups per minute or hour")
        ->check(CLI::IsMember({"raw", "1m", "1h"}).description(""))
        ->type_name("raw|1m|1h");
    bool alarms = false;
    app.add_flag("--alarms", alarms, "Write the alarm log (raised and cleared alarms) instead");
    std::string format_name = "csv";
    app.add_option("--format", format_name, "Output format: csv (default) or json")
        ->check(CLI::IsMember({"csv", "json"}, CLI::ignore_case).description(""))
        ->type_name("csv|json");
    try {
        app.parse(argc, argv);
        for (char& c : format_name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        format = formats.at(format_name);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    if (alarms && resolution != "raw") {
        std::cerr << "smdgw history: --alarms and --resolution " << resolution
                  << " exclude each other" << std::endl;
        return kExitUsage;
    }

    HistoryFilter filter;
    if (!device.empty()) filter.device = device;
    if (!parse_bound("--since", since, filter.since) ||
        !parse_bound("--until", until, filter.until)) {
        return kExitUsage;
    }
    try {
        HistoryStore store = HistoryStore::open_for_reading(path);
        try {
            if (alarms) {
                export_alarm_log(store, filter, format, std::cout);
            } else if (resolution == "raw") {
                export_history(store, filter, format, std::cout);
            } else {
                export_rollups(store, *rollup_span_named(resolution), filter, format, std::cout);
            }
        } catch (const HistoryError& e) {
            std::cerr << "smdgw history: " << e.what() << std::endl;
            return kExitFailure;
        }
    } catch (const HistoryError& e) {
        std::cerr << "smdgw history: " << e.what() << std::endl;
        return kExitUsage;
    }
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "smdgw history: writing the output failed" << std::endl;
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace smdgw
