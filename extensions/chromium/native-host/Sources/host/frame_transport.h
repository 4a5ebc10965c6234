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

struct ByteBuffer {
  std::unique_ptr<char, FreeDeleter> bytes;
  std::size_t capacity = 0;  // padding included
};

// Reads frames from one descriptor. Bytes that arrive past the current frame
// wait in `input` for the next one; bodies longer than it are gathered in
// `body`, grown as bytes actually arrive, never as far as the header claims.
struct FrameReader {
  int fd = 0;
  ByteBuffer input;
  std::size_t inputStart = 0;
  std::size_t inputEnd = 0;
  ByteBuffer body;
};

// Every returned body has this many readable bytes after it, so the JSON
// parser can read it in place.
inline constexpr std::size_t bodyPadding = 64;

// Reads the next frame; returns no frame when input ends, or fails, before a
// complete frame has arrived. The body stays valid until the next call.
std::optional<std::string_view> readFrame(FrameReader& reader);

// Writes body as one frame. Returns false when the reader has gone away.
bool writeFrame(int fd, std::string_view body);

}  // namespace qorda
