#include "matching/text.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

TEST(Text, Lowercased) {
  static const struct {
    std::string_view in, out;
  } cases[] = {
      {"", ""},
      {"AZaz09-.[@`{", "azaz09-.[@`{"},
      {"\xC3\x89XAMPLE.COM", "\xC3\xA9xample.com"},  // É
      {"\xC4\xB0", "i\xCC\x87"},                     // İ becomes i + combining dot
      {"\xCE\xA3\xCE\xA3", "\xCF\x83\xCF\x83"},      // Σ maps simply, with no final form
      {"\xE1\xBA\x9E", "\xC3\x9F"},                  // capital sharp s
      {"A\xFF" "B\xC3", "a\xFF" "b\xC3"},            // ill-formed bytes kept
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lowercased(c.in), c.out) << c.in;
    EXPECT_EQ(isLowercase(c.in), c.in == c.out) << c.in;
  }
}

TEST(Text, Trimmed) {
  static const struct {
    std::string_view in, out;
  } cases[] = {
      {"", ""},
      {" \t\n\v\f\r", ""},
      {" a b ", "a b"},
      {"\xC2\x85" "a\xC2\xA0", "a"},                    // U+0085, no-break space
      {"\xE2\x80\xA8" "a\xE2\x80\xA9", "a"},            // line, paragraph separators
      {"\xE3\x80\x80" "a\xE2\x80\x83", "a"},            // ideographic space, em space
      {"\xE2\x80\x8B" "a\xEF\xBB\xBF", "\xE2\x80\x8B" "a\xEF\xBB\xBF"},  // format characters stay
      {"\x1C" "a\x1F", "\x1C" "a\x1F"},                 // information separators stay
      {"\x80\x80\x80\xE2\x80\xA8", "\x80\x80\x80"},     // stray continuation bytes are no blank
      {"a\xC2", "a\xC2"},
  };
  for (const auto& c : cases) EXPECT_EQ(trimmed(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace qorda
