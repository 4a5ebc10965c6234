// Streams of frames through main's loop: every complete frame is read as
// sent and answered by one valid reply frame, in order, and nothing past the
// last complete frame is read or answered. The input is a recipe for the
// stream (see streamOf), so that bodies around the 64 KiB first read and the
// 1 MiB limits are within reach, and reads stop short where it says.
#include "fuzz_support.h"
#include "host/frame_transport.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>

namespace {

using qorda::fuzz::fail;

// The bytes the host receives, and where reads of them stop short or are
// interrupted once.
struct Stream {
  int fd = -1;
  std::string bytes;
  std::size_t position = 0;
  std::set<std::size_t> cuts, interrupts;
} stream;

std::size_t take(std::string_view& recipe, std::size_t count) {
  std::size_t value = 0;
  for (std::size_t i = 0; i < count && !recipe.empty(); ++i, recipe.remove_prefix(1))
    value |= std::size_t{static_cast<unsigned char>(recipe[0])} << (8 * i);
  return value;
}

std::string& appendHeader(std::string& out, std::size_t length) {
  auto header = qorda::frameHeader(static_cast<std::uint32_t>(length));
  return out.append(header.data(), header.size());
}

// Records of a tag byte t and a 2-byte value v. t%4 == 0: v bytes follow,
// taken as they are. 1: a frame of [0, 64 KiB, 128 KiB, 1 MiB][t/4%4] + v
// (signed) bytes, shaped [a takeover echoing its fill, a blocked request, an
// array, the fill alone][t/16%4], its fill byte following. 2 and 3: a read
// stops short, or is interrupted, v bytes before the end so far.
void streamOf(std::string_view recipe) {
  static constexpr std::ptrdiff_t bases[] = {0, 64 * 1024, 128 * 1024, 1024 * 1024};
  static constexpr std::string_view shapes[][2] = {
      {R"({"requestId":")", R"("})"},
      {R"({"payload":{"intent":{"policyHints":{"drmSuspected":true}}},"messageType":")", R"("})"},
      {R"([")", R"("])"},
      {"", ""}};
  stream.bytes.clear();
  stream.position = 0;
  stream.cuts.clear();
  stream.interrupts.clear();
  while (!recipe.empty()) {
    std::size_t tag = take(recipe, 1), value = take(recipe, 2);
    std::size_t at = stream.bytes.size() - std::min(value, stream.bytes.size());
    auto [open, close] = shapes[tag / 16 % 4];
    auto size = static_cast<std::size_t>(std::max(bases[tag / 4 % 4] + static_cast<std::int16_t>(value),
                                                  static_cast<std::ptrdiff_t>(open.size() + close.size())));
    char fill = tag % 4 == 1 ? static_cast<char>(take(recipe, 1)) : 0;
    if (tag % 4 == 0) stream.bytes.append(recipe.substr(0, value));
    if (tag % 4 == 0) recipe.remove_prefix(std::min(value, recipe.size()));
    // At most 3 MiB, so that a run stays within milliseconds.
    if (tag % 4 == 1 && stream.bytes.size() + size < 3 * 1024 * 1024)
      appendHeader(stream.bytes, size)
          .append(open)
          .append(size - open.size() - close.size(), fill)
          .append(close);
    if (tag % 4 == 2) stream.cuts.insert(at);
    if (tag % 4 == 3) stream.interrupts.insert(at);
  }
}

// The body of the next complete frame in bytes, found independently of the
// reader under test.
std::optional<std::string_view> nextFrame(std::string_view& bytes) {
  std::uint64_t length = 0;
  for (std::size_t i = 4; i-- > 0 && bytes.size() >= 4;)
    length = length << 8 | static_cast<unsigned char>(bytes[i]);
  if (bytes.size() < 4 || bytes.size() - 4 < length) return std::nullopt;
  std::string_view body = bytes.substr(4, length);
  bytes.remove_prefix(4 + length);
  return body;
}

}  // namespace

// The host's reads of the stream's descriptor come from memory, stopping at
// the recipe's cuts (the link wraps read). Other descriptors read as usual.
extern "C" ssize_t __real_read(int fd, void* into, std::size_t size);
extern "C" ssize_t __wrap_read(int fd, void* into, std::size_t size) {
  if (fd != stream.fd) return __real_read(fd, into, size);
  if (stream.interrupts.erase(stream.position)) {
    errno = EINTR;
    return -1;
  }
  auto cut = stream.cuts.upper_bound(stream.position);
  size = std::min(size, (cut == stream.cuts.end() ? stream.bytes.size() : *cut) - stream.position);
  std::memcpy(into, stream.bytes.data() + stream.position, size);
  stream.position += size;
  return static_cast<ssize_t>(size);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Without the wrap, this reads nothing and the first complete frame fails.
  stream.fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  streamOf({reinterpret_cast<const char*>(data), size});
  std::string_view unread = stream.bytes;
  qorda::FrameReader reader;
  reader.fd = stream.fd;
  int output = ::memfd_create("replies", MFD_CLOEXEC);
  // Kept from run to run, as one long-lived host keeps them.
  static qorda::JsonDecoder decoder;
  static qorda::PolicyCache policy;
  static std::string replyText, framedReplies, written;
  framedReplies.clear();
  // A megabyte of zeros is a quarter million empty frames; a few thousand
  // show as much and keep the run short.
  std::size_t frames = 0;
  for (std::optional<std::string_view> body; frames < 4096 && (body = qorda::readFrame(reader)); ++frames) {
    if (nextFrame(unread) != *body) fail("frame differs from the one sent", *body);
    std::string_view reply = qorda::fuzz::answerFrame(decoder, policy, *body, replyText);
    qorda::fuzz::checkAnswer(*body, reply);
    appendHeader(framedReplies, reply.size()).append(reply);
    if (!qorda::writeFrame(output, reply)) fail("write to a memory file failed");
  }
  if (frames < 4096 && nextFrame(unread)) fail("a complete frame went unanswered");
  written.resize(framedReplies.size() + 1);
  written.resize(
      static_cast<std::size_t>(std::max<ssize_t>(0, ::pread(output, written.data(), written.size(), 0))));
  if (written != framedReplies) fail("output is not the reply frames, whole and in order");
  ::close(output);
  return 0;
}
