// One arbitrary frame body through the steps of main's loop: decoding,
// evaluation under a fixed policy, reply, hand-off.
#include "fuzz_support.h"

#include <algorithm>
#include <cstdint>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Exactly the zeroed padding the frame reader promises, so a read past it
  // is caught.
  std::unique_ptr<char[]> bytes(new char[size + qorda::jsonTextPadding]());
  std::copy_n(reinterpret_cast<const char*>(data), size, bytes.get());
  qorda::fuzz::answerAndCheck(std::string_view(bytes.get(), size));
  return 0;
}
