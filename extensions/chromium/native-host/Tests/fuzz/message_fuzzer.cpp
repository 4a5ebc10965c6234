// One arbitrary frame body through decoding, evaluation under a fixed policy,
// hand-off and reply building.
#include "answer_checks.h"
#include "fake_companion.h"
#include "host/frame_answer.h"

#include <algorithm>
#include <cstdint>
#include <memory>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qorda::fuzz::publishSnapshot(qorda::fuzz::fixedSnapshot);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Exactly the padding the frame reader promises, no more, so a read past
  // it is caught.
  std::unique_ptr<char[]> body(new char[size + simdjson::SIMDJSON_PADDING]());
  std::copy_n(reinterpret_cast<const char*>(data), size, body.get());
  std::string_view message(body.get(), size);

  static simdjson::dom::parser parser;  // reused, as the host reuses its own
  std::string replyText;
  std::string_view reply = qorda::answerFrame(parser, message, replyText);
  qorda::fuzz::checkAnswer(message, reply, qorda::fuzz::takeHandOffs());

  // The same frame again: nothing carries over from one frame to the next.
  std::string first(reply);
  if (qorda::answerFrame(parser, message, replyText) != first) qorda::fuzz::fail("a second answer differs", first);
  qorda::fuzz::takeHandOffs();
  return 0;
}
