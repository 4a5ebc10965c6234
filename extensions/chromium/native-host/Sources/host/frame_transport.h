// Native messaging frames: a 4-byte little-endian length, then that many
// bytes of JSON text, the same in both directions.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>

namespace qorda {

struct FreeDeleter {
  void operator()(char* bytes) const { std::free(bytes); }
};

// Reads frames from one descriptor, never past the end of the current frame:
// every read begins at a frame boundary. The body buffer grows as bytes
// actually arrive, never as far as a header merely claims.
struct FrameReader {
  int fd = 0;
  std::unique_ptr<char, FreeDeleter> body;
  std::size_t capacity = 0;  // padding included
};

// Every returned body has this many readable zero bytes after it, so the JSON
// parser can read it in place.
inline constexpr std::size_t bodyPadding = 64;

// Reads the next frame; returns no frame when input ends, or fails, before a
// complete frame has arrived. The body stays valid until the next call.
std::optional<std::string_view> readFrame(FrameReader& reader);

// Writes body as one frame. Returns false when the reader has gone away.
bool writeFrame(int fd, std::string_view body);

}  // namespace qorda
