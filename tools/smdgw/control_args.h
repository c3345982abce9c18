#pragma once
// The control options whose request text is taken from the command line byte
// for byte: --control CODE TEXT, --control-file CODE FILE and
// --control-at N CODE TEXT. CLI11 would split a text in brackets ("[1,2]")
// into several values and read a text starting with "-" as an option, so
// these options are taken out of the command line before CLI11 parses it. In
// place of each --control and --control-file goes the hidden option
// kControlSlot with its index, which keeps its place among --get and --reset.
//
//   smdgw --replay c.cap --get out_v --control 310 '{"a":[1,2]}' --reset
//   CLI11 sees: smdgw --replay c.cap --get out_v --control-slot 0 --reset

#include <string>
#include <vector>

namespace smdgw {

constexpr const char* kControlSlot = "--control-slot";

struct ControlArg {
    bool from_file = false;  // --control-file: value is a file name
    std::string code;
    std::string value;  // the request text, or the file holding it
};

struct ControlArgs {
    std::vector<std::string> rest;        // the command line left for CLI11
    std::vector<ControlArg> controls;     // by slot index
    std::vector<std::string> control_at;  // N, CODE, TEXT per occurrence
};

// Takes the control options out of argv (up to a "--"); the option name may
// carry its first value after "=". False, with error naming the option, when
// one lacks values.
bool take_control_args(int argc, char** argv, ControlArgs& out, std::string& error);

// The request a --control-file names: the file's bytes, without one final
// line ending ("\n" or "\r\n") that editors add. False, with error naming the
// file, when it cannot be read or is larger than a request can be.
bool read_control_file(const std::string& path, std::string& request, std::string& error);

}  // namespace smdgw
