// QordaNativeMessagingHost: answers the browser extension's requests, one
// native messaging frame at a time, until standard input ends.
#include "host/frame_answer.h"
#include "host/frame_transport.h"

#include <csignal>
#include <string>

int main() {
  // A browser that has closed its end makes the next write fail; the host
  // then ends quietly instead of being killed.
  std::signal(SIGPIPE, SIG_IGN);

  qorda::FrameReader reader;  // standard input
  simdjson::dom::parser parser;
  std::string replyText;
  while (auto body = qorda::readFrame(reader)) {
    if (!qorda::writeFrame(1, qorda::answerFrame(parser, *body, replyText))) break;
  }
  return 0;
}
