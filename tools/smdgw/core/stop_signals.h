#pragma once
// The signals a running gateway answers: SIGINT and SIGTERM end it the normal
// way (final statistics, every pending log line written, exit 0), SIGHUP
// reopens its log files (for logrotate) and does not end it. The handlers
// only set flags that the input loops look at; signal dispositions are
// process-wide, so the flags are too (owned here, on purpose).

namespace smdgw {

// Installs the handlers (idempotent).
void install_stop_signals();
// The signal that asked the gateway to end, or 0.
int stop_signal();
// True once per SIGHUP received since the last call.
bool take_reopen_request();

}  // namespace smdgw
