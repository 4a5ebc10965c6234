// One arbitrary frame body through the steps of main's loop: decoding,
// evaluation under a fixed policy, reply, hand-off.
#include "fuzz_support.h"
#include "host/frame_transport.h"

#include <algorithm>
#include <cstdint>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Exactly the zeroed padding the frame reader promises, so a read past it
  // is caught.
  std::unique_ptr<char[]> bytes(new char[size + qorda::bodyPadding]());
  std::copy_n(reinterpret_cast<const char*>(data), size, bytes.get());
  std::string_view body(bytes.get(), size);
  static simdjson::dom::parser parser;  // reused, as the host reuses its own
  std::string replyText;
  std::string reply(qorda::fuzz::answerFrame(parser, body, replyText));
  qorda::fuzz::checkAnswer(body, reply, qorda::fuzz::takeHandOffs());
  // The same frame again: nothing carries over from one frame to the next.
  if (qorda::fuzz::answerFrame(parser, body, replyText) != reply)
    qorda::fuzz::fail("a second answer differs", reply);
  qorda::fuzz::takeHandOffs();
  return 0;
}
