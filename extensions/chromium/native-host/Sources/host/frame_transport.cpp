#include "frame_transport.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace qorda {
namespace {

constexpr std::size_t headerSize = 4;
// The first read of a body asks for at most this much; the buffer then
// doubles as bytes keep arriving, by at most largestGrowth at a time.
constexpr std::size_t initialBodyCapacity = 64 * 1024;
constexpr std::size_t largestGrowth = 8 * 1024 * 1024;
// Past this, a body buffer is given back once its frame is answered.
constexpr std::size_t largestKeptBody = 1024 * 1024;

bool ensureCapacity(FrameReader& reader, std::size_t capacity) {
  if (reader.capacity >= capacity) return true;
  // realloc moves large blocks by remapping pages, not by copying them.
  char* grown = static_cast<char*>(std::realloc(reader.body.get(), capacity));
  if (grown == nullptr) return false;
  reader.body.release();
  reader.body.reset(grown);
  reader.capacity = capacity;
  return true;
}

// Reads until `into` holds size bytes; returns how many arrived, fewer only at
// end of input or on failure.
std::size_t readExactly(int fd, char* into, std::size_t size) {
  std::size_t have = 0;
  while (have < size) {
    ssize_t count = ::read(fd, into + have, size - have);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    have += static_cast<std::size_t>(count);
  }
  return have;
}

std::uint32_t decodeLength(const unsigned char* bytes) {
  return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
         std::uint32_t{bytes[3]} << 24;
}

// Reads exactly length bytes into the body buffer, growing it only as far as
// the bytes that have arrived justify.
std::optional<std::string_view> readBody(FrameReader& reader, std::size_t length) {
  std::size_t have = 0;
  std::size_t room =
      std::min(length, std::max(reader.capacity, initialBodyCapacity + bodyPadding) - bodyPadding);
  for (;;) {
    if (!ensureCapacity(reader, room + bodyPadding)) return std::nullopt;
    std::size_t wanted = room - have;
    std::size_t count = readExactly(reader.fd, reader.body.get() + have, wanted);
    have += count;
    if (count < wanted) return std::nullopt;
    if (have == length) break;
    room = std::min(length, have + std::min(have, largestGrowth));
  }
  std::memset(reader.body.get() + length, 0, bodyPadding);
  return std::string_view(reader.body.get(), length);
}

bool writeAll(int fd, iovec* parts, int count) {
  while (count > 0) {
    ssize_t written = ::writev(fd, parts, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    auto remaining = static_cast<std::size_t>(written);
    while (count > 0 && remaining >= parts->iov_len) {
      remaining -= parts->iov_len;
      ++parts;
      --count;
    }
    if (count > 0) {
      parts->iov_base = static_cast<char*>(parts->iov_base) + remaining;
      parts->iov_len -= remaining;
    }
  }
  return true;
}

}  // namespace

std::optional<std::string_view> readFrame(FrameReader& reader) {
  if (reader.capacity > largestKeptBody + bodyPadding) {
    reader.body.reset();
    reader.capacity = 0;
  }
  unsigned char header[headerSize];
  if (readExactly(reader.fd, reinterpret_cast<char*>(header), headerSize) < headerSize) return std::nullopt;
  return readBody(reader, decodeLength(header));
}

bool writeFrame(int fd, std::string_view body) {
  auto length = static_cast<std::uint32_t>(body.size());
  unsigned char header[headerSize] = {
      static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
      static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
  // Header and body leave in one call, so a reader never sees half a frame
  // because the host was stopped between two writes.
  iovec parts[2] = {{header, headerSize}, {const_cast<char*>(body.data()), body.size()}};
  return writeAll(fd, parts, 2);
}

}  // namespace qorda
