// What must hold for the answer to any frame, whatever its body.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qorda::fuzz {

// Prints what went wrong and aborts, so the fuzzer keeps the input.
[[noreturn]] void fail(std::string_view what, std::string_view detail = {});

// Checks reply as the answer to body, given the texts handed off while the
// frame was answered: one JSON object with "accepted"; an error reply exactly
// when the body is no JSON object; "reason" absent exactly for a takeover;
// the echoes as the message has them; a hand-off of the body exactly for a
// takeover.
void checkAnswer(std::string_view body, std::string_view reply, const std::vector<std::string>& handOffs);

}  // namespace qorda::fuzz
