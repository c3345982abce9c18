#pragma once
// The collector's /metrics: messages, lag, gaps, repeats, writes to the
// database and the buffer, as Prometheus text (smdgw_fleet_*).

#include <string>

#include "tools/smdgw-fleet/fleet_collector.h"
#include "tools/smdgw-fleet/influx_poster.h"

namespace smdgw {

std::string render_fleet_metrics(const CollectorFigures& f, const PosterCounters& p,
                                 uint64_t buffered_bytes, bool connected);

}  // namespace smdgw
