#include "tests/support/driver_fixture.h"

namespace testsupport {

boost::posix_time::ptime test_epoch() {
    return boost::posix_time::ptime(boost::gregorian::date(2026, 12, 8),
                                    boost::posix_time::hours(10));
}

Json::Value basic_entry() {
    Json::Value e;
    e["name"] = "dev";
    e["data_id"] = 418;
    return e;
}

}  // namespace testsupport
