#include "policy/request_classifiers.h"

#include "json/json_lookup.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

// Each intent through the three classifiers: resource URL, MIME type and
// detection signal; a member of the wrong type counts as absent.
TEST(RequestClassifiers, Intents) {
  static const struct {
    std::string_view intent;
    bool unsupportedScheme, nonMediaMime, directLinkSignal;
  } cases[] = {
      {R"({"resource":{"url":5,"mimeType":5},"detection":{"signalType":["direct_url"]}})", true, false,
       false},
      {R"({"resource":{"url":"HTTPS://e.com/a","mimeType":""},"detection":{"signalType":"Direct_URL"}})",
       false, false, true},
      {R"({"resource":{"url":"Http:e","mimeType":"  \u00a0\u2028"},"detection":{"signalType":"media_mime"}})",
       false, false, true},
      {R"({"resource":{"url":"https:///a","mimeType":" Video/MP4\n"},
           "detection":{"signalType":"Content_Disposition"}})",
       false, false, true},
      {R"({"resource":{"url":"https://e.com/a|b^c[1]%zz#x#y","mimeType":"application/vnd.apple.mpegURL"},
           "detection":{"signalType":"direct_url "}})",
       false, false, false},
      {R"({"resource":{"url":"http://e","mimeType":"application/dash+xml"},"detection":"direct_url"})", false,
       false, false},
      {R"({"resource":{"url":"ftp://e.com/a","mimeType":"APPLICATION/OCTET-STREAM; name=a.bin"}})", true,
       false, false},
      {R"({"resource":{"url":"file:///tmp/a.mp4","mimeType":"Audio/mpeg"}})", true, false, false},
      {R"({"resource":{"url":"e.com/a.mp4","mimeType":"image/png"}})", true, true, false},
      {R"({"resource":{"url":"","mimeType":"x-video/mp4"}})", true, true, false},
      {R"({"resource":{"url":" https://e.com/a","mimeType":"text/html"}})", true, true, false},
      {R"({"resource":{}})", true, false, false},
  };
  for (const auto& c : cases) {
    test::JsonText intent(c.intent);
    auto url = nestedStringAt(intent, "resource", "url");
    EXPECT_EQ(hasUnsupportedScheme(url ? parseUrl(*url) : std::nullopt), c.unsupportedScheme) << c.intent;
    EXPECT_EQ(isNonMediaMime(intent), c.nonMediaMime) << c.intent;
    EXPECT_EQ(isDirectLinkSignal(intent), c.directLinkSignal) << c.intent;
  }
}

}  // namespace
}  // namespace qorda
