#include "host/reply.h"
#include "json/json_writer.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

// Quotes, backslashes and control characters escaped, in the short form for
// \t \n \r only; everything else, "/" and DEL included, as it is.
TEST(Reply, EscapesExactlyWhatNeedsIt) {
  static const std::pair<std::string_view, std::string_view> cases[] = {
      {"q\" b\\ s/ \x7f \xC3\xA9 \xE2\x80\xA8", "\"q\\\" b\\\\ s/ \x7f \xC3\xA9 \xE2\x80\xA8\""},
      {std::string_view("\0\x01\x08\t\n\x0b\x0c\r\x1f", 9),
       R"("\u0000\u0001\u0008\t\n\u000b\u000c\r\u001f")"},
  };
  for (const auto& [text, json] : cases) {
    std::string out;
    appendJsonString(out, text);
    EXPECT_EQ(out, json);
  }
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
      {std::string(room / 2, '"'), true},
      {std::string(room / 2 + 1, '"'), false},
      {std::string(room / 6 + 1, '\x01'), false},
  };
  for (const auto& [echo, fits] : echoes) {
    encodeReply(Decided{"", echo, Check::drmHint}, text);
    EXPECT_EQ(text != "{}", fits) << echo.size() << echo[0];
  }
}

}  // namespace
}  // namespace qorda
