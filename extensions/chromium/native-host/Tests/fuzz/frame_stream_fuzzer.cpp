// A stream of frames through main's loop, read in pieces: every complete
// frame is read as sent, in order, and answered validly, and nothing past
// the last complete frame is read. The input's first byte
// says how many read sizes follow (a size 0 interrupts a read once); the rest
// is the stream. Large frames are the black-box runner's.
#include "fuzz_support.h"
#include "host/frame_transport.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr int streamFd = 1'000;  // never opened: the host's reads of it come from memory
std::string_view bytes, sizes;
std::size_t calls = 0;
bool interrupted = false;

}  // namespace

// The link wraps read; other descriptors read as usual.
extern "C" ssize_t __real_read(int fd, void* into, std::size_t size);
extern "C" ssize_t __wrap_read(int fd, void* into, std::size_t size) {
  if (fd != streamFd) return __real_read(fd, into, size);
  auto piece = static_cast<unsigned char>(sizes.empty() ? 0 : sizes[calls++ % sizes.size()]);
  if (piece == 0 && !std::exchange(interrupted, true)) {
    errno = EINTR;
    return -1;
  }
  interrupted = false;
  size = std::min({size, bytes.size(), piece == 0 ? size : piece});
  std::memcpy(into, bytes.data(), size);
  bytes.remove_prefix(size);
  return static_cast<ssize_t>(size);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t count = input.empty() ? 0 : 1 + static_cast<unsigned char>(input[0]) % 8;
  sizes = input.substr(std::min<std::size_t>(1, size), count);
  bytes = input.substr(std::min(size, 1 + count));
  calls = 0;
  std::string_view unread = bytes;  // framed independently of the reader under test
  auto nextSent = [&]() -> std::optional<std::string_view> {
    std::array<char, 4> header{};
    unread.copy(header.data(), 4);
    if (unread.size() < 4 || unread.size() - 4 < qorda::frameLength(header)) return std::nullopt;
    return unread.substr(4, qorda::frameLength(header));
  };
  qorda::FrameReader reader{.fd = streamFd};
  while (auto body = qorda::readFrame(reader)) {
    if (nextSent() != *body) qorda::fuzz::fail("frame differs from the one sent", *body);
    unread.remove_prefix(4 + body->size());
    qorda::fuzz::answerAndCheck(*body);
  }
  if (nextSent()) qorda::fuzz::fail("a complete frame went unanswered");
  return 0;
}
