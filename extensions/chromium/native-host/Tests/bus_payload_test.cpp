#include "app/bus_payload.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

TEST(BusPayload, NoncharactersBecomeReplacementCharacters) {
  const struct {
    std::string_view text, payload;
    bool altered;
  } cases[] = {
      {"{\"a\":\"\xEF\xB7\x90 \xEF\xB7\xAF\"}", "{\"a\":\"\xEF\xBF\xBD \xEF\xBF\xBD\"}", true},  // U+FDD0, U+FDEF
      {"\xEF\xBF\xBE\xEF\xBF\xBFx", "\xEF\xBF\xBD\xEF\xBF\xBDx", true},                        // U+FFFE, U+FFFF
      {"\xF0\x9F\xBF\xBE.\xF4\x8F\xBF\xBF", "\xEF\xBF\xBD.\xEF\xBF\xBD", true},                // U+1FFFE, U+10FFFF
      {"\xEF\xB7\x8F \xEF\xBF\xBD \xEE\x80\x80 \xF0\x9F\x8E\xAC", "", false},  // U+FDCF, U+FFFD, U+E000, U+1F3AC
  };
  for (const auto& c : cases) {
    BusPayload payload = busPayloadOf(c.text);
    EXPECT_EQ(payload.text, c.altered ? c.payload : c.text) << c.text;
    EXPECT_EQ(payload.alteration.has_value(), c.altered) << c.text;
  }
  EXPECT_EQ(busPayloadOf(std::string(largestBusPayload, 'a')).alteration, std::nullopt);
  BusPayload tooLarge = busPayloadOf(std::string(largestBusPayload + 1, 'a'));
  EXPECT_EQ(tooLarge.text, "");
  EXPECT_EQ(tooLarge.alteration, "too_large");
}

}  // namespace
}  // namespace qorda
