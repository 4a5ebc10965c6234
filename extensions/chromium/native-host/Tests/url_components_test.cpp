#include "matching/url_components.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

// A URL's components as "scheme|userinfo|host|port|path|query|fragment", "-"
// for an absent one and "|ip" after an IP-literal host; "" when it does not parse.
std::string partsOf(std::string_view text) {
  auto url = parseUrl(text);
  auto part = [](const auto& value) { return value ? std::string(*value) : std::string("-"); };
  if (!url) return "";
  return part(url->scheme) + "|" + part(url->userInfo) + "|" + part(url->host) + "|" + part(url->port) + "|" +
         std::string(url->path) + "|" + part(url->query) + "|" + part(url->fragment) +
         (url->hostIsIPLiteral ? "|ip" : "");
}

TEST(UrlComponents, Parse) {
  static const std::pair<std::string_view, std::string_view> cases[] = {
      {"HTTPS://u:p@WWW.Ex%41mple.com:8080/A%2f?q=1#f", "HTTPS|u:p|WWW.ExAmple.com|8080|/A%2f|q=1|f"},
      {"https://example.com:/a", "https|-|example.com|-|/a|-|-"},
      {"https://example.com:00443", "https|-|example.com|443||-|-"},
      {"https://[::1]:0/x", "https|-|::1|0|/x|-|-|ip"},
      {"https://%20/", "https|-| |-|/|-|-"},
      {"file:///etc/hosts", "file|-||-|/etc/hosts|-|-"},
      {"https:example.com/a", "https|-|-|-|example.com/a|-|-"},
      // Characters browsers send raw after the authority, kept as written.
      {"https://e.com/a[b]{c}|^\\`%zz%4?x=%&y=[1]#f#g%", "https|-|e.com|-|/a[b]{c}|^\\`%zz%4|x=%&y=[1]|f#g%"},
      // Any digits: a port no socket could use still names its host.
      {"https://example.com:0099999/p", "https|-|example.com|99999|/p|-|-"},
      {"https://example.com:1a/", ""},
      {"https://exa mple.com/", ""},
      {"https://example.com/a b", ""},
      {"https://exa[mple.com/", ""},
      {" https://example.com/", ""},
  };
  for (const auto& [text, parts] : cases) EXPECT_EQ(partsOf(text), parts) << text;
}

}  // namespace
}  // namespace qorda
