// The pure text functions under the policy: lower-casing and trimming, URL
// components, host normalisation and lists, bypass rule forms and matching.
#include "matching/bypass_rules.h"
#include "matching/host_matching.h"
#include "matching/text.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

TEST(Text, LowercasedAndTrimmed) {
  static const struct {
    std::string_view in, lowered, trimmed;
  } cases[] = {
      {" \t\n\v\f\r", " \t\n\v\f\r", ""},
      {" AZaz09-.[@`{ b ", " azaz09-.[@`{ b ", "AZaz09-.[@`{ b"},
      // U+0085 and no-break space around É; line and paragraph separators
      // around İ, which becomes i and a combining dot.
      {"\xC2\x85\xC3\x89XAMPLE.COM\xC2\xA0", "\xC2\x85\xC3\xA9xample.com\xC2\xA0", "\xC3\x89XAMPLE.COM"},
      {"\xE2\x80\xA8\xC4\xB0\xE2\x80\xA9", "\xE2\x80\xA8i\xCC\x87\xE2\x80\xA9", "\xC4\xB0"},
      // Format characters and information separators stay.
      {"\xE2\x80\x8B\xE1\xBA\x9E\x1F", "\xE2\x80\x8B\xC3\x9F\x1F", "\xE2\x80\x8B\xE1\xBA\x9E\x1F"},
      // Stray continuation bytes are no blank; ill-formed bytes are kept.
      {"\x80\x80\x80\xE2\x80\xA8", "\x80\x80\x80\xE2\x80\xA8", "\x80\x80\x80"},
      {"A\377B\303", "a\377b\303", "A\377B\303"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lowercased(c.in), c.lowered) << c.in;
    EXPECT_EQ(isLowercase(c.in), c.in == c.lowered) << c.in;
    EXPECT_EQ(trimmed(c.in), c.trimmed) << c.in;
  }
}

TEST(HostMatching, Normalized) {
  static const std::pair<std::string_view, std::string_view> values[] = {
      {"www.", "www."},
      {"www. b", " b"},
      {"\xE2\x80\xA8WWW.\xC3\x89XAMPLE.COM\xC2\x85", "\xC3\xA9xample.com"},
  };
  for (const auto& [in, out] : values) {
    EXPECT_EQ(normalizeHostValue(in), out) << in;
    std::deque<std::string> storage;
    EXPECT_EQ(normalizedListEntry(in, storage), out) << in;
  }
}

// Every case runs against the walked list and the indexed one.
TEST(HostMatching, FindCoveringEntry) {
  const std::string longHost = std::string(70, 'a') + ".example.com";
  using Match = std::optional<std::pair<std::size_t, std::size_t>>;  // which host, which entry
  const struct {
    std::vector<std::string> hosts;
    std::vector<std::string_view> entries;
    Match match;
  } cases[] = {
      {{"a.b.example.com"}, {"example.com"}, {{0, 0}}},
      {{"myexample.com"}, {"example.com"}, {}},
      {{"example.com."}, {""}, {{0, 0}}},
      {{"example.com"}, {""}, {}},
      {{"cdn.example.com"}, {"*.example.com", ".example.com"}, {}},
      {{"x.org", "cdn.example.com"}, {"other.net", "example.com", "x.org"}, {{1, 1}}},
      {{"example.com"}, {"x.org", "example.com", "example.com"}, {{0, 1}}},
      {{longHost}, {std::string_view(longHost).substr(9)}, {}},
  };
  for (const auto& c : cases) {
    HostList list{c.entries};
    auto walked = findCoveringEntry(list, c.hosts);
    indexHostList(list);
    for (auto found : {walked, findCoveringEntry(list, c.hosts)})
      EXPECT_EQ(found ? Match({found->host, found->entry}) : std::nullopt, c.match)
          << c.hosts[0].substr(0, 40);
  }
}

std::optional<BypassForms> formsOf(std::string_view url) {
  auto components = parseUrl(url);
  return components ? bypassFormsOf(*components) : std::nullopt;
}

// The exact, prefix and host forms of each URL (through its components); "" when no rule can match it.
TEST(BypassRules, Forms) {
  static const std::pair<std::string_view, std::string_view> cases[] = {
      {"HTTPS://WWW.Example.COM/a.mp4#t=1",
       "https://example.com/a.mp4 https://example.com/a.mp4 example.com"},
      {"https://example.com:0443?q=1", "https://example.com:443?q=1 https://example.com:443/ example.com"},
      {"http://u:p@Example.com/V/A%2f?Q=1#f",
       "http://u:p@example.com/V/A%2f?Q=1 http://example.com/V/A%2f example.com"},
      {"http://[::1]:8080/x?y", "http://[::1]:8080/x?y http://[::1]:8080/x ::1"},
      // Characters browsers send raw after the authority, kept as written.
      {"https://e.com/a[b]{c}|^\\`%zz%4?x=%&y=[1]#f#g%",
       "https://e.com/a[b]{c}|^\\`%zz%4?x=%&y=[1] https://e.com/a[b]{c}|^\\`%zz%4 e.com"},
      // Any digits: a port no socket could use still names its host.
      {"https://example.com:0099999/p",
       "https://example.com:99999/p https://example.com:99999/p example.com"},
      {"https://example.com:1a/", ""},
      {" https://example.com/", ""},
      {"https:example.com/a", ""},
      {"https://%20WWW.A%25.com/", "https://a%25.com/ https://a%.com/ a%.com"},
      {"ftp://example.com/a.mp4", ""},
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
      // Patterns are compared as written: not lower-cased, not trimmed.
      {"https://example.com/a.mp4",
       {{"exactURL", "Https://example.com/a.mp4"}, {"pathPrefix", " https://"}},
       {}},
      {"https://example.com", {{"pathPrefix", "https://example.com/"}}, 0},
      {"https://example.com/a.mp4", {{"exactURL", "https://example.com/a.mp4", false}, video, exact}, 2},
      {"https://example.com/a.mp4",
       {{"ExactURL", "https://example.com/a.mp4"}, {"HostAll", "example.com"}},
       {}},
      {"https://www.example.com/a.mp4", {video, {"hostAll", "x", false, "example.com"}, site, exact}, 2},
      {"https://example.com/a.mp4",
       {{"hostAll", "x", true, "example.com"}, exact, {"hostAll", "y", true, "example.com"}},
       0},
      {"https://example.com/a.mp4", {anyHttp, exact}, 0},
  };
  for (const auto& c : cases) {
    auto forms = formsOf(c.url);
    EXPECT_EQ(firstMatchingRule(*forms, c.rules), c.match) << c.url;
    EXPECT_EQ(firstMatchingRule(*forms, c.rules, indexBypassRules(c.rules)), c.match) << c.url;
  }
}

}  // namespace
}  // namespace qorda
