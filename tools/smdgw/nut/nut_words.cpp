#include "tools/smdgw/nut/nut_words.h"

namespace smdgw::nut {

Words split_words(std::string_view line, std::vector<std::string>& words) {
    words.clear();
    std::string word;
    bool in_word = false, in_quotes = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t') return Words::ControlCharacter;
        if (c == 0x7f) return Words::ControlCharacter;
        if (c == '\\') {
            if (i + 1 >= line.size()) return Words::OpenQuote;  // nothing to make plain
            word += line[++i];
            in_word = true;
            continue;
        }
        if (c == '"') {
            in_quotes = !in_quotes;
            in_word = true;  // "" is an empty word
            continue;
        }
        if (!in_quotes && (c == ' ' || c == '\t')) {
            if (in_word) {
                if (words.size() == kMaxWords) return Words::TooMany;
                words.push_back(std::move(word));
                word.clear();
                in_word = false;
            }
            continue;
        }
        word += c;
        in_word = true;
    }
    if (in_quotes) return Words::OpenQuote;
    if (in_word) {
        if (words.size() == kMaxWords) return Words::TooMany;
        words.push_back(std::move(word));
    }
    return Words::Ok;
}

std::string quoted_value(std::string_view value) {
    std::string out;
    out.reserve(value.size() + 2);
    out += '"';
    for (char c : value) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

}  // namespace smdgw::nut
