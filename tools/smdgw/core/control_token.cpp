#include "tools/smdgw/core/control_token.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "tools/smdgw/core/secret_file.h"

namespace smdgw {

namespace {

std::string trim(const std::string& s) {
    const char* blanks = " \t\r\n";
    const size_t b = s.find_first_not_of(blanks);
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

}  // namespace

bool load_control_secret(const std::string& path, std::string& secret, std::string& error) {
    const std::string problem = secret_file_problem(path);
    if (!problem.empty()) {
        error = path + ": " + problem;
        return false;
    }
    std::ifstream in(secret_path(path));
    std::string line;
    if (!in || !std::getline(in, line)) {
        error = path + ": cannot be read or is empty";
        return false;
    }
    secret = trim(line);
    if (secret.size() < kMinSecretBytes) {
        error = path + ": the secret must be at least " +
                std::to_string(kMinSecretBytes) + " characters";
        return false;
    }
    return true;
}

std::string bearer_token(const std::string& header) {
    const std::string scheme = "bearer ";
    if (header.size() <= scheme.size()) return {};
    for (size_t i = 0; i < scheme.size(); ++i) {
        const char c = header[i];
        const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != scheme[i]) return {};
    }
    return trim(header.substr(scheme.size()));
}

bool same_secret(const std::string& a, const std::string& b) {
    const size_t n = a.size() > b.size() ? a.size() : b.size();
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        diff |= static_cast<unsigned>(x ^ y);
    }
    return diff == 0;
}

}  // namespace smdgw
