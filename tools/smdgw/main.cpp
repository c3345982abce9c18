// smdgw: a command-line gateway that loads the driver plug-in and runs it on
// a capture file, a serial port or a pseudo-terminal.

#include <string>

#include "tools/smdgw/history/history_command.h"
#include "tools/smdgw/options.h"
#include "tools/smdgw/run.h"

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "history") {
        return smdgw::history_command(argc - 1, argv + 1);
    }
    smdgw::Options options;
    if (const auto exit_status = smdgw::parse_options(argc, argv, options)) return *exit_status;
    return smdgw::run(options);
}
