#include "matching/bypass_rules.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

std::optional<BypassForms> formsOf(std::string_view url) {
  auto components = parseUrl(url);
  return components ? bypassFormsOf(*components) : std::nullopt;
}

// The exact, prefix and host forms of each URL; "" when no rule can match it.
TEST(BypassRules, Forms) {
  static const std::pair<std::string_view, std::string_view> cases[] = {
      {"HTTPS://WWW.Example.COM/a.mp4#t=1",
       "https://example.com/a.mp4 https://example.com/a.mp4 example.com"},
      {"https://example.com?q=1", "https://example.com?q=1 https://example.com/ example.com"},
      {"https://example.com:0443/v", "https://example.com:443/v https://example.com:443/v example.com"},
      {"http://u:p@Example.com/V/A%2f?Q=1#f",
       "http://u:p@example.com/V/A%2f?Q=1 http://example.com/V/A%2f example.com"},
      {"http://[::1]:8080/x?y", "http://[::1]:8080/x?y http://[::1]:8080/x ::1"},
      {"https://%20WWW.A%25.com/", "https://a%25.com/ https://a%.com/ a%.com"},
      {"ftp://example.com/a.mp4", ""},
      {"//example.com/a.mp4", ""},
  };
  for (const auto& [url, expected] : cases) {
    auto forms = formsOf(url);
    EXPECT_EQ(forms ? forms->exact + " " + forms->prefix + " " + forms->host : "", expected) << url;
  }
}

// The first enabled rule that covers the URL, the same walked and indexed.
TEST(BypassRules, FirstMatchingRule) {
  const DirectLinkBypassRule exact{"exactURL", "https://example.com/a.mp4"};
  const DirectLinkBypassRule video{"pathPrefix", "https://example.com/video"};
  const DirectLinkBypassRule anyHttp{"pathPrefix", ""};
  const DirectLinkBypassRule site{"hostAll", "  WWW.EXAMPLE.COM\t"};
  const struct {
    std::string_view url;
    std::vector<DirectLinkBypassRule> rules;
    std::optional<std::size_t> match;
  } cases[] = {
      {"https://example.com/a.mp4?x=1", {exact}, {}},
      {"https://example.com", {{"pathPrefix", "https://example.com/"}}, 0},
      // Patterns are compared as written: not lower-cased, not trimmed.
      {"https://example.com/a.mp4",
       {{"exactURL", "Https://example.com/a.mp4"},
        {"pathPrefix", "https://Example.com/"},
        {"pathPrefix", " https://"}},
       {}},
      {"https://example.com/a%2f", {{"exactURL", "https://example.com/a%2F"}}, {}},
      {"https://example.com/videos/x.mp4", {video}, 0},
      {"https:example.com", {anyHttp}, {}},
      {"https://WWW.example.com/x", {site}, 0},
      {"https://cdn.example.com/x", {site}, {}},
      {"https://example.com/a.mp4", {{"exactURL", "https://example.com/a.mp4", false}, video, exact}, 2},
      {"https://example.com/a.mp4",
       {{"ExactURL", "https://example.com/a.mp4"}, {"HostAll", "example.com"}},
       {}},
      {"https://www.example.com/a.mp4", {video, {"hostAll", "x", false, "example.com"}, site, exact}, 2},
      {"https://example.com/a.mp4", {exact, anyHttp}, 0},
      {"https://example.com/a.mp4", {anyHttp, exact}, 0},
  };
  for (const auto& c : cases) {
    auto forms = formsOf(c.url);
    EXPECT_EQ(forms ? firstMatchingRule(*forms, c.rules) : std::nullopt, c.match) << c.url;
    EXPECT_EQ(forms ? firstMatchingRule(*forms, c.rules, indexBypassRules(c.rules)) : std::nullopt, c.match)
        << c.url;
  }
}

}  // namespace
}  // namespace qorda
