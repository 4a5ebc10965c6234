#include "matching/url_components.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

using std::nullopt;
using Part = std::optional<std::string_view>;

TEST(UrlComponents, Parse) {
  static const struct {
    std::string_view text;
    bool parses;
    Part scheme, userInfo, host;
    Part port;
    std::string_view path;
    Part query, fragment;
    bool ipLiteral = false;
  } cases[] = {
      {"HTTPS://u:p@WWW.Ex%41mple.com:8080/A%2f?q=1#f", true, "HTTPS", "u:p", "WWW.ExAmple.com", "8080", "/A%2f", "q=1",
       "f"},
      {"https://example.com:/a", true, "https", nullopt, "example.com", nullopt, "/a"},
      {"https://example.com:00443", true, "https", nullopt, "example.com", "443"},
      {"https://[::1]:0/x", true, "https", nullopt, "::1", "0", "/x", nullopt, nullopt, true},
      {"https://%20/", true, "https", nullopt, " ", nullopt, "/"},
      {"file:///etc/hosts", true, "file", nullopt, "", nullopt, "/etc/hosts"},
      {"https:example.com/a", true, "https", nullopt, nullopt, nullopt, "example.com/a"},
      // Characters browsers send raw after the authority, kept as written.
      {"https://e.com/a[b]{c}|^\\`%zz%4?x=%&y=[1]#f#g%", true, "https", nullopt, "e.com", nullopt,
       "/a[b]{c}|^\\`%zz%4", "x=%&y=[1]", "f#g%"},
      // Any digits: a port no socket could use still names its host.
      {"https://example.com:0099999/p", true, "https", nullopt, "example.com", "99999", "/p"},
      {"https://example.com:1a/", false},
      {"https://exa mple.com/", false},
      {"https://example.com/a b", false},
      {"https://exa[mple.com/", false},
      {" https://example.com/", false},
  };
  for (const auto& c : cases) {
    auto url = parseUrl(c.text);
    ASSERT_EQ(url.has_value(), c.parses) << c.text;
    if (!url) continue;
    EXPECT_EQ(url->scheme, c.scheme) << c.text;
    EXPECT_EQ(url->userInfo, c.userInfo) << c.text;
    EXPECT_EQ(url->host, c.host) << c.text;
    EXPECT_EQ(url->hostIsIPLiteral, c.ipLiteral) << c.text;
    EXPECT_EQ(url->port, c.port) << c.text;
    EXPECT_EQ(url->path, c.path) << c.text;
    EXPECT_EQ(url->query, c.query) << c.text;
    EXPECT_EQ(url->fragment, c.fragment) << c.text;
  }
}

}  // namespace
}  // namespace qorda
