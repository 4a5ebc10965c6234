// Sizes the JSON layer shares with the code that hands it text: no parser
// header here, so that any layer (and the macOS channels) may include it.
#pragma once

#include <cstddef>

namespace qorda {

// Readable, zeroed bytes that every text handed to the JSON parser has after
// its end, so the parser can read it in place instead of copying it.
inline constexpr std::size_t jsonTextPadding = 64;

// Past this size, a buffer that grew for one text (a frame body, the
// parser's document) is given back once that text is answered.
inline constexpr std::size_t largestKeptBuffer = 1024 * 1024;

}  // namespace qorda
