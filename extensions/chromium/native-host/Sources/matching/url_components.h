// RFC 3986 parsing of URL texts, with the few operations the matchers need.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qorda {

// The parts of one URL text. Views point into the parsed text, which must
// outlive this record; only the host is decoded and so owned.
struct UrlComponents {
  std::optional<std::string_view> scheme;    // as written
  std::optional<std::string_view> userInfo;  // as written, without "@"
  std::optional<std::string> host;           // percent-decoded; IP literals without brackets
  bool hostIsIPLiteral = false;
  std::optional<std::string_view> port;      // decimal digits without leading zeros
  std::string_view path;                     // as written, escapes included
  std::optional<std::string_view> query;     // as written, without "?"
  std::optional<std::string_view> fragment;  // as written, without "#"
};

// Parses text, unchanged, as a URI reference; nothing when it is not one.
// Characters that browsers leave raw after the authority (brackets, braces,
// "|", "^", "\", "`", a stray "%" and a second "#") are accepted there.
std::optional<UrlComponents> parseUrl(std::string_view text);

// True when the scheme is http or https, in any letter case.
bool hasHttpScheme(const UrlComponents& components);

// The URL text of components after replacing scheme and host and dropping
// the fragment. Expects components with a host.
std::string recomposedUrl(const UrlComponents& components, std::string_view scheme, std::string_view host);

}  // namespace qorda
