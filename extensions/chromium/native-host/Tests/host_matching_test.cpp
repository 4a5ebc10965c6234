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
    EXPECT_EQ(normalizedListEntry(c.in, storage), c.out) << c.in;
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
  for (const auto& c : cases) EXPECT_EQ(normalizedUrlHost(c.url), c.host) << c.url;
}

// Every case runs against the walked list and the indexed one.
TEST(HostMatching, FindCoveringEntry) {
  const std::string longHost = std::string(70, 'a') + ".example.com";
  const std::string manyLabels = [] {
    std::string host;
    for (int i = 0; i < 200000; ++i) host += "a.";
    return host + "example.com";
  }();
  const struct {
    std::vector<std::string> hosts;
    std::vector<std::string_view> entries;
    std::optional<HostListMatch> match;
  } cases[] = {
      {{"example.com"}, {}, std::nullopt},
      {{}, {"example.com"}, std::nullopt},
      {{"a.b.example.com"}, {"example.com"}, HostListMatch{0, 0}},
      {{"myexample.com"}, {"example.com"}, std::nullopt},
      {{"example.com.evil.net"}, {"example.com"}, std::nullopt},
      {{"example.com."}, {"example.com"}, std::nullopt},
      {{"example.com."}, {""}, HostListMatch{0, 0}},
      {{"example.com"}, {""}, std::nullopt},
      {{""}, {""}, HostListMatch{0, 0}},
      {{"192.168.0.1"}, {"0.1"}, HostListMatch{0, 0}},
      {{"cdn.example.com"}, {"*.example.com", ".example.com", "https://example.com"}, std::nullopt},
      {{"x.org", "cdn.example.com"}, {"other.net", "example.com", "x.org"}, HostListMatch{1, 1}},
      {{"example.com"}, {"x.org", "example.com", "example.com"}, HostListMatch{0, 1}},
      {{longHost}, {longHost}, HostListMatch{0, 0}},
      {{longHost}, {std::string_view(longHost).substr(9)}, std::nullopt},
      {{manyLabels}, {"b.example.com", "a.a.example.com"}, HostListMatch{0, 1}},
  };
  for (const auto& c : cases) {
    HostList list{c.entries};
    auto walked = findCoveringEntry(list, c.hosts);
    indexHostList(list);
    for (auto found : {walked, findCoveringEntry(list, c.hosts)}) {
      ASSERT_EQ(found.has_value(), c.match.has_value()) << ::testing::PrintToString(c.entries);
      if (found) {
        EXPECT_EQ(std::pair(found->host, found->entry), std::pair(c.match->host, c.match->entry));
      }
    }
  }
}

}  // namespace
}  // namespace qorda
