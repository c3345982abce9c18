#include "tools/fleetsim/fleet_sim_options.h"

#include <CLI/CLI.hpp>
#include <cstdio>

namespace smdgw {

namespace {

constexpr const char* kExamples = R"(
Exit status 0 when the broker acknowledged every message made, 1 when some
were not by the end of --drain, 2 for a usage error or too few open files
(each gateway needs three). A JSON summary goes to standard output: messages
made and acknowledged, connects, connects that failed before reaching the
broker (no socket), the most CONNECTs in one second.

Examples:
  # 1,000 sites, a record every 10 s each, for 2 minutes, on shards of 64:
  fleetsim --mqtt mqtt://127.0.0.1 --gateways 1000 --interval 10 --duration 120

  # Faults: 5 sites on battery and 3 gone silent after 30 s, every
  # connection cut at once after 60 s (a reconnect storm):
  fleetsim --mqtt mqtt://127.0.0.1 --gateways 200 --interval 5 --duration 120 \
      --on-battery 5 --silent 3 --fault-at 30 --storm-at 60

  # 10,000 sites from two processes (each needs three open files a site):
  fleetsim --mqtt mqtt://127.0.0.1 --gateways 10000 --part 1/2 &
  fleetsim --mqtt mqtt://127.0.0.1 --gateways 10000 --part 2/2
)";

}  // namespace

int parse_fleet_sim_options(int argc, char** argv, FleetSimOptions& o, bool& exit_now) {
    exit_now = false;
    CLI::App app{"fleetsim: many simulated gateways on one event loop, publishing what smdgw "
                 "publishes in the large-fleet profile (status with last will, compact records, "
                 "alarms, states, pub_seq, boot_id)"};
    app.footer(kExamples);
    app.add_option("--mqtt", o.mqtt_url, "The broker (mqtt://HOST[:PORT])")
        ->required()
        ->type_name("URL");
    app.add_option("--gateways", o.gateways, "Simulated gateways")
        ->capture_default_str()
        ->check(CLI::Range(1u, 100000u));
    app.add_option("--interval", o.interval_s, "Seconds between two records of a site")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 3600.0));
    app.add_option("--duration", o.duration_s, "Seconds of publishing")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 86400.0));
    app.add_option("--prefix", o.prefix, "Topic prefix")->capture_default_str();
    app.add_option("--shards", o.shards, "Shard count of the topics (0: no shard level)")
        ->capture_default_str()
        ->check(CLI::Range(0u, 10000u));
    app.add_option("--id-prefix", o.id_prefix, "Gateway IDs are this and a number")
        ->capture_default_str();
    app.add_option("--reconnect-max", o.reconnect_max_s,
                   "Longest wait between connection attempts (full jitter)")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 3600.0));
    app.add_option("--on-battery", o.on_battery, "Sites whose mains fail at --fault-at")
        ->capture_default_str();
    app.add_option("--silent", o.silent,
                   "Sites that go silent at --fault-at (cut off: the broker sends their will)")
        ->capture_default_str();
    app.add_option("--fault-at", o.fault_at_s, "Seconds after the start of the faults")
        ->capture_default_str();
    app.add_option("--storm-at", o.storm_at_s,
                   "Seconds after the start, every connection is cut at once");
    app.add_option("--drain", o.drain_s, "Seconds to wait for the last acknowledgements")
        ->capture_default_str();
    std::string part;
    app.add_option("--part", part,
                   "K/P: simulate the K-th of P equal parts of the --gateways fleet (IDs, "
                   "start times and faults as in the whole fleet), for a fleet larger than one "
                   "process's open-files limit")
        ->type_name("K/P");
    app.add_flag("--per-gateway", o.per_gateway,
                 "List every site's last record pub_seq in the summary");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        exit_now = true;
        return app.exit(e);
    }
    std::string error;
    Credentials none;
    bool login = false;
    error = read_broker_login(o.mqtt_url, "", o.broker, none, login);
    if (error.empty() && o.broker.tls) error = "--mqtt \"" + o.mqtt_url + "\" must be mqtt://";
    if (!error.empty()) {
        std::fprintf(stderr, "fleetsim: %s\n", error.c_str());
        exit_now = true;
        return 2;
    }
    if (!part.empty()) {
        unsigned k = 0, p = 0;
        char tail = 0;
        if (std::sscanf(part.c_str(), "%u/%u%c", &k, &p, &tail) != 2 || p == 0 || k == 0 ||
            k > p || p > o.gateways) {
            std::fprintf(stderr, "fleetsim: --part \"%s\" must be K/P with 1 <= K <= P <= "
                                 "--gateways\n", part.c_str());
            exit_now = true;
            return 2;
        }
        o.part = k;
        o.parts = p;
    }
    if (o.on_battery + o.silent > o.gateways) {
        std::fprintf(stderr, "fleetsim: --on-battery and --silent exceed --gateways\n");
        exit_now = true;
        return 2;
    }
    return 0;
}

}  // namespace smdgw
