// Text operations shared by every comparison the policy makes: Unicode
// lower-casing and trimming, with a fast path for ASCII, which is what host
// names and URLs are in practice.
#pragma once

#include <string>
#include <string_view>

namespace qorda {

// The Unicode default lower-case mapping, the same in every locale.
std::string lowercased(std::string_view text);

// Removes white space and line breaks (general category Z, U+0009 to U+000D
// and U+0085) from both ends.
std::string_view trimmed(std::string_view text);

// True when lowercased(text) would return text unchanged.
bool isLowercase(std::string_view text);

}  // namespace qorda
