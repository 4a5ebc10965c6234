#include "json/json_decoding.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

std::string described(const DecodedMessage& decoded) {
  if (auto error = std::get_if<HostError>(&decoded))
    return *error == HostError::invalidJSONShape ? "shape" : "json";
  const Message& m = std::get<Message>(decoded);
  auto part = [](std::optional<std::string_view> value) { return std::string(value.value_or("-")) + "|"; };
  if (!m.intent) return part(m.messageType) + part(m.requestId) + "no intent";
  const RequestIntent& i = *m.intent;
  return part(m.messageType) + part(m.requestId) + part(i.resourceUrl) + part(i.mimeType) + part(i.pageUrl) +
         part(i.manifestUrl) + part(i.signalType) + part(i.deliveryType) + (i.drmSuspected ? "drm" : "");
}

// What may surround the value, the byte order mark, the integer range, and
// each member read once: absent and wrong-typed alike.
TEST(JsonDecoding, DecodeMessage) {
  const std::pair<std::string, std::string_view> cases[] = {
      {" \n{\"a\":[1,{\"b\":null}]}\t", "-|-|no intent"},
      {"[1,2]", "shape"},
      {"null", "json"},
      {"{} {}", "json"},
      {"\xEF\xBB\xBF{\"requestId\":\"r\"}", "-|r|no intent"},
      {"\xEF\xBB\xBF[1]", "shape"},
      {"\xEF\xBB\xBF\xEF\xBB\xBF{}", "json"},
      {"\xFF\xFE{}", "json"},
      {"{\"a\":" + std::string(100000, '['), "json"},
      {R"({"n":18446744073709551615,"m":-9223372036854775808})", "-|-|no intent"},
      {R"({"n":18446744073709551616})", "json"},
      {R"({"n":1e400})", "json"},
      {R"({"messageType":"m","requestId":7,"payload":{"intent":{"resource":{"url":"u","mimeType":1},
          "sourceContext":{"pageUrl":"p"},"manifest":"m","detection":{"signalType":"s"},
          "classification":{"deliveryType":"d"},"policyHints":{"drmSuspected":true}}}})",
       "m|-|u|-|p|-|s|d|drm"},
      {R"({"payload":{"intent":{"manifest":{"url":"m"},"resource":"u","policyHints":{"drmSuspected":1}}}})",
       "-|-|-|-|-|m|-|-|"},
      {R"({"payload":{"intent":[]}})", "-|-|no intent"},
      {R"({"payload":[{"intent":{}}]})", "-|-|no intent"},
  };
  JsonDecoder decoder;  // reused, as by the main loop
  for (const auto& [body, expected] : cases)
    EXPECT_EQ(described(decodeMessage(decoder, simdjson::padded_string(body))), expected)
        << body.substr(0, 40);
}

}  // namespace
}  // namespace qorda
