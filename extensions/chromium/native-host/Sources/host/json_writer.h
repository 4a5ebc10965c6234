// The one JSON writing primitive the host needs: a string literal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qorda {

// Appends text as a JSON string: quotes, backslashes and control characters
// escaped, everything else passed through as UTF-8.
void appendJsonString(std::string& out, std::string_view text);

// The number of bytes appendJsonString adds for text, quotes included.
std::size_t jsonStringSize(std::string_view text);

}  // namespace qorda
