// The edges of the host: decoding a frame body into a message, and the
// reply's size cap.
#include "host/reply.h"

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

// The byte order mark, and each member read once: absent and wrong-typed
// alike. (Bodies that are no JSON object: the black-box runner.)
TEST(JsonDecoding, DecodeMessage) {
  const std::pair<std::string, std::string_view> cases[] = {
      {" \n{\"a\":[1,{\"b\":null}]}\t", "-|-|no intent"},
      {"\xEF\xBB\xBF[1]", "shape"},
      {"\xEF\xBB\xBF\xEF\xBB\xBF{}", "json"},
      {R"({"messageType":"m","requestId":7,"payload":{"intent":{"resource":{"url":"u","mimeType":1},
          "sourceContext":{"pageUrl":"p"},"manifest":"m","detection":{"signalType":"s"},
          "classification":{"deliveryType":"d"},"policyHints":{"drmSuspected":true}}}})",
       "m|-|u|-|p|-|s|d|drm"},
      {R"({"payload":{"intent":{"manifest":{"url":"m"},"resource":"u","policyHints":{"drmSuspected":1}}}})",
       "-|-|-|-|-|m|-|-|"},
      {R"({"payload":[{"intent":{}}]})", "-|-|no intent"},
  };
  JsonDecoder decoder;  // reused, as by the main loop
  for (const auto& [body, expected] : cases)
    EXPECT_EQ(described(decodeMessage(decoder, simdjson::padded_string(body))), expected)
        << body.substr(0, 40);
}

// The cap holds for the escaped text: an echo within it before escaping can
// be beyond it after.
TEST(Reply, SizeLimit) {
  std::string text;
  encodeReply(Decided{"", "", Check::drmHint}, text);
  const std::size_t room = maxReplySize - text.size();
  const std::pair<std::string, bool> echoes[] = {
      {std::string(room, 'a'), true},
      {std::string(room + 1, 'a'), false},
      {std::string(room / 6 + 1, '\x01'), false},
  };
  for (const auto& [echo, fits] : echoes) {
    encodeReply(Decided{"", echo, Check::drmHint}, text);
    EXPECT_EQ(text != "{}", fits) << echo.size() << echo[0];
  }
}

}  // namespace
}  // namespace qorda
