#include "matching/text.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

TEST(Text, LowercasedAndTrimmed) {
  static const struct {
    std::string_view in, lowered, trimmed;
  } cases[] = {
      {"", "", ""},
      {" \t\n\v\f\r", " \t\n\v\f\r", ""},
      {" AZaz09-.[@`{ b ", " azaz09-.[@`{ b ", "AZaz09-.[@`{ b"},
      // U+0085 and no-break space around É.
      {"\xC2\x85\xC3\x89XAMPLE.COM\xC2\xA0", "\xC2\x85\xC3\xA9xample.com\xC2\xA0", "\xC3\x89XAMPLE.COM"},
      // Line and paragraph separators around İ, which becomes i and a combining dot.
      {"\xE2\x80\xA8\xC4\xB0\xE2\x80\xA9", "\xE2\x80\xA8i\xCC\x87\xE2\x80\xA9", "\xC4\xB0"},
      // Ideographic and em spaces around ΣΣ, which maps simply, with no final form.
      {"\xE3\x80\x80\xCE\xA3\xCE\xA3\xE2\x80\x83", "\xE3\x80\x80\xCF\x83\xCF\x83\xE2\x80\x83",
       "\xCE\xA3\xCE\xA3"},
      // Format characters stay, around a capital sharp s.
      {"\xE2\x80\x8B\xE1\xBA\x9E\xEF\xBB\xBF", "\xE2\x80\x8B\xC3\x9F\xEF\xBB\xBF",
       "\xE2\x80\x8B\xE1\xBA\x9E\xEF\xBB\xBF"},
      {"\x1C"
       "A\x1F",
       "\x1C"
       "a\x1F",
       "\x1C"
       "A\x1F"},  // information separators stay
      // Stray continuation bytes are no blank; ill-formed bytes are kept.
      {"\x80\x80\x80\xE2\x80\xA8", "\x80\x80\x80\xE2\x80\xA8", "\x80\x80\x80"},
      {"A\xFF"
       "B\xC3",
       "a\xFF"
       "b\xC3",
       "A\xFF"
       "B\xC3"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lowercased(c.in), c.lowered) << c.in;
    EXPECT_EQ(isLowercase(c.in), c.in == c.lowered) << c.in;
    EXPECT_EQ(trimmed(c.in), c.trimmed) << c.in;
  }
}

}  // namespace
}  // namespace qorda
