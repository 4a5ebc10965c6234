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
constexpr std::size_t inputBufferSize = 64 * 1024;
// The body buffer grows by reads of at most this much at a time.
constexpr std::size_t largestBodyRead = 8 * 1024 * 1024;

// Past this, a body buffer is given back once its frame is answered.
constexpr std::size_t largestKeptBody = 1024 * 1024;

bool ensureCapacity(ByteBuffer& buffer, std::size_t capacity) {
  if (buffer.capacity >= capacity) return true;
  // realloc moves large blocks by remapping pages, not by copying them.
  char* grown = static_cast<char*>(std::realloc(buffer.bytes.get(), capacity));
  if (grown == nullptr) return false;
  buffer.bytes.release();
  buffer.bytes.reset(grown);
  buffer.capacity = capacity;
  return true;
}

// Reads what is available, up to size bytes; 0 at end of input or failure.
std::size_t readSome(int fd, char* into, std::size_t size) {
  for (;;) {
    ssize_t count = ::read(fd, into, size);
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) return 0;
  }
}

std::size_t buffered(const FrameReader& reader) { return reader.inputEnd - reader.inputStart; }

// Makes at least `needed` bytes wait in the input buffer; false at end of input.
bool fillInput(FrameReader& reader, std::size_t needed) {
  if (reader.input.capacity == 0) {
    if (!ensureCapacity(reader.input, inputBufferSize + bodyPadding)) return false;
    // Defined bytes even in the padding that the parser may load.
    std::memset(reader.input.bytes.get(), 0, reader.input.capacity);
  }
  char* bytes = reader.input.bytes.get();
  if (reader.inputStart + needed > inputBufferSize) {
    std::memmove(bytes, bytes + reader.inputStart, buffered(reader));
    reader.inputEnd -= reader.inputStart;
    reader.inputStart = 0;
  }
  while (buffered(reader) < needed) {
    std::size_t count = readSome(reader.fd, bytes + reader.inputEnd, inputBufferSize - reader.inputEnd);
    if (count == 0) return false;
    reader.inputEnd += count;
  }
  return true;
}

std::uint32_t decodeLength(const char* header) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(header);
  return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
         std::uint32_t{bytes[3]} << 24;
}

// Gathers a body too long for the input buffer: what is buffered first, then
// reads straight into the body buffer, which grows only as bytes arrive.
std::optional<std::string_view> readLongBody(FrameReader& reader, std::size_t length) {
  // A body just too long to be read in place may end inside the buffer; the
  // bytes after it are the next frame's and stay there.
  std::size_t have = std::min(buffered(reader), length);
  if (!ensureCapacity(reader.body, std::min(length, std::max(have, inputBufferSize)) + bodyPadding))
    return std::nullopt;
  std::memcpy(reader.body.bytes.get(), reader.input.bytes.get() + reader.inputStart, have);
  reader.inputStart += have;
  while (have < length) {
    if (reader.body.capacity - bodyPadding == have) {
      std::size_t grown = std::min(length, have + std::min(have, largestBodyRead));
      if (!ensureCapacity(reader.body, grown + bodyPadding)) return std::nullopt;
    }
    std::size_t count = readSome(reader.fd, reader.body.bytes.get() + have, reader.body.capacity - bodyPadding - have);
    if (count == 0) return std::nullopt;
    have += count;
  }
  std::memset(reader.body.bytes.get() + length, 0, bodyPadding);
  return std::string_view(reader.body.bytes.get(), length);
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
  if (reader.body.capacity > largestKeptBody) reader.body = {};
  if (buffered(reader) < headerSize && !fillInput(reader, headerSize)) return std::nullopt;
  std::size_t length = decodeLength(reader.input.bytes.get() + reader.inputStart);
  reader.inputStart += headerSize;
  if (length <= inputBufferSize - bodyPadding) {
    if (buffered(reader) < length && !fillInput(reader, length)) return std::nullopt;
    std::string_view body(reader.input.bytes.get() + reader.inputStart, length);
    reader.inputStart += length;
    return body;
  }
  return readLongBody(reader, length);
}

bool writeFrame(int fd, std::string_view body) {
  auto length = static_cast<std::uint32_t>(body.size());
  unsigned char header[headerSize] = {static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
                                      static_cast<unsigned char>(length >> 16),
                                      static_cast<unsigned char>(length >> 24)};
  // Header and body leave in one call, so a reader never sees half a frame
  // because the host was stopped between two writes.
  iovec parts[2] = {{header, headerSize}, {const_cast<char*>(body.data()), body.size()}};
  return writeAll(fd, parts, 2);
}

}  // namespace qorda
