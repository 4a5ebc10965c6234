// Native messaging frames: a 4-byte little-endian length, then that many
// bytes of JSON text, the same in both directions.
#pragma once

#include "json/json_padding.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
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

// Reads the next frame; returns no frame when input ends, or fails, before a
// complete frame has arrived. The body stays valid until the next call and
// has jsonTextPadding readable zero bytes after it.
std::optional<std::string_view> readFrame(FrameReader& reader);

// Writes body as one frame, in one call. Returns false when the reader has
// gone away.
bool writeFrame(int fd, std::string_view body);

// The 4-byte little-endian length that starts a frame, and its value.
std::array<char, 4> frameHeader(std::uint32_t length);
std::uint32_t frameLength(const std::array<char, 4>& header);

// Writes every part, in order, retrying short and interrupted writes; false
// (errno set) on failure. The host, its tools and the bench all write so.
bool writeAll(int fd, std::initializer_list<std::string_view> parts);
inline bool writeAll(int fd, std::string_view bytes) { return writeAll(fd, {bytes}); }

}  // namespace qorda
