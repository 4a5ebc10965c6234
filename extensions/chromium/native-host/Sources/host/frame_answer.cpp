#include "frame_answer.h"

#include "../policy/policy_evaluation.h"
#include "capture_handoff.h"
#include "reply.h"

namespace qorda {
namespace {

ReplyObject replyTo(simdjson::dom::parser& parser, std::string_view body) {
  auto decoded = decodeMessage(parser, body);
  if (auto error = std::get_if<DecodeError>(&decoded)) return buildErrorReply(errorReason(*error));
  JsonObject message = std::get<JsonObject>(decoded);
  PolicyAction policyAction = evaluatePolicyAction(message);
  if (policyAction.action == takeoverAction) handOffCapture(body);
  return buildReply(message, policyAction);
}

}  // namespace

std::string_view answerFrame(simdjson::dom::parser& parser, std::string_view body, std::string& replyText) {
  // The fallback for a reply that cannot be sent as it is.
  if (!encodeReply(replyTo(parser, body), replyText)) replyText = "{}";
  return replyText;
}

}  // namespace qorda
