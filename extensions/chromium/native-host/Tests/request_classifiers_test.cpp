#include "policy/request_classifiers.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

TEST(RequestClassifiers, UnsupportedScheme) {
  static const std::pair<std::string_view, bool> cases[] = {
      {"HTTPS://e.com/a", false}, {"Http:e", false},
      {"https:///a", false},      {"https://e.com/a|b^c[1]%zz#x#y", false},
      {"ftp://e.com/a", true},    {"e.com/a.mp4", true},
      {" https://e.com/a", true},
  };
  for (const auto& [url, unsupported] : cases)
    EXPECT_EQ(hasUnsupportedScheme(parseUrl(url)), unsupported) << url;
  EXPECT_TRUE(hasUnsupportedScheme(std::nullopt));
}

TEST(RequestClassifiers, MimeTypesAndSignals) {
  static const std::pair<std::optional<std::string_view>, bool> mimeTypes[] = {
      {std::nullopt, false},
      {"  \u00a0\u2028", false},
      {" Video/MP4\n", false},
      {"Audio/mpeg", false},
      {"application/vnd.apple.mpegURL", false},
      {"application/dash+xml", false},
      {"APPLICATION/OCTET-STREAM; name=a.bin", false},
      {"x-video/mp4", true},
      {"text/html", true},
  };
  for (const auto& [type, nonMedia] : mimeTypes)
    EXPECT_EQ(isNonMediaMime(type), nonMedia) << type.value_or("(none)");
  static const std::pair<std::optional<std::string_view>, bool> signals[] = {
      {std::nullopt, false},         {"Direct_URL", true},   {"media_mime", true},
      {"Content_Disposition", true}, {"direct_url ", false},
  };
  for (const auto& [signal, direct] : signals)
    EXPECT_EQ(isDirectLinkSignal(signal), direct) << signal.value_or("(none)");
}

}  // namespace
}  // namespace qorda
