#pragma once
// "smdgw history FILE ...": exports the stored rounds of a history database.

namespace smdgw {

// argv[0] is "history". Exit status 0, 1 when the output or a read fails
// midway, 2 for bad usage or a file that is not a usable history.
int history_command(int argc, char** argv);

}  // namespace smdgw
