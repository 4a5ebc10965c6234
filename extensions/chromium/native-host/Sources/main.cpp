// QordaNativeMessagingHost: answers the browser extension's requests, one
// native messaging frame at a time, until standard input ends.
#include "host/capture_handoff.h"
#include "host/frame_transport.h"
#include "host/reply.h"
#include "json/json_decoding.h"
#include "policy/policy_evaluation.h"

#include <csignal>
#include <optional>
#include <string>

namespace {

static_assert(qorda::bodyPadding >= qorda::jsonTextPadding);

// Past this size, the parser's buffers, which grow to several times the
// largest body parsed, are given back once the reply is encoded.
constexpr std::size_t largestKeptDocument = 1024 * 1024;

// The policy action for a frame that decoded to a message; none otherwise.
std::optional<qorda::PolicyAction> decide(const qorda::DecodedMessage& message) {
  auto object = std::get_if<qorda::JsonObject>(&message);
  return object ? std::optional(qorda::evaluatePolicyAction(*object)) : std::nullopt;
}

}  // namespace

int main() {
  // A browser that has closed its end makes the next write fail; the host
  // then ends quietly instead of being killed.
  std::signal(SIGPIPE, SIG_IGN);

  qorda::FrameReader reader;  // standard input
  simdjson::dom::parser parser;
  std::string replyText;
  while (auto body = qorda::readFrame(reader)) {
    qorda::DecodedMessage message = qorda::decodeMessage(parser, *body);
    std::optional<qorda::PolicyAction> decision = decide(message);
    qorda::encodeReplyText(message, decision, replyText);
    // The reply no longer needs the parsed message: a huge one is freed
    // before the hand-off copies the body.
    if (body->size() > largestKeptDocument) parser = simdjson::dom::parser();
    // The capture reaches the desktop application before the browser hears
    // of the decision.
    if (decision && decision->action == qorda::takeoverAction) qorda::handOffCapture(*body);
    if (!qorda::writeFrame(1, replyText)) break;
  }
  return 0;
}
