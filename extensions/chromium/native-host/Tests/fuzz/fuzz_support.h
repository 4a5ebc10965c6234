// What the fuzzers share: main's loop body, the checks every answer and every
// normalised host must pass, and the fake desktop application (the policy
// comes from the target; hand-offs are recorded instead of stored).
#pragma once

#include "host/capture_handoff.h"
#include "host/reply.h"
#include "policy/policy_evaluation.h"

#include <optional>
#include <string>
#include <vector>

namespace qorda::fuzz {

// main's loop between reading a frame and writing its reply, step for step:
// decode, decide (an object only), encode, free a huge parse, hand a
// takeover off. The reply text lives in replyText.
inline std::string_view answerFrame(simdjson::dom::parser& parser, std::string_view body,
                                    std::string& replyText) {
  DecodedMessage message = decodeMessage(parser, body);
  auto object = std::get_if<JsonObject>(&message);
  std::optional<PolicyAction> decision = object ? std::optional(evaluatePolicyAction(*object)) : std::nullopt;
  encodeReplyText(message, decision, replyText);
  if (body.size() > 1024 * 1024) parser = simdjson::dom::parser();
  if (decision && decision->action == takeoverAction) handOffCapture(body);
  return replyText;
}

// Prints what went wrong and aborts, so the fuzzer keeps the input.
[[noreturn]] void fail(std::string_view what, std::string_view detail = {});

// reply as the answer to body, given what was handed off meanwhile: one JSON
// object; an error reply exactly when the body is no JSON object; "reason"
// absent exactly for a takeover; the echoes as the message has them; the
// body handed off, once, exactly for a takeover. body is padded as a frame's.
void checkAnswer(std::string_view body, std::string_view reply, const std::vector<std::string>& handOffs);

// host is normalizeHostValue(source), by whichever path: lower-case, ending
// in no white space, and starting with white space only when that stood
// between a leading "www." and the rest of the source.
void checkNormalisedHost(std::string_view source, std::string_view host);

// The snapshot text readPolicySnapshotText returns from now on (nothing: no
// snapshot). Until then, a fixed one with hosts and rules of every scope.
void publishSnapshot(std::optional<std::string> text);

// The message texts handed off since the last call, which forgets them.
std::vector<std::string> takeHandOffs();

}  // namespace qorda::fuzz
