#include "policy/request_classifiers.h"

#include "json/json_lookup.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

// Runs test on the intent {"outer":{"inner":value}} for each case.
template <std::size_t N>
void check(bool (*test)(JsonObject), std::string_view outer, std::string_view inner,
           const std::pair<std::string_view, bool> (&cases)[N]) {
  for (const auto& [value, answer] : cases) {
    std::string text = "{\"" + std::string(outer) + "\":{\"" + std::string(inner) + "\":" + std::string(value) + "}}";
    test::JsonText intent(text);
    EXPECT_EQ(test(intent), answer) << outer << "/" << inner << " = " << value;
  }
}

TEST(RequestClassifiers, HasUnsupportedScheme) {
  static const std::pair<std::string_view, bool> urls[] = {
      {"5", true},
      {R"("https://example.com/a")", false},
      {R"("HTTPS://example.com/a")", false},
      {R"("Http:example")", false},
      {R"("https:///a.mp4")", false},
      {R"("https://e.com/a|b^c[1]%zz#x#y")", false},
      {R"("ftp://example.com/a")", true},
      {R"("blob:https://example.com/1")", true},
      {R"("file:///tmp/a.mp4")", true},
      {R"("example.com/a.mp4")", true},
      {R"("")", true},
      {R"(" https://example.com/a")", true},
  };
  for (const auto& [value, answer] : urls) {
    test::JsonText url("{\"u\":" + std::string(value) + "}");
    auto text = stringAt(url, "u");
    EXPECT_EQ(hasUnsupportedScheme(text ? parseUrl(*text) : std::nullopt), answer) << value;
  }
}

TEST(RequestClassifiers, IsNonMediaMime) {
  static const std::pair<std::string_view, bool> types[] = {
      {"5", false},
      {R"("")", false},
      {R"("  \u00a0\u2028")", false},
      {R"(" Video/MP4\n")", false},
      {R"("application/vnd.apple.mpegURL")", false},
      {R"("application/dash+xml")", false},
      {R"("APPLICATION/OCTET-STREAM; name=a.bin")", false},
      {R"("text/html")", true},
      {R"("image/png")", true},
      {R"("x-video/mp4")", true},
  };
  check(isNonMediaMime, "resource", "mimeType", types);
  EXPECT_FALSE(isNonMediaMime(test::JsonText(R"({"resource":{}})")));
}

TEST(RequestClassifiers, IsDirectLinkSignal) {
  static const std::pair<std::string_view, bool> signals[] = {
      {R"("direct_url")", true},          {R"("Direct_URL")", true},   {R"("media_mime")", true},
      {R"("CONTENT_DISPOSITION")", true}, {R"("direct_url ")", false}, {R"(["direct_url"])", false},
  };
  check(isDirectLinkSignal, "detection", "signalType", signals);
  EXPECT_FALSE(isDirectLinkSignal(test::JsonText(R"({"detection":"direct_url"})")));
}

}  // namespace
}  // namespace qorda
