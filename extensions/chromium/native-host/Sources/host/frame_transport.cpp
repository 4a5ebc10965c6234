#include "frame_transport.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace qorda {
namespace {

// The first read of a body asks for at most this much; the buffer then
// doubles as bytes keep arriving, by at most largestGrowth at a time.
constexpr std::size_t initialBodyCapacity = 64 * 1024;
constexpr std::size_t largestGrowth = 8 * 1024 * 1024;

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

// Reads exactly length bytes into the body buffer, growing it only as far as
// the bytes that have arrived justify.
std::optional<std::string_view> readBody(FrameReader& reader, std::size_t length) {
  constexpr std::size_t padding = jsonTextPadding;
  std::size_t have = 0;
  std::size_t room = std::min(length, std::max(reader.capacity, initialBodyCapacity + padding) - padding);
  for (;;) {
    if (!ensureCapacity(reader, room + padding)) return std::nullopt;
    std::size_t wanted = room - have;
    std::size_t count = readExactly(reader.fd, reader.body.get() + have, wanted);
    have += count;
    if (count < wanted) return std::nullopt;
    if (have == length) break;
    room = std::min(length, have + std::min(have, largestGrowth));
  }
  std::memset(reader.body.get() + length, 0, padding);
  return std::string_view(reader.body.get(), length);
}

}  // namespace

std::array<char, 4> frameHeader(std::uint32_t length) {
  return {static_cast<char>(length), static_cast<char>(length >> 8), static_cast<char>(length >> 16),
          static_cast<char>(length >> 24)};
}

std::uint32_t frameLength(const std::array<char, 4>& header) {
  auto byte = [&](int i) { return std::uint32_t{static_cast<unsigned char>(header[i])} << (8 * i); };
  return byte(0) | byte(1) | byte(2) | byte(3);
}

bool writeAll(int fd, std::initializer_list<std::string_view> parts) {
  std::vector<iovec> pending;
  for (std::string_view part : parts) {
    if (!part.empty()) pending.push_back({const_cast<char*>(part.data()), part.size()});
  }
  iovec* next = pending.data();
  auto count = static_cast<int>(pending.size());
  while (count > 0) {
    ssize_t written = ::writev(fd, next, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return false;
    }
    auto remaining = static_cast<std::size_t>(written);
    while (count > 0 && remaining >= next->iov_len) {
      remaining -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + remaining;
      next->iov_len -= remaining;
    }
  }
  return true;
}

std::optional<std::string_view> readFrame(FrameReader& reader) {
  if (reader.capacity > largestKeptBuffer + jsonTextPadding) {
    reader.body.reset();
    reader.capacity = 0;
  }
  std::array<char, 4> header;
  if (readExactly(reader.fd, header.data(), header.size()) < header.size()) return std::nullopt;
  return readBody(reader, frameLength(header));
}

bool writeFrame(int fd, std::string_view body) {
  auto header = frameHeader(static_cast<std::uint32_t>(body.size()));
  // Header and body leave in one call, so a reader never sees half a frame
  // because the host was stopped between two writes.
  return writeAll(fd, {std::string_view(header.data(), header.size()), body});
}

}  // namespace qorda
