// The pieces of the JSON reports, written by hand as they go.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessaloom::cli {

// text as a JSON string, quotes included: UTF-8 characters as they are, the quote, the backslash
// and control characters escaped, and each byte that is not UTF-8 (a file name in another
// encoding) as U+FFFD, so that the report stays valid JSON.
std::string jsonString(std::string_view text);

// A number as JSON writes it: the shortest decimal text that reads back as the same double.
std::string jsonNumber(double value);

// A count or offset: a JSON number up to 2^53, which every reader holds exactly (jq and
// JavaScript hold doubles), and "0x..." text above.
std::string jsonCount(std::uint64_t value);

}  // namespace tessaloom::cli
