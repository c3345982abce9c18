#include "datadevice/driver_log.h"

#include <iostream>

namespace veltra {

LogLine::~LogLine() { buf_.write_line(std::cout); }

}  // namespace veltra
