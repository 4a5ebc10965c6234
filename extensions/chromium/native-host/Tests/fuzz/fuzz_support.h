// What the fuzzers share: main's loop body, the checks every answer must
// pass, and the fake desktop application (the policy comes from the target;
// hand-offs are recorded instead of stored).
#pragma once

#include "host/capture_handoff.h"
#include "host/reply.h"
#include "policy/policy_cache.h"

#include <optional>
#include <string>
#include <vector>

namespace qorda::fuzz {

// main's loop between reading a frame and writing its reply, step for step.
inline std::string_view answerFrame(JsonDecoder& decoder, PolicyCache& policy, std::string_view body,
                                    std::string& replyText) {
  Reply reply = replyTo(decodeMessage(decoder, body), policy);
  encodeReply(reply, replyText);
  giveBackLargeBuffers(decoder);
  if (isTakeover(reply)) handOffCapture(body);
  return replyText;
}

// Prints what went wrong and aborts, so the fuzzer keeps the input.
[[noreturn]] void fail(std::string_view what, std::string_view detail = {});

// reply as the answer to body: one JSON object; an error reply exactly when
// the body is no JSON object; a decision of the table; the echoes as the
// message has them; the body handed off, once, exactly for a takeover.
void checkAnswer(std::string_view body, std::string_view reply);

// The snapshot text the fake channel publishes from now on; until then, a
// fixed one with hosts and rules of every scope.
void publishSnapshot(std::string text);

}  // namespace qorda::fuzz
