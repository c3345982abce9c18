// fleetsim: a fleet of simulated gateways on one event loop, publishing what
// smdgw publishes in the large-fleet profile, for load and fault tests of
// the broker and the fleet collector.

#include <mosquitto.h>
#include <poll.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tools/fleetsim/fleet_sim_options.h"
#include "tools/fleetsim/sim_client.h"
#include "tools/fleetsim/sim_site.h"
#include "tools/smdgw/core/stop_signals.h"

namespace {

using namespace smdgw;

double steady_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// One socket each: the soft limit goes up to the hard one.
void allow_descriptors(unsigned gateways) {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return;
    if (r.rlim_cur < gateways + 64u) {
        r.rlim_cur = r.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &r);
    }
    if (r.rlim_cur < gateways + 64u)
        std::fprintf(stderr, "fleetsim: only %lu file descriptors for %u gateways\n",
                     static_cast<unsigned long>(r.rlim_cur), gateways);
}

struct Sim {
    std::unique_ptr<SimSite> site;
    std::unique_ptr<SimClient> client;
    double next_record_s = 0;
    bool started = false;
    bool silent = false;
};

// Polls every socket once (at most wait_ms) and hands the events over.
void poll_once(std::vector<Sim>& sims, std::vector<pollfd>& fds, std::vector<size_t>& owner,
               int wait_ms) {
    fds.clear();
    owner.clear();
    for (size_t i = 0; i < sims.size(); ++i) {
        const int fd = sims[i].client->socket();
        if (fd < 0) continue;
        fds.push_back({fd, static_cast<short>(POLLIN | (sims[i].client->wants_write() ? POLLOUT : 0)), 0});
        owner.push_back(i);
    }
    if (::poll(fds.data(), fds.size(), wait_ms) <= 0) return;
    const double now = steady_s();
    for (size_t k = 0; k < fds.size(); ++k) {
        SimClient& c = *sims[owner[k]].client;
        if (fds[k].revents & (POLLIN | POLLERR | POLLHUP)) c.on_readable(now);
        if ((fds[k].revents & POLLOUT) && c.socket() == fds[k].fd) c.on_writable(now);
    }
}

}  // namespace

int main(int argc, char** argv) {
    FleetSimOptions o;
    bool exit_now = false;
    const int status = parse_fleet_sim_options(argc, argv, o, exit_now);
    if (exit_now) return status;
    install_stop_signals();
    allow_descriptors(o.gateways);
    mosquitto_lib_init();

    SimTotals totals;
    std::vector<Sim> sims(o.gateways);
    const unsigned width = static_cast<unsigned>(std::to_string(o.gateways).size());
    for (unsigned i = 0; i < o.gateways; ++i) {
        char id[64];
        std::snprintf(id, sizeof id, "%s%0*u", o.id_prefix.c_str(), static_cast<int>(width), i);
        sims[i].site = std::make_unique<SimSite>(id, o.prefix, o.shards, i + 1);
        sims[i].client =
            std::make_unique<SimClient>(*sims[i].site, o.broker, o.reconnect_max_s, totals, i + 7);
    }
    const double start = steady_s();
    // The sites start spread over one interval, as real ones do.
    for (unsigned i = 0; i < o.gateways; ++i)
        sims[i].next_record_s = start + o.interval_s * i / o.gateways;

    std::vector<pollfd> fds;
    std::vector<size_t> owner;
    bool faulted = false, stormed = false;
    uint64_t connects_second = 0, max_connects_second = 0;
    double second_start = start;
    uint64_t connects_before = 0;
    auto step_all = [&](double now) {
        for (Sim& s : sims) s.client->step(now);
        if (now - second_start >= 1.0) {
            // The first wave of connections is the start; what counts is
            // how the fleet comes back after losing the broker.
            connects_second = totals.reconnects - connects_before;
            if (connects_second > max_connects_second) max_connects_second = connects_second;
            connects_before = totals.reconnects;
            second_start = now;
        }
    };

    while (stop_signal() == 0) {
        const double now = steady_s();
        const double t = now - start;
        if (t >= o.duration_s) break;
        for (Sim& s : sims) {
            if (s.silent || now < s.next_record_s) continue;
            const int64_t ms = wall_ms();
            if (!s.started) {
                s.client->publish(s.site->state(ms, "live"));
                s.client->publish(s.site->alarm_list(ms));
                s.started = true;
            }
            s.client->publish(s.site->record(ms));
            s.next_record_s += o.interval_s;
        }
        if (!faulted && t >= o.fault_at_s && (o.on_battery || o.silent)) {
            faulted = true;
            for (unsigned i = 0; i < o.on_battery; ++i) {
                const int64_t ms = wall_ms();
                sims[i].client->publish(sims[i].site->mains(ms, true));
                sims[i].client->publish(sims[i].site->alarm_list(ms));
            }
            for (unsigned i = o.on_battery; i < o.on_battery + o.silent; ++i) {
                sims[i].silent = true;
                sims[i].client->silence(now);
            }
            std::fprintf(stderr, "fleetsim: %u sites on battery, %u silent\n", o.on_battery,
                         o.silent);
        }
        if (!stormed && o.storm_at_s >= 0 && t >= o.storm_at_s) {
            stormed = true;
            for (Sim& s : sims) s.client->cut(now);
            std::fprintf(stderr, "fleetsim: every connection cut\n");
        }
        poll_once(sims, fds, owner, 20);
        step_all(steady_s());
    }
    // What was made goes out before the end, within --drain.
    const double drain_until = steady_s() + o.drain_s;
    auto pending = [&] {
        size_t n = 0;
        for (const Sim& s : sims)
            if (!s.silent) n += s.client->unacknowledged();
        return n;
    };
    while (pending() > 0 && steady_s() < drain_until && stop_signal() == 0) {
        poll_once(sims, fds, owner, 20);
        step_all(steady_s());
    }
    const size_t unacked = pending();
    for (Sim& s : sims)
        if (!s.silent) s.client->close_cleanly();
    size_t held_by_silent = 0;
    for (const Sim& s : sims)
        if (s.silent) held_by_silent += s.client->unacknowledged();

    std::string per;
    if (o.per_gateway) {
        per = ",\"records\":{";
        for (size_t i = 0; i < sims.size(); ++i)
            per += (i ? ",\"" : "\"") + sims[i].site->id() + "\":" +
                   std::to_string(sims[i].site->records());
        per += "}";
    }
    std::printf("{\"gateways\":%u,\"published\":%llu,\"acknowledged\":%llu,\"unacknowledged\":%zu,"
                "\"held_by_silent\":%zu,\"sent\":%llu,\"connects\":%llu,\"connected\":%llu,"
                "\"lost\":%llu,\"max_reconnects_per_second\":%llu,\"seconds\":%.1f%s}\n",
                o.gateways, static_cast<unsigned long long>(totals.published),
                static_cast<unsigned long long>(totals.acknowledged), unacked, held_by_silent,
                static_cast<unsigned long long>(totals.sent),
                static_cast<unsigned long long>(totals.connects),
                static_cast<unsigned long long>(totals.connected),
                static_cast<unsigned long long>(totals.lost),
                static_cast<unsigned long long>(max_connects_second), steady_s() - start,
                per.c_str());
    std::fflush(stdout);
    sims.clear();
    mosquitto_lib_cleanup();
    return unacked == 0 ? 0 : 1;
}
