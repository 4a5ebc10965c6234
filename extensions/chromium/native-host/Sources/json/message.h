// One request message as the host reads it: plain values, decoded once from
// the frame's JSON. A key that is absent and a key of another JSON type count
// alike: the value is absent.
#pragma once

#include <optional>
#include <string_view>

namespace qorda {

// The members of "payload.intent" that the decision reads.
struct RequestIntent {
  std::optional<std::string_view> resourceUrl;   // resource.url
  std::optional<std::string_view> mimeType;      // resource.mimeType
  std::optional<std::string_view> pageUrl;       // sourceContext.pageUrl
  std::optional<std::string_view> manifestUrl;   // manifest.url
  std::optional<std::string_view> signalType;    // detection.signalType
  std::optional<std::string_view> deliveryType;  // classification.deliveryType
  bool drmSuspected = false;                     // policyHints.drmSuspected is JSON true
};

// A frame that decoded to a JSON object. Views point into the decoder's
// document and live until its next decode.
struct Message {
  std::optional<std::string_view> messageType;
  std::optional<std::string_view> requestId;
  std::optional<RequestIntent> intent;  // absent without an object at payload.intent
};

}  // namespace qorda
