// Modbus TCP answer times under a building-management load: powersim plays
// the plant on a pseudo-terminal, smdgw follows it with --modbus-listen, and
// 16 clients (libmodbus, as a SCADA would) each read one block of the map ten
// times a second. Prints the answer times (p50, p99, max), the answers that
// were not values, and the bytes smdgw sent down the serial line meanwhile,
// which must be none: every answer comes from the shown state.
//
//   modbus_answer_bench SMDGW POWERSIM PLUGIN [SECONDS]

#include <modbus/modbus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pty_bridge.h"
#include "tests/support/run_process.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kClients = 16;
constexpr double kRequestsPerSecond = 10.0;
// The blocks a client reads in turn: status, scaled values, floats, modules.
constexpr int kBlocks[][2] = {{0, 8}, {100, 16}, {200, 48}, {300, 80}};

struct ClientResult {
    std::vector<double> ms;
    unsigned failed = 0;
    std::string error;  // the first failure's
};

// One client: kRequestsPerSecond reads of one block for `seconds`, paced by
// the clock, each timed from send to answer.
ClientResult run_client(int port, int index, double seconds) {
    ClientResult r;
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    if (!ctx || modbus_connect(ctx) != 0) {
        r.failed = 1;
        r.error = modbus_strerror(errno);
        if (ctx) modbus_free(ctx);
        return r;
    }
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 1, 0);
    uint16_t regs[125];
    const auto& block = kBlocks[index % 4];
    const auto start = Clock::now();
    const auto period = std::chrono::duration<double>(1.0 / kRequestsPerSecond);
    for (int n = 0; n < static_cast<int>(seconds * kRequestsPerSecond); ++n) {
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(period * n));
        const auto t0 = Clock::now();
        const int got = modbus_read_registers(ctx, block[0], block[1], regs);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        if (got == block[1])
            r.ms.push_back(ms);
        else if (++r.failed == 1)
            r.error = modbus_strerror(errno);
    }
    modbus_close(ctx);
    modbus_free(ctx);
    return r;
}

int port_in(const std::string& log) {
    const size_t at = log.find("modbus: serving ");
    if (at == std::string::npos) return 0;
    const size_t on = log.find(" on 127.0.0.1:", at);
    return on == std::string::npos ? 0 : std::atoi(log.c_str() + on + 14);
}

// Until f() or seconds passed, asking every 100 ms.
template <class F>
bool poll_until(F f, double seconds) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s SMDGW POWERSIM PLUGIN [SECONDS]\n", argv[0]);
        return 2;
    }
    const double seconds = argc > 4 ? std::atof(argv[4]) : 20.0;
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("modbus_bench." + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string config = (dir / "gw.json").string(), err = (dir / "gw.err").string();
    std::ofstream(config) << R"({"devices":[{"name":"plant1","data_id":418,"address":1,)"
                             R"("battery":{"strings_ah":[200]}}]})";
    testsupport::PtyBridge line;
    testsupport::Child gw({argv[1], "--plugin", argv[3], "--config", config, "--port",
                           line.end_b(), "--modbus-listen", "127.0.0.1:0",
                           "--modbus-max-per-client", std::to_string(kClients)},
                          (dir / "gw.out").string(), err);
    testsupport::Child sim({argv[2], "--port", line.end_a(), "--realtime", "--rounds", "0",
                            "--battery-ah", "200", "--battery-strings", "1"},
                           (dir / "sim.out").string(), (dir / "sim.err").string());
    int port = 0;
    bool live = poll_until([&] { return (port = port_in(testsupport::read_text(err))) > 0; }, 30) &&
                poll_until(
                    [&] {
                        modbus_t* c = modbus_new_tcp("127.0.0.1", port);
                        uint16_t r;
                        const bool ok = c && modbus_connect(c) == 0 && modbus_set_slave(c, 1) == 0 &&
                                        modbus_read_registers(c, 0, 1, &r) == 1;
                        if (c) {
                            modbus_close(c);
                            modbus_free(c);
                        }
                        return ok;
                    },
                    60);
    if (!live) {
        std::fprintf(stderr, "smdgw did not serve a live plant1:\n%s",
                     testsupport::read_text(err).c_str());
        return 1;
    }
    const uint64_t line_before = line.bytes_from_b();
    std::vector<ClientResult> results(kClients);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&, i] { results[static_cast<size_t>(i)] = run_client(port, i, seconds); });
    for (std::thread& t : clients) t.join();
    const uint64_t line_bytes = line.bytes_from_b() - line_before;
    sim.signal(SIGTERM);
    sim.wait(10);
    gw.signal(SIGTERM);
    gw.wait(30);
    std::filesystem::remove_all(dir);

    std::vector<double> ms;
    unsigned failed = 0;
    for (const ClientResult& r : results) {
        ms.insert(ms.end(), r.ms.begin(), r.ms.end());
        failed += r.failed;
        if (!r.error.empty()) std::fprintf(stderr, "a client failed: %s\n", r.error.c_str());
    }
    if (ms.empty()) {
        std::fprintf(stderr, "no answer at all\n");
        return 1;
    }
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) {
        return ms[std::min(ms.size() - 1, static_cast<size_t>(q * static_cast<double>(ms.size())))];
    };
    std::printf("%d clients x %.0f requests/s for %.0f s: %zu answers, %u failed\n", kClients,
                kRequestsPerSecond, seconds, ms.size(), failed);
    std::printf("answer time ms: p50 %.3f  p99 %.3f  max %.3f (target p99 < 10)\n", at(0.50),
                at(0.99), ms.back());
    std::printf("bytes sent on the serial line meanwhile: %llu (target 0)\n",
                static_cast<unsigned long long>(line_bytes));
    return failed == 0 && line_bytes == 0 ? 0 : 1;
}
