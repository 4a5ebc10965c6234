// Arbitrary bytes on standard input through the host's own read loop: every
// complete frame is read as sent and answered by one valid reply frame, and
// nothing is read or answered past the last complete frame.
#include "answer_checks.h"
#include "fake_companion.h"
#include "host/frame_answer.h"
#include "host/frame_transport.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace {

using qorda::fuzz::fail;

// The bodies of the complete frames in bytes, found independently of the
// reader under test.
std::vector<std::string_view> completeFrames(std::string_view bytes) {
  std::vector<std::string_view> bodies;
  while (bytes.size() >= 4) {
    std::uint64_t length = 0;
    for (int i = 3; i >= 0; --i) length = length << 8 | static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
    if (bytes.size() - 4 < length) break;
    bodies.push_back(bytes.substr(4, length));
    bytes.remove_prefix(4 + length);
  }
  return bodies;
}

int memoryFile(std::string_view content) {
  int fd = ::memfd_create("frames", MFD_CLOEXEC);
  if (fd < 0 || ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) std::abort();
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

std::string contentOf(int fd) {
  std::string content(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
  if (::pread(fd, content.data(), content.size(), 0) != static_cast<ssize_t>(content.size())) std::abort();
  return content;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qorda::fuzz::publishSnapshot(qorda::fuzz::fixedSnapshot);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  auto expected = completeFrames(input);

  qorda::FrameReader reader;
  reader.fd = memoryFile(input);
  int output = memoryFile({});
  simdjson::dom::parser parser;
  std::string replyText;
  std::vector<std::string> replies;
  // The loop of main, with its descriptors replaced.
  while (auto body = qorda::readFrame(reader)) {
    if (replies.size() == expected.size()) fail("a frame read past the input");
    if (*body != expected[replies.size()]) fail("frame body differs from the one sent", *body);
    std::string_view reply = qorda::answerFrame(parser, *body, replyText);
    qorda::fuzz::checkAnswer(*body, reply, qorda::fuzz::takeHandOffs());
    replies.emplace_back(reply);
    if (!qorda::writeFrame(output, reply)) fail("write to a memory file failed");
  }
  if (replies.size() != expected.size()) fail("a complete frame went unanswered");

  std::string written = contentOf(output);
  auto writtenFrames = completeFrames(written);
  std::size_t framedSize = 0;
  for (std::size_t i = 0; i < writtenFrames.size(); ++i) framedSize += 4 + writtenFrames[i].size();
  if (framedSize != written.size() || writtenFrames.size() != replies.size()) fail("output is not whole frames");
  for (std::size_t i = 0; i < replies.size(); ++i) {
    if (writtenFrames[i] != replies[i]) fail("reply frame differs from the reply", writtenFrames[i]);
  }
  ::close(reader.fd);
  ::close(output);
  return 0;
}
