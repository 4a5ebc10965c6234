#include "matching/host_matching.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

TEST(HostMatching, NormalizeHostValue) {
  static const struct {
    std::string_view in, out;
  } cases[] = {
      {"www.", "www."},
      {"www.a", "a"},
      {"\tExample.com:8080/Path ", "example.com:8080/path"},
      {"www.\xC2\xA0", "www."},
      {"\xE2\x80\xA8WWW.\xC3\x89XAMPLE.COM\xC2\x85", "\xC3\xA9xample.com"},
      {"\xC4\xB0.com", "i\xCC\x87.com"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(normalizeHostValue(c.in), c.out) << c.in;
    std::deque<std::string> storage;
    EXPECT_EQ(normalizedHostView(c.in, storage), c.out) << c.in;
  }
}

TEST(HostMatching, NormalizedHostOfUrl) {
  static const struct {
    std::string_view url;
    std::optional<std::string> host;
  } cases[] = {
      {"https://WWW.Example.com:8443/a?b#c", "example.com"},
      {"HTTP://www.www.Example.com/", "www.example.com"},
      {"https://%C3%89xample.com/", "\xC3\xA9xample.com"},
      {"https://%FF.com/", "\xFF.com"},
      {"https://[::1]:81/", "::1"},
      {"https://%20/", ""},  // a host of blanks is still a host
      {"example.com/video.mp4", std::nullopt},
      {"file:///tmp/a.mp4", std::nullopt},
      {"https://", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(normalizedHost(c.url), c.host) << c.url;
}

TEST(HostMatching, MatchesAnyCandidateHost) {
  auto onResource = [](std::string_view host) {
    return R"({"resource":{"url":"https://)" + std::string(host) + "/\"}}";
  };
  const std::string longHost = std::string(60, 'a') + ".example.com";  // longer than the length bitmask
  const std::string_view longView = longHost;
  const struct {
    std::string intent;
    HostSet suffixes;
    bool matches;
  } cases[] = {
      {onResource("example.com"), {}, false},
      {onResource("a.b.example.com"), {"example.com"}, true},
      {onResource("myexample.com"), {"example.com"}, false},
      {onResource("example.com.evil.net"), {"example.com"}, false},
      {onResource("example.com."), {"example.com"}, false},
      {onResource("example.com."), {""}, true},
      {onResource("example.com"), {""}, false},
      {onResource("%20"), {""}, true},
      {onResource("192.168.0.1"), {"0.1"}, true},
      {onResource("cdn.example.com"), {"*.example.com", ".example.com", "https://example.com"}, false},
      {onResource("www.www.example.com"), {"www.example.com"}, false},
      {onResource("cdn.www.example.com"), {"www.example.com"}, true},
      {onResource("example.com"), {"x.org", "x.org", "example.com"}, true},
      {R"({"sourceContext":{"pageUrl":"https://www.example.com/"},"resource":{"url":"https://cdn.net/"}})",
       {"example.com"}, true},
      {R"({"manifest":{"url":"https://cdn.example.com/m.m3u8"}})", {"example.com"}, true},
      {R"({"sourceContext":"https://example.com/","resource":{"url":"https://other.net/a"}})", {"example.com"}, false},
      {R"({"resource":{"url":5},"manifest":{"url":"https://example.com/m"}})", {"example.com"}, true},
      {R"({"resource":{"url":"https://exa mple.com/"},"manifest":{"url":"file:///m"}})", {"example.com", ""}, false},
      {onResource(longHost), {longView}, true},
      {onResource(longHost), {longView.substr(9)}, false},  // 63 bytes, not after a dot
  };
  for (const auto& c : cases) {
    test::JsonText intent(c.intent);
    EXPECT_EQ(matchesAnyCandidateHost(intent, c.suffixes), c.matches)
        << c.intent << " / " << ::testing::PrintToString(c.suffixes);
  }
}

}  // namespace
}  // namespace qorda
