// The spare bytes every text handed to the JSON parser carries after its end,
// so that the parser reads it in place. Free of the parser's headers, so that
// the platform channels can size their buffers by it.
#pragma once

#include <cstddef>

namespace qorda {

inline constexpr std::size_t jsonTextPadding = 64;

}  // namespace qorda
