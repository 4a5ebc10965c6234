// The one JSON writing primitive the host and its tools need: a string literal.
#pragma once

#include <string>
#include <string_view>

namespace qorda {

// Appends text as a JSON string: quotes, backslashes and control characters
// escaped, everything else passed through as UTF-8.
void appendJsonString(std::string& out, std::string_view text);

}  // namespace qorda
