// fleetsim: a fleet of simulated gateways on one event loop, publishing what
// smdgw publishes in the large-fleet profile, for load and fault tests of
// the broker and the fleet collector.

#include <mosquitto.h>
#include <poll.h>

#include <algorithm>
#include <map>
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

// Each simulated gateway holds three descriptors: its socket and the pair
// libmosquitto opens to wake its loop. The soft limit goes up to what is
// needed (the hard limit too when running as root); a fleet that cannot be
// opened whole is refused, since a part of it would measure something else.
bool allow_descriptors(unsigned gateways) {
    const rlim_t need = static_cast<rlim_t>(gateways) * 3u + 64u;
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return true;
    if (r.rlim_cur < need) {
        rlimit want = r;
        want.rlim_cur = need;
        if (want.rlim_max != RLIM_INFINITY && want.rlim_max < need) want.rlim_max = need;
        if (::setrlimit(RLIMIT_NOFILE, &want) != 0) {
            want.rlim_cur = r.rlim_max;
            want.rlim_max = r.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &want);
        }
        ::getrlimit(RLIMIT_NOFILE, &r);
    }
    if (r.rlim_cur >= need) return true;
    std::fprintf(stderr,
                 "fleetsim: %u gateways need %llu open files (three each: the socket and "
                 "libmosquitto's wake-up pair), and the limit is %llu; raise it first "
                 "(ulimit -n %llu)\n",
                 gateways, static_cast<unsigned long long>(need),
                 static_cast<unsigned long long>(r.rlim_cur),
                 static_cast<unsigned long long>(need));
    return false;
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
    // This process's share of the fleet: gateways [first, end) of --gateways.
    const unsigned first = static_cast<unsigned>(uint64_t{o.gateways} * (o.part - 1) / o.parts);
    const unsigned end = static_cast<unsigned>(uint64_t{o.gateways} * o.part / o.parts);
    const unsigned count = end - first;
    if (!allow_descriptors(count)) return 2;
    mosquitto_lib_init();

    SimTotals totals;
    std::vector<Sim> sims(count);
    const unsigned width = static_cast<unsigned>(std::to_string(o.gateways).size());
    for (unsigned k = 0; k < count; ++k) {
        const unsigned i = first + k;
        char id[64];
        std::snprintf(id, sizeof id, "%s%0*u", o.id_prefix.c_str(), static_cast<int>(width), i);
        sims[k].site = std::make_unique<SimSite>(id, o.prefix, o.shards, i + 1);
        sims[k].client =
            std::make_unique<SimClient>(*sims[k].site, o.broker, o.reconnect_max_s, totals, i + 7);
    }
    const double start = steady_s();
    // The sites start spread over one interval, as real ones do.
    for (unsigned k = 0; k < count; ++k)
        sims[k].next_record_s = start + o.interval_s * (first + k) / o.gateways;

    std::vector<pollfd> fds;
    std::vector<size_t> owner;
    bool faulted = false, stormed = false;
    // Reconnects by wall-clock second, so that the parts of a fleet run in
    // several processes add up to the fleet's own count of each second.
    std::map<int64_t, uint64_t> reconnects_at;
    uint64_t reconnects_seen = 0;
    auto step_all = [&](double now) {
        for (Sim& s : sims) s.client->step(now);
        if (totals.reconnects != reconnects_seen) {
            reconnects_at[wall_ms() / 1000] += totals.reconnects - reconnects_seen;
            reconnects_seen = totals.reconnects;
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
            // The faulted sites are the fleet's first ones, in whichever part.
            unsigned on_battery = 0, silent = 0;
            for (unsigned i = first; i < std::min(end, o.on_battery); ++i, ++on_battery) {
                Sim& s = sims[i - first];
                const int64_t ms = wall_ms();
                s.client->publish(s.site->mains(ms, true));
                s.client->publish(s.site->alarm_list(ms));
            }
            for (unsigned i = std::max(first, o.on_battery);
                 i < std::min(end, o.on_battery + o.silent); ++i, ++silent) {
                sims[i - first].silent = true;
                sims[i - first].client->silence(now);
            }
            std::fprintf(stderr, "fleetsim: %u sites on battery, %u silent\n", on_battery, silent);
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

    uint64_t max_connects_second = 0;
    for (const auto& kv : reconnects_at) max_connects_second = std::max(max_connects_second, kv.second);
    std::string per = ",\"reconnects_by_second\":{";
    for (auto it = reconnects_at.begin(); it != reconnects_at.end(); ++it)
        per += (it == reconnects_at.begin() ? "\"" : ",\"") + std::to_string(it->first) +
               "\":" + std::to_string(it->second);
    per += "}";
    if (o.per_gateway) {
        per += ",\"records\":{";
        for (size_t i = 0; i < sims.size(); ++i)
            per += (i ? ",\"" : "\"") + sims[i].site->id() + "\":" +
                   std::to_string(sims[i].site->records());
        per += "}";
    }
    std::printf("{\"gateways\":%u,\"published\":%llu,\"acknowledged\":%llu,\"unacknowledged\":%zu,"
                "\"held_by_silent\":%zu,\"sent\":%llu,\"connects\":%llu,\"connected\":%llu,"
                "\"local_failures\":%llu,\"lost\":%llu,\"max_reconnects_per_second\":%llu,"
                "\"seconds\":%.1f%s}\n",
                count, static_cast<unsigned long long>(totals.published),
                static_cast<unsigned long long>(totals.acknowledged), unacked, held_by_silent,
                static_cast<unsigned long long>(totals.sent),
                static_cast<unsigned long long>(totals.connects),
                static_cast<unsigned long long>(totals.connected),
                static_cast<unsigned long long>(totals.local_failures),
                static_cast<unsigned long long>(totals.lost),
                static_cast<unsigned long long>(max_connects_second), steady_s() - start,
                per.c_str());
    std::fflush(stdout);
    sims.clear();
    mosquitto_lib_cleanup();
    return unacked == 0 ? 0 : 1;
}
