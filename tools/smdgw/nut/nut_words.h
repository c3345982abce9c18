#pragma once
// The words of a NUT request line and the quoting of answer values: words
// are separated by blanks; a word in double quotes may hold blanks; a
// backslash makes the next character plain, in quotes or not.
//   SET VAR plant1 ups.id "Row \"3\""  ->  SET, VAR, plant1, ups.id, Row "3"

#include <string>
#include <string_view>
#include <vector>

namespace smdgw::nut {

// The most words a request may have (SET VAR UPS NAME VALUE is five).
constexpr size_t kMaxWords = 8;

enum class Words { Ok, OpenQuote, ControlCharacter, TooMany };

// The line without its LF (a CR before it is dropped by the caller).
Words split_words(std::string_view line, std::vector<std::string>& words);

// "value" with its backslashes and double quotes escaped.
std::string quoted_value(std::string_view value);

}  // namespace smdgw::nut
