#include "host/reply.h"
#include "json/json_writer.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <map>

namespace qorda {
namespace {

using Members = std::map<std::string, std::string>;  // booleans as "true" / "false"

// The members of an encoded reply, read back with a JSON parser.
Members decoded(const ReplyObject& reply) {
  std::string text;
  EXPECT_TRUE(encodeReply(reply, text));
  for (char c : text) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << "raw control character in " << text;
  Members members;
  simdjson::dom::parser parser;
  simdjson::dom::object object;
  if (parser.parse(simdjson::padded_string(text)).get(object)) ADD_FAILURE() << "not a JSON object: " << text;
  for (auto [key, value] : object) {
    bool added = members.emplace(key, value.is_bool() ? (value.get_bool().value() ? "true" : "false")
                                                      : std::string(value.get_string().value())).second;
    EXPECT_TRUE(added) << "repeated member " << key;
  }
  return members;
}

TEST(Reply, EscapesEveryStringThatNeedsIt) {
  static const std::string_view texts[] = {
      "quote \" backslash \\ slash /",
      std::string_view("nul \0 end", 9),
      "\x01\x08\t\n\x0b\x0c\r\x1f\x7f",
      "\xC3\xA9 \xE2\x80\xA8 \xF0\x9F\x8E\xAC",
  };
  test::JsonText message("{}");
  for (std::string_view text : texts) EXPECT_EQ(decoded(buildReply(message, {bypassAction, text}))["reason"], text);
}

TEST(Reply, SizeLimit) {
  test::JsonText message("{}");
  auto encodes = [&](const std::string& reason) {
    std::string text;
    bool ok = encodeReply(buildReply(message, {blockedAction, reason}), text);
    EXPECT_TRUE(!ok || text.size() <= maxReplySize) << text.size();
    return ok;
  };
  std::string text;
  ASSERT_TRUE(encodeReply(buildReply(message, {blockedAction, ""}), text));
  const std::size_t room = maxReplySize - text.size();
  EXPECT_TRUE(encodes(std::string(room, 'a')));
  EXPECT_FALSE(encodes(std::string(room + 1, 'a')));
  // Within the limit before escaping, beyond it after.
  EXPECT_TRUE(encodes(std::string(room / 2, '"')));
  EXPECT_FALSE(encodes(std::string(room / 2 + 1, '"')));
  EXPECT_FALSE(encodes(std::string(room / 6 + 1, '\x01')));
}

}  // namespace
}  // namespace qorda
