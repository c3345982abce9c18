#pragma once
// One limit of the driver's own threshold tables: alarm ID, threshold,
// recover value, active flag (the hysteresis state) and alarm level.

#include <string>
#include <tuple>

using ThresholdEntry = std::tuple<std::string, float, float, bool, int>;
