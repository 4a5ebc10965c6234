// QordaNativeMessagingHost: answers the browser extension's requests, one
// native messaging frame at a time, until standard input ends.
#include "host/capture_handoff.h"
#include "host/frame_transport.h"
#include "host/reply.h"
#include "json/json_decoding.h"
#include "policy/policy_cache.h"

#include <csignal>
#include <string>

int main() {
  // A browser that has closed its end makes the next write fail; the host
  // then ends quietly instead of being killed.
  std::signal(SIGPIPE, SIG_IGN);

  qorda::FrameReader reader;  // standard input
  qorda::JsonDecoder decoder;
  qorda::PolicyCache policy;
  std::string replyText;
  while (auto body = qorda::readFrame(reader)) {
    qorda::Reply reply = qorda::replyTo(qorda::decodeMessage(decoder, *body), policy);
    qorda::encodeReply(reply, replyText);
    // The reply no longer needs the parsed message: a huge one is freed
    // before the hand-off copies the body.
    qorda::giveBackLargeBuffers(decoder);
    // The capture reaches the desktop application before the browser hears
    // of the decision.
    if (qorda::isTakeover(reply)) qorda::handOffCapture(*body);
    if (!qorda::writeFrame(1, replyText)) break;
  }
  return 0;
}
