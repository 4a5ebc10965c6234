#include "matching/bypass_rules.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

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
      {"https://e.com/a[1]|^%zz?q=%#a#b", "https://e.com/a[1]|^%zz?q=% https://e.com/a[1]|^%zz e.com"},
      {"https://%20WWW.A%25.com/", "https://a%25.com/ https://a%.com/ a%.com"},
      {"ftp://example.com/a.mp4", ""},
      {"//example.com/a.mp4", ""},
  };
  for (const auto& [url, expected] : cases) {
    auto forms = bypassFormsOf(url);
    EXPECT_EQ(forms ? forms->exact + " " + forms->prefix + " " + forms->host : "", expected) << url;
  }
}

TEST(BypassRules, Matches) {
  const DirectLinkBypassRule exact{"exactURL", "https://example.com/a.mp4"};
  const DirectLinkBypassRule video{"pathPrefix", "https://example.com/video"};
  const DirectLinkBypassRule anyHttp{"pathPrefix", ""};
  const DirectLinkBypassRule site{"hostAll", "  WWW.EXAMPLE.COM\t"};
  const DirectLinkBypassRule loadedSite{"hostAll", "  WWW.EXAMPLE.COM\t", true, "example.com"};
  const struct {
    std::string_view url;
    std::vector<DirectLinkBypassRule> rules;
    bool matches;
  } cases[] = {
      {"https://example.com/a.mp4?x=1", {exact}, false},
      {"https://www.example.com/a.mp4", {{"exactURL", "https://www.example.com/a.mp4"}}, false},
      {"https://example.com", {{"pathPrefix", "https://example.com/"}}, true},
      // Patterns are compared as written: not lower-cased, not trimmed.
      {"https://example.com/a.mp4",
       {{"exactURL", "Https://example.com/a.mp4"},
        {"pathPrefix", "https://Example.com/"},
        {"exactURL", "https://example.com/a.mp4 "},
        {"pathPrefix", " https://"}},
       false},
      {"https://example.com/a%2f", {{"exactURL", "https://example.com/a%2F"}}, false},
      {"https://example.com/videos/x.mp4", {video}, true},
      {"http://example.com", {anyHttp}, true},
      {"https:example.com", {anyHttp}, false},
      {"https://WWW.example.com/x", {site}, true},
      {"https://cdn.example.com/x", {site}, false},
      {"https://example.com/a.mp4", {{"exactURL", "https://example.com/a.mp4", false}, video, exact}, true},
      {"https://example.com/a.mp4",
       {{"ExactURL", "https://example.com/a.mp4"}, {"HostAll", "example.com"}, {"", ""}},
       false},
      {"https://www.example.com/a.mp4",
       {video, {"hostAll", "x", false, "example.com"}, loadedSite, exact},
       true},
      {"https://example.com/a.mp4", {anyHttp, exact}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(matchesDirectLinkBypassRule(c.url, c.rules), c.matches) << c.rules[0].pattern;
    // The index finds the same first rule as the walk.
    auto forms = bypassFormsOf(c.url);
    if (!forms) continue;
    EXPECT_EQ(firstMatchingRule(*forms, c.rules, indexBypassRules(c.rules)),
              firstMatchingRule(*forms, c.rules));
  }
}

}  // namespace
}  // namespace qorda
