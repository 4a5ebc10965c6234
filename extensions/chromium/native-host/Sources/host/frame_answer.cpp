#include "frame_answer.h"

#include "../policy/policy_evaluation.h"
#include "capture_handoff.h"
#include "reply.h"

namespace qorda {
namespace {

// Past this, the parser's buffers, which grow to several times the largest
// body parsed, are given back once the reply is encoded.
constexpr std::size_t largestKeptDocument = 1024 * 1024;

void encode(const ReplyObject& reply, std::string& replyText) {
  // The fallback for a reply that cannot be sent as it is.
  if (!encodeReply(reply, replyText)) replyText = "{}";
}

// Decodes and evaluates body and encodes the reply; true for a takeover.
bool decideAndEncode(simdjson::dom::parser& parser, std::string_view body, std::string& replyText) {
  auto decoded = decodeMessage(parser, body);
  if (auto error = std::get_if<DecodeError>(&decoded)) {
    encode(buildErrorReply(errorReason(*error)), replyText);
    return false;
  }
  JsonObject message = std::get<JsonObject>(decoded);
  PolicyAction policyAction = evaluatePolicyAction(message);
  encode(buildReply(message, policyAction), replyText);
  return policyAction.action == takeoverAction;
}

}  // namespace

std::string_view answerFrame(simdjson::dom::parser& parser, std::string_view body, std::string& replyText) {
  bool takeover = decideAndEncode(parser, body, replyText);
  // The reply no longer needs the parsed message: a huge one is freed before
  // the hand-off copies the body into the inbox.
  if (body.size() > largestKeptDocument) parser = simdjson::dom::parser();
  // The reply is built first but written only after the hand-off returns.
  if (takeover) handOffCapture(body);
  return replyText;
}

}  // namespace qorda
