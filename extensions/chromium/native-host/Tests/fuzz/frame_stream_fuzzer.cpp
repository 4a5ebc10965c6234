// A stream of frames through main's loop, read in pieces: every complete
// frame is read as sent, in order, and answered validly, and nothing past
// the last complete frame is read. The input's first byte
// says how many read sizes follow (a size 0 interrupts a read once); the rest
// is the stream. Large frames are the black-box runner's.
#include "fuzz_support.h"
#include "host/frame_transport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

struct Stream {
  int fd = -1;
  std::string_view bytes, sizes;
  std::size_t calls = 0;
  bool interrupted = false;
} stream;

}  // namespace

// The host's reads of the stream's descriptor come from memory (the link
// wraps read); other descriptors read as usual.
extern "C" ssize_t __real_read(int fd, void* into, std::size_t size);
extern "C" ssize_t __wrap_read(int fd, void* into, std::size_t size) {
  if (fd != stream.fd) return __real_read(fd, into, size);
  auto piece = static_cast<unsigned char>(
      stream.sizes.empty() ? 0 : stream.sizes[stream.calls++ % stream.sizes.size()]);
  if (piece == 0 && !std::exchange(stream.interrupted, true)) {
    errno = EINTR;
    return -1;
  }
  stream.interrupted = false;
  size = std::min({size, stream.bytes.size(), piece == 0 ? size : piece});
  std::memcpy(into, stream.bytes.data(), size);
  stream.bytes.remove_prefix(size);
  return static_cast<ssize_t>(size);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  stream.fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t count = input.empty() ? 0 : 1 + static_cast<unsigned char>(input[0]) % 8;
  stream.sizes = input.substr(std::min<std::size_t>(1, size), count);
  stream.bytes = input.substr(std::min(size, 1 + count));
  stream.calls = 0;
  std::string_view unread = stream.bytes;  // framed independently of the reader under test
  qorda::FrameReader reader;
  reader.fd = stream.fd;
  static qorda::JsonDecoder decoder;  // kept from run to run, as one long-lived host keeps them
  static qorda::PolicyCache policy;
  std::string replyText;
  while (auto body = qorda::readFrame(reader)) {
    std::array<char, 4> header{};
    unread.copy(header.data(), 4);
    if (unread.size() < 4 || unread.substr(4, qorda::frameLength(header)) != *body)
      qorda::fuzz::fail("frame differs from the one sent", *body);
    unread.remove_prefix(4 + body->size());
    std::string_view reply = qorda::fuzz::answerFrame(decoder, policy, *body, replyText);
    qorda::fuzz::checkAnswer(*body, reply);
  }
  std::array<char, 4> header{};
  unread.copy(header.data(), 4);
  if (unread.size() >= 4 && unread.size() - 4 >= qorda::frameLength(header))
    qorda::fuzz::fail("a complete frame went unanswered");
  return 0;
}
