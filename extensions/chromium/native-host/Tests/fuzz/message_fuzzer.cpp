// One arbitrary frame body through the steps of main's loop: decoding,
// evaluation under a fixed policy, reply, hand-off (answered alike again:
// the frame stream fuzzer's repeated frames).
#include "fuzz_support.h"

#include <algorithm>
#include <cstdint>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Exactly the zeroed padding the frame reader promises, so a read past it
  // is caught.
  std::unique_ptr<char[]> bytes(new char[size + qorda::jsonTextPadding]());
  std::copy_n(reinterpret_cast<const char*>(data), size, bytes.get());
  std::string_view body(bytes.get(), size);
  static qorda::JsonDecoder decoder;  // kept, as the host keeps its own
  static qorda::PolicyCache policy;
  std::string replyText;
  qorda::fuzz::checkAnswer(body, qorda::fuzz::answerFrame(decoder, policy, body, replyText));
  return 0;
}
