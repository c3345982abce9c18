#pragma once
// INI threshold files: the [AI] section maps a snapshot member to a signal ID
// and a display name, the optional [ALARM] section a key to a text. The whole
// file is parsed before the caller touches any table.

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <istream>
#include <locale>
#include <string>
#include <utility>
#include <vector>

namespace veltra {

struct ThresholdIni {
    // [AI] entries in file order: key, (signal ID, signal name).
    std::vector<std::pair<std::string, std::pair<std::string, std::string>>> ai;
    // [ALARM] entries in file order: key, text before the first comma.
    std::vector<std::pair<std::string, std::string>> alarm;
};

// Splits a value at its first comma; a value without one is both fields.
inline std::pair<std::string, std::string> split_ini_value(const std::string& value) {
    const auto comma = value.find(',');
    if (comma == std::string::npos) return {value, value};
    return {value.substr(0, comma), value.substr(comma + 1)};
}

// Takes the tables out of a parsed file. A missing [AI] section throws the
// property tree's ptree_bad_path ("No such node (AI)").
inline ThresholdIni threshold_ini_from_tree(const boost::property_tree::ptree& tree) {
    ThresholdIni out;
    for (const auto& kv : tree.get_child("AI"))
        out.ai.emplace_back(kv.first, split_ini_value(kv.second.data()));
    if (tree.count("ALARM") != 0) {
        for (const auto& kv : tree.get_child("ALARM"))
            out.alarm.emplace_back(kv.first, split_ini_value(kv.second.data()).first);
    }
    return out;
}

// Parses INI text; the reader's errors (ini_parser_error) pass through.
inline ThresholdIni parse_threshold_ini(std::istream& in) {
    boost::property_tree::ptree tree;
    boost::property_tree::read_ini(in, tree);
    return threshold_ini_from_tree(tree);
}

// Reads a threshold file; a file that cannot be opened throws ini_parser_error
// ("cannot open file").
inline ThresholdIni load_threshold_ini(const std::string& path) {
    boost::property_tree::ptree tree;
    boost::property_tree::read_ini(path, tree, std::locale());
    return threshold_ini_from_tree(tree);
}

}  // namespace veltra
