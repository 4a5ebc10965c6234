#include "matching/host_matching.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

TEST(HostMatching, NormalizeHostValue) {
  static const std::pair<std::string_view, std::string_view> cases[] = {
      {"www.", "www."},
      {"www.a", "a"},
      {"www.www.a", "www.a"},
      {"www.\xC2\xA0", "www."},
      {"www. b", " b"},
      {"\tExample.com:8080/Path ", "example.com:8080/path"},
      {"\xE2\x80\xA8WWW.\xC3\x89XAMPLE.COM\xC2\x85", "\xC3\xA9xample.com"},
      {"\xC4\xB0.com", "i\xCC\x87.com"},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(normalizeHostValue(in), out) << in;
    std::deque<std::string> storage;
    EXPECT_EQ(normalizedListEntry(in, storage), out) << in;
  }
}

TEST(HostMatching, NormalizedHostOfUrl) {
  static const std::pair<std::string_view, std::optional<std::string>> cases[] = {
      {"HTTP://www.www.Example.com/", "www.example.com"},
      {"https://%C3%89xample.com/", "\xC3\xA9xample.com"},
      {"https://%FF.com/", "\xFF.com"},
      {"https://[::1]:81/", "::1"},
      {"https://%20/", ""},  // a host of blanks is still a host
      {"file:///tmp/a.mp4", {}},
      {"https://", {}},
  };
  for (const auto& [url, host] : cases) EXPECT_EQ(normalizedUrlHost(url), host) << url;
}

// Every case runs against the walked list and the indexed one.
TEST(HostMatching, FindCoveringEntry) {
  const std::string longHost = std::string(70, 'a') + ".example.com";
  std::string manyLabels;
  for (int i = 0; i < 200000; ++i) manyLabels += "a.";
  manyLabels += "example.com";
  using Match = std::optional<std::pair<std::size_t, std::size_t>>;  // which host, which entry
  const struct {
    std::vector<std::string> hosts;
    std::vector<std::string_view> entries;
    Match match;
  } cases[] = {
      {{"example.com"}, {}, {}},
      {{}, {"example.com"}, {}},
      {{"a.b.example.com"}, {"example.com"}, {{0, 0}}},
      {{"myexample.com"}, {"example.com"}, {}},
      {{"example.com.evil.net"}, {"example.com"}, {}},
      {{"example.com."}, {"example.com"}, {}},
      {{"example.com."}, {""}, {{0, 0}}},
      {{"example.com"}, {""}, {}},
      {{"192.168.0.1"}, {"0.1"}, {{0, 0}}},
      {{"cdn.example.com"}, {"*.example.com", ".example.com", "https://example.com"}, {}},
      {{"x.org", "cdn.example.com"}, {"other.net", "example.com", "x.org"}, {{1, 1}}},
      {{"example.com"}, {"x.org", "example.com", "example.com"}, {{0, 1}}},
      {{longHost}, {longHost}, {{0, 0}}},
      {{longHost}, {std::string_view(longHost).substr(9)}, {}},
      {{manyLabels}, {"b.example.com", "a.a.example.com"}, {{0, 1}}},
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

}  // namespace
}  // namespace qorda
