#include "app/bus_payload.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

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
