// The edges of the host: decoding a frame body into a message, and the
// reply's size cap, the bus payload.
#include "app/bus_payload.h"
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
      {R"({"payload":{"intent":{"manifest":{"url":"m"},"resource":"u","policyHints":{"drmSuspected":false}}}})",
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

TEST(BusPayload, NoncharactersReplacedAndTooLargeLeftOut) {
  const std::string largest(largestBusPayload, 'a');
  const struct {
    std::string text, payload;
    std::optional<std::string_view> alteration;
  } cases[] = {
      // U+FDD0, U+FDEF, U+FFFE, U+FFFF, U+1FFFE, U+10FFFF
      {"\xEF\xB7\x90 \xEF\xB7\xAF \xEF\xBF\xBE\xEF\xBF\xBFx \xF0\x9F\xBF\xBE.\xF4\x8F\xBF\xBF",
       "\xEF\xBF\xBD \xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBDx \xEF\xBF\xBD.\xEF\xBF\xBD",
       "noncharacters_replaced"},
      // U+FDCF, U+FFFD, U+E000, U+1F3AC
      {"\xEF\xB7\x8F \xEF\xBF\xBD \xEE\x80\x80 \xF0\x9F\x8E\xAC",
       "\xEF\xB7\x8F \xEF\xBF\xBD \xEE\x80\x80 \xF0\x9F\x8E\xAC"},
      {largest, largest},
      {largest + "a", "", "too_large"},
  };
  for (const auto& c : cases) {
    BusPayload payload = busPayloadOf(c.text);
    EXPECT_TRUE(payload.text == c.payload)
        << c.text.substr(0, 40) << " became " << payload.text.substr(0, 40);
    EXPECT_EQ(payload.alteration, c.alteration) << c.text.substr(0, 40);
  }
}

}  // namespace
}  // namespace qorda
