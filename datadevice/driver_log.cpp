#include "datadevice/driver_log.h"

#include <iostream>

namespace veltra {

LogLine::LogLine() : on_(std::cout.good()) {}

LogLine::~LogLine() {
    if (on_) buf_.write_line(std::cout);
}

}  // namespace veltra
