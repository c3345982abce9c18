#include "tools/smdgw/core/stop_signals.h"

#include <signal.h>

#include <atomic>
#include <initializer_list>

namespace smdgw {

namespace {

std::atomic<int> g_stop_signal{0};
std::atomic<bool> g_reopen{false};

static_assert(std::atomic<int>::is_always_lock_free, "signal-safe flags");
static_assert(std::atomic<bool>::is_always_lock_free, "signal-safe flags");

extern "C" void on_signal(int sig) {
    if (sig == SIGHUP)
        g_reopen.store(true);
    else
        g_stop_signal.store(sig);
}

}  // namespace

void install_stop_signals() {
    struct sigaction sa {};
    sa.sa_handler = &on_signal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a blocking read or sleep returns, and the loop looks at the flags.
    sa.sa_flags = 0;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

int stop_signal() { return g_stop_signal.load(); }

bool take_reopen_request() { return g_reopen.exchange(false); }

}  // namespace smdgw
