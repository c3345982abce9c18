// powersim: a simulated -48 V power plant and its polling master, for
// following a line without hardware on the desk.

#include <json/writer.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "smd_source_revision.h"
#include "tools/powersim/faults.h"
#include "tools/powersim/line_traffic.h"
#include "tools/powersim/plant_model.h"
#include "tools/powersim/responder.h"
#include "tools/powersim/transport.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// 9600 baud, ten bits a byte (start, eight data, stop).
constexpr double kBytesPerSecond = 960.0;

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

struct Pacing {
    bool realtime = false;
    double time_scale = 1.0;

    void sleep(double seconds) const {
        if (!realtime || seconds <= 0.0) return;
        const double wall = seconds / time_scale;
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(wall);
        while (!g_stop && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Writes at the line's speed when real time is asked for.
    bool write(powersim::Transport& t, const std::string& bytes) const {
        if (!realtime) return t.write(bytes);
        constexpr size_t kChunk = 48;
        for (size_t pos = 0; pos < bytes.size() && !g_stop; pos += kChunk) {
            const std::string piece = bytes.substr(pos, kChunk);
            if (!t.write(piece)) return false;
            sleep(static_cast<double>(piece.size()) / kBytesPerSecond);
        }
        return true;
    }
};

std::string json_line(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["precision"] = 7;
    return Json::writeString(b, v) + "\n";
}

// "E1/F7" (never), or "42/41@5-40" (rounds 5 to 40): a command pair in
// hexadecimal the plant does not answer.
void parse_never_answer(const std::string& text, powersim::LineFaults& lf) {
    unsigned cid1 = 0, cid2 = 0, from = 0, to = 0;
    char tail = 0;
    const bool ranged = text.size() > 5 && text[5] == '@';
    const int n = std::sscanf(text.c_str(), "%2x/%2x@%u-%u%c", &cid1, &cid2, &from, &to, &tail);
    const bool ok = text.size() >= 5 && text[2] == '/' &&
                    (ranged ? n == 4 && from >= 1 && to >= from : n == 2 && text.size() == 5);
    if (!ok)
        throw std::invalid_argument("--never-answer \"" + text +
                                    "\" is not CID1/CID2 in hexadecimal (E1/F7), optionally "
                                    "@FROM-TO rounds (42/41@5-40)");
    const auto pair = static_cast<uint16_t>(cid1 << 8 | cid2);
    if (ranged)
        lf.stops.push_back({pair, from, to});
    else
        lf.never_answered.push_back(pair);
}

powersim::LineFaults parse_line_faults(double corrupt, double noise, double drop,
                                       double drop_commands, const std::string& silence) {
    powersim::LineFaults lf;
    lf.corrupt = corrupt;
    lf.noise = noise;
    lf.drop = drop;
    lf.drop_commands = drop_commands;
    if (!silence.empty()) {
        const auto at = silence.find('@');
        char* end = nullptr;
        lf.silence_seconds = std::strtod(silence.c_str(), &end);
        const bool ok_secs =
            at != std::string::npos && end == silence.c_str() + at && lf.silence_seconds > 0.0;
        const unsigned long round = ok_secs ? std::strtoul(silence.c_str() + at + 1, &end, 10) : 0;
        if (!ok_secs || *end != '\0' || round == 0)
            throw std::invalid_argument("--silence \"" + silence + "\" is not SECONDS@ROUND");
        lf.silence_round = static_cast<unsigned>(round);
    }
    return lf;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "powersim: a simulated -48 V telecom power plant (two AC inputs, rectifier modules,\n"
        "one or two DC panels) and its polling master. By default it plays both: every\n"
        "round the master polls 0x42/0x44, 0x40/0x41, 0x40/0x44, 0x41/0x41, 0x41/0x43,\n"
        "0x41/0x44, 0x42/0x41, 0xE1/0x81, 0xE1/0xF7 and 0xE1/0x90, and the plant answers,\n"
        "as a sniffer on the line sees it. With --respond the plant alone answers whatever\n"
        "commands arrive, for a gateway that polls by itself: every command of the poll\n"
        "sequence in floating point (CID2 0x41) or fixed point (0x42), AC states, and the\n"
        "control commands (an empty normal reply).",
        "powersim"};
    app.footer(std::string("\nFault kinds (--fault KIND[:ARGS]@FROM[-TO], rounds from 1): ") +
               powersim::fault_help() +
               "\n\nExamples:\n"
               "  powersim --out plant.cap --rounds 5 --fault fuse:2:3@2-3\n"
               "  powersim --port /dev/pts/7 --realtime --rounds 0 --fault breaker-trip:1@3-5\n"
               "  powersim --listen tcp:127.0.0.1:4001 --realtime --corrupt 0.01\n"
               "  powersim --port /dev/pts/7 --respond\n"
               "  powersim --port /dev/pts/7 --respond --plants 2 --echo --drop 0.01\n"
               "  powersim --out noisy.cap --rounds 1000 --corrupt 0.04 --drop 0.04 "
               "--drop-commands 0.02\n"
               "  powersim --out quiet-dc.cap --rounds 20 --fault mute:dc@5-12\n"
               "  powersim --out pairs.cap --rounds 1000 --corrupt-commands 0.03\n"
               "  powersim --out dc-values.cap --rounds 60 --never-answer 42/41@10-40\n"
               "  powersim --port /dev/pts/7 --respond --towers --no-panel-count --panels 1\n"
               "  powersim --port /dev/pts/7 --realtime --time-scale 60 --rounds 0 --battery-ah 100 "
               "--battery-fade 0.2 --fault load:50@1- --fault mains-fail:1@30- "
               "--fault mains-fail:2@30- --json truth.jsonl\n"
               "\nBattery (--battery-ah): without mains (both AC inputs failed or tripped) the\n"
               "strings carry the load, down to the disconnect (--lvd); --json gives each\n"
               "round's \"battery\": charge, time_to_lvd_s, capacity_ah, state.\n"
               "\nExit status: 0 success, 1 the line failed, 2 bad usage.\n");

    powersim::PlantParams params;
    unsigned plants = 1, rounds = 10;
    std::string out_path, port_path, listen_spec, json_path, silence;
    bool respond = false;
    powersim::ResponderOptions respond_opts;
    Pacing pacing;
    double corrupt_commands = 0.0;
    double interval = 1.0, corrupt = 0.0, noise = 0.0, drop = 0.0, drop_commands = 0.0;
    std::vector<std::string> fault_texts;
    std::vector<std::string> never_answer;
    unsigned hangup_round = 0;
    app.add_option("--modules", params.modules, "Rectifier modules per plant (1-40)")
        ->check(CLI::Range(1, 40))
        ->capture_default_str();
    app.add_option("--panels", params.panels, "DC panels (1 or 2)")
        ->check(CLI::Range(1, 2))
        ->capture_default_str();
    app.add_option("--fuses", params.fuses, "Load fuses per DC panel (0-10)")
        ->check(CLI::Range(0, 10))
        ->capture_default_str();
    app.add_option("--seed", params.seed, "Seed of the drift and the line faults")
        ->capture_default_str();
    app.add_option("--battery-ah", params.battery.nameplate_ah,
                   "Battery strings on DC panel 1, each of this nameplate capacity in Ah; "
                   "their currents are the panel's first current list (0: no battery)")
        ->check(CLI::Range(0.0, 10000.0))
        ->type_name("AH");
    app.add_option("--battery-strings", params.battery.strings, "Battery strings (1 or 2)")
        ->check(CLI::Range(1, 2))
        ->capture_default_str();
    app.add_option("--battery-fade", params.battery.fade,
                   "Share of the nameplate the strings have lost with age (0.2: 200 Ah holds 160)")
        ->check(CLI::Range(0.0, 0.9))
        ->type_name("SHARE")
        ->capture_default_str();
    app.add_option("--peukert", params.battery.peukert,
                   "Peukert exponent of the strings, against the ten-hour rate")
        ->check(CLI::Range(1.0, 1.6))
        ->capture_default_str();
    app.add_option("--lvd", params.battery.lvd_v,
                   "Bus voltage of the low-voltage disconnect, where the load is dropped")
        ->check(CLI::Range(40.0, 50.0))
        ->type_name("VOLTS")
        ->capture_default_str();
    app.add_option("--charge-limit", params.battery.charge_limit_a,
                   "Recharge current limit per string after mains returns (0: a tenth of "
                   "the nameplate)")
        ->check(CLI::Range(0.0, 1000.0))
        ->type_name("AMPS");
    app.add_option("--plants", plants, "Plants on the line, at addresses 1, 2, ...")
        ->check(CLI::Range(1, 8))
        ->capture_default_str();
    app.add_option("--rounds", rounds, "Rounds to run (0: until interrupted)")
        ->capture_default_str();
    auto* out_opt = app.add_option("--out", out_path, "Write the line to FILE (- for stdout)");
    auto* port_opt = app.add_option("--port", port_path, "Talk on a serial port or pty");
    auto* listen_opt =
        app.add_option("--listen", listen_spec, "Serve the line to one TCP client at a time")
            ->type_name("tcp:HOST:PORT");
    out_opt->excludes(port_opt)->excludes(listen_opt);
    port_opt->excludes(listen_opt);
    auto* respond_opt =
        app.add_flag("--respond", respond, "Plant only: answer the commands that arrive");
    app.add_flag("--echo", respond_opts.echo,
                 "With --respond: send every command back before its answer (RS-485 echo)")
        ->needs(respond_opt);
    double answer_delay_ms = 0.0;
    app.add_option("--answer-delay", answer_delay_ms,
                   "With --respond: wait MS milliseconds before each answer (a slow plant; "
                   "the line's own time is not scaled)")
        ->check(CLI::Range(0.0, 60000.0))
        ->type_name("MS")
        ->needs(respond_opt);
    app.add_flag("--towers", respond_opts.layout.towers,
                 "With --respond: AC and rectifier answers carry tower blocks")
        ->needs(respond_opt);
    bool no_panel_count = false;
    app.add_flag("--no-panel-count", no_panel_count,
                 "With --respond: DC answers without the panel-count byte (one panel)")
        ->needs(respond_opt);
    app.add_flag("--realtime", pacing.realtime, "Pace the line at 9600 baud, 10 bits a byte");
    app.add_option("--interval", interval, "Seconds between rounds with --realtime")
        ->capture_default_str();
    app.add_option("--time-scale", pacing.time_scale,
                   "Run the clock this many times faster (tests)")
        ->check(CLI::PositiveNumber);
    app.add_option("--fault", fault_texts, "Plant fault for a range of rounds")
        ->type_name("KIND[:ARGS]@FROM[-TO]");
    app.add_option("--corrupt", corrupt, "Share of frames with a wrong checksum")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--noise", noise, "Share of frames followed by stray bytes")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--drop", drop, "Share of responses lost")->check(CLI::Range(0.0, 1.0));
    app.add_option("--drop-commands", drop_commands,
                   "Share of commands lost: neither the plant nor a listener hears them, and "
                   "the plant does not answer")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--corrupt-commands", corrupt_commands,
                   "Further share of commands with a wrong checksum (the plant still answers "
                   "them; a listener hears a faulty command and an intact response)")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--never-answer", never_answer,
                   "The plant never answers this command (hex CID1/CID2, e.g. E1/F7), or only "
                   "for a range of rounds (42/41@5-40: a DC controller that stops answering "
                   "its analog command but still answers its alarms)")
        ->type_name("CID1/CID2[@FROM-TO]");
    app.add_option("--silence", silence, "The line goes quiet before a round")
        ->type_name("SECONDS@ROUND");
    app.add_option("--hangup", hangup_round,
                   "With --listen: drop the client before this round and wait for the next")
        ->type_name("ROUND");
    app.add_option("--json", json_path, "Write what was sent, one JSON line per round");
    bool show_version = false;
    app.add_flag("--version", show_version, "Print the version and exit");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    if (show_version) {
        std::cout << "powersim " << SMD_VERSION << " (source " << SMD_SOURCE_REVISION << ")"
                  << std::endl;
        return std::cout ? kExitOk : kExitFailure;
    }

    if (!(interval >= 0.0 && interval <= 86400.0)) {
        std::cerr << "powersim: --interval " << interval
                  << " must be 0 to 86400 seconds between rounds" << std::endl;
        return kExitUsage;
    }
    std::vector<powersim::Fault> faults;
    powersim::LineFaults line;
    try {
        const powersim::PlantLimits limits{params.modules, params.panels, params.fuses};
        for (const auto& t : fault_texts) {
            faults.push_back(powersim::parse_fault(t));
            powersim::check_fault_fits(faults.back(), t, limits);
        }
        line = parse_line_faults(corrupt, noise, drop, drop_commands, silence);
        line.corrupt_commands = corrupt_commands;
        for (const auto& t : never_answer) parse_never_answer(t, line);
    } catch (const std::invalid_argument& e) {
        std::cerr << "powersim: " << e.what() << std::endl;
        return kExitUsage;
    }
    if (out_path.empty() && port_path.empty() && listen_spec.empty()) {
        std::cerr << "powersim: give --out FILE, --port DEVICE or --listen tcp:HOST:PORT"
                  << std::endl;
        return kExitUsage;
    }
    if (no_panel_count && params.panels != 1) {
        std::cerr << "powersim: --no-panel-count carries one DC panel; give --panels 1"
                  << std::endl;
        return kExitUsage;
    }
    respond_opts.layout.panel_count = !no_panel_count;
    respond_opts.time_scale = pacing.time_scale;
    if (respond && !out_path.empty()) {
        std::cerr << "powersim: --respond needs a line to answer on (--port or --listen)"
                  << std::endl;
        return kExitUsage;
    }

    std::vector<powersim::PlantModel> models;
    std::vector<uint8_t> addresses;
    for (unsigned k = 0; k < plants; ++k) {
        powersim::PlantParams p = params;
        p.seed = params.seed + k;
        models.emplace_back(p);
        addresses.push_back(static_cast<uint8_t>(k + 1));
    }
    powersim::LineTraffic traffic(std::move(models), std::move(addresses), faults, line,
                                  params.seed);
    // The plants' time: the scaled wall clock when the line is paced or
    // answered as it comes, else the interval per round.
    traffic.set_clock(powersim::PlantClock(pacing.realtime || respond, pacing.time_scale,
                                           interval > 0.0 ? interval : 1.0));

    std::unique_ptr<powersim::Transport> t;
    std::unique_ptr<std::ofstream> json;
    try {
        if (!out_path.empty())
            t = powersim::open_file(out_path);
        else if (!port_path.empty())
            t = powersim::open_port(port_path);
        else
            t = powersim::open_listener(listen_spec);
        if (!json_path.empty()) {
            json = std::make_unique<std::ofstream>(json_path, std::ios::trunc);
            if (!*json) throw std::runtime_error("cannot write " + json_path);
        }
    } catch (const std::exception& e) {
        std::cerr << "powersim: " << e.what() << std::endl;
        return kExitFailure;
    }
    // Without SA_RESTART, so that a signal also ends a wait for a TCP client.
    struct sigaction stop {};
    stop.sa_handler = on_signal;
    sigemptyset(&stop.sa_mask);
    ::sigaction(SIGINT, &stop, nullptr);
    ::sigaction(SIGTERM, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    if (!t->connect()) {
        if (g_stop) return kExitOk;
        std::cerr << "powersim: no client on " << t->describe() << std::endl;
        return kExitFailure;
    }
    unsigned done = 0;
    if (respond) {
        powersim::Responder responder(traffic, respond_opts);
        unsigned char buf[4096];
        size_t logged = 0;
        while (!g_stop && (rounds == 0 || responder.rounds() <= rounds)) {
            const long n = t->read(buf, sizeof buf, 200);
            if (n < 0) {
                if (!t->connect()) break;  // TCP: wait for the next client
                continue;
            }
            if (n == 0) continue;
            const std::string answer = responder.feed(buf, static_cast<size_t>(n));
            for (; json && logged < responder.sent().size(); ++logged)
                *json << json_line(responder.sent()[static_cast<Json::ArrayIndex>(logged)])
                      << std::flush;
            if (!answer.empty() && answer_delay_ms > 0.0)
                std::this_thread::sleep_for(
                    std::chrono::duration<double, std::milli>(answer_delay_ms));
            if (!answer.empty() && !pacing.write(*t, answer) && !t->connect()) break;
        }
        done = responder.rounds();
    } else {
        while (!g_stop && (rounds == 0 || done < rounds)) {
            const powersim::RoundTraffic r = traffic.next_round();
            if (r.round == hangup_round) {
                t->hang_up();
                std::cerr << "powersim: hung up on " << t->describe() << std::endl;
                if (!t->connect()) return g_stop ? kExitOk : kExitFailure;
            }
            pacing.sleep(r.silence_before);
            if (!pacing.write(*t, r.wire)) {
                std::cerr << "powersim: " << t->describe() << " closed; waiting for a client"
                          << std::endl;
                if (!t->connect()) return g_stop ? kExitOk : kExitFailure;
                continue;
            }
            if (json)
                for (const auto& plant : r.sent) *json << json_line(plant) << std::flush;
            ++done;
            if (rounds == 0 || done < rounds) pacing.sleep(interval);
        }
    }
    std::cerr << "powersim: " << done << " round(s) on " << t->describe() << std::endl;
    return kExitOk;
}
