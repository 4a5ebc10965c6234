#include "capture_handoff.h"

#include "app/companion.h"

namespace qorda {

void handOffCapture(std::string_view body) {
  // The JSON parser accepted the body, and it refuses ill-formed UTF-8, so
  // the body is already the message text: no decoding or replacement needed.
  std::string_view messageText = body;
  appendToCaptureInbox(messageText);
  ensureHostAppIsRunningInBackground();
  postCaptureNotification(messageText);
}

}  // namespace qorda
