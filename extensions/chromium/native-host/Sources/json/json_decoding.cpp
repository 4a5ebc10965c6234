#include "json_decoding.h"

#include "json_lookup.h"

namespace qorda {

static_assert(jsonTextPadding >= simdjson::SIMDJSON_PADDING);

namespace {

RequestIntent intentOf(JsonObject intent) {
  auto hints = objectAt(intent, "policyHints");
  return {nestedStringAt(intent, "resource", "url"),
          nestedStringAt(intent, "resource", "mimeType"),
          nestedStringAt(intent, "sourceContext", "pageUrl"),
          nestedStringAt(intent, "manifest", "url"),
          nestedStringAt(intent, "detection", "signalType"),
          nestedStringAt(intent, "classification", "deliveryType"),
          hints && boolAt(*hints, "drmSuspected") == true};
}

}  // namespace

std::string_view withoutByteOrderMark(std::string_view text) {
  static constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";
  if (text.starts_with(byteOrderMark)) text.remove_prefix(byteOrderMark.size());
  return text;
}

DecodedMessage decodeMessage(JsonDecoder& decoder, std::string_view body) {
  decoder.lastSize = body.size();
  // Skipped for parsing only: the body handed off keeps it.
  body = withoutByteOrderMark(body);
  simdjson::dom::element root;
  if (decoder.parser.parse(body.data(), body.size(), false).get(root)) return HostError::invalidJSON;
  if (root.is_array()) return HostError::invalidJSONShape;
  // A bare scalar is no message at all, the same as text that is not JSON.
  JsonObject object;
  if (root.get(object)) return HostError::invalidJSON;
  auto payload = objectAt(object, "payload");
  auto intent = payload ? objectAt(*payload, "intent") : std::nullopt;
  return Message{stringAt(object, "messageType"), stringAt(object, "requestId"),
                 intent ? std::optional(intentOf(*intent)) : std::nullopt};
}

void giveBackLargeBuffers(JsonDecoder& decoder) {
  if (decoder.lastSize > largestKeptBuffer) decoder.parser = simdjson::dom::parser();
  decoder.lastSize = 0;
}

}  // namespace qorda
