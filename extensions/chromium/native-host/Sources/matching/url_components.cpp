#include "url_components.h"

#include "text.h"

#include <uriparser/Uri.h>

#include <memory>

namespace qorda {
namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Length of "scheme:" at the start of text, or 0 when text has no scheme.
std::size_t schemeLength(std::string_view text) {
  if (text.empty() || !isAlpha(text[0])) return 0;
  for (std::size_t i = 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == ':') return i + 1;
    if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return 0;
  }
  return 0;
}

// Where the part after the authority begins: path, query and fragment.
std::size_t afterAuthority(std::string_view text) {
  std::size_t start = schemeLength(text);
  if (text.substr(start, 2) != "//") return start;
  std::size_t end = text.find_first_of("/?#", start + 2);
  return end == std::string_view::npos ? text.size() : end;
}

void appendPercentEncoded(std::string& out, char ch) {
  static constexpr char hex[] = "0123456789ABCDEF";
  auto c = static_cast<unsigned char>(ch);
  out += '%';
  out += hex[c >> 4];
  out += hex[c & 0xF];
}

bool isBrowserRawCharacter(std::string_view rest, std::size_t i, bool inFragment) {
  switch (rest[i]) {
    case '[':
    case ']':
    case '{':
    case '}':
    case '|':
    case '^':
    case '\\':
    case '`':
      return true;
    case '%':
      return !(i + 2 < rest.size() && isHexDigit(rest[i + 1]) && isHexDigit(rest[i + 2]));
    case '#':
      return inFragment;
    default:
      return false;
  }
}

// A copy of text that a strict RFC 3986 parser takes: the characters that
// browsers leave raw after the authority are percent-encoded. Empty when no
// character needs it, so the common case copies nothing.
std::string strictCopy(std::string_view text) {
  std::size_t start = afterAuthority(text);
  std::string_view rest = text.substr(start);
  std::string copy;
  bool inFragment = false;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    bool raw = isBrowserRawCharacter(rest, i, inFragment);
    if (raw && copy.empty()) copy.assign(text.substr(0, start + i));
    if (raw) {
      appendPercentEncoded(copy, rest[i]);
    } else if (!copy.empty()) {
      copy += rest[i];
    }
    if (rest[i] == '#') inFragment = true;
  }
  return copy;
}

struct UriDeleter {
  void operator()(UriUriA* uri) const {
    uriFreeUriMembersA(uri);
    delete uri;
  }
};

std::string_view rangeText(const UriTextRangeA& range, std::string_view parsed, std::string_view original) {
  // An empty range may point at the parser's own empty string.
  if (range.first == range.afterLast) return {};
  // The authority is never re-encoded, so its offsets hold in the original.
  auto offset = static_cast<std::size_t>(range.first - parsed.data());
  return original.substr(offset, static_cast<std::size_t>(range.afterLast - range.first));
}

bool isPresent(const UriTextRangeA& range) { return range.first != nullptr; }

// Bytes that do not decode to UTF-8 are kept: hosts are compared as bytes.
std::string decodedHost(std::string_view hostText) {
  std::string host(hostText);
  const char* end = uriUnescapeInPlaceExA(host.data(), URI_FALSE, URI_BR_DONT_TOUCH);
  host.resize(static_cast<std::size_t>(end - host.data()));
  return host;
}

// Splits the part after the authority the way RFC 3986 delimits it.
void splitPathQueryFragment(std::string_view rest, UrlComponents& components) {
  std::size_t hash = rest.find('#');
  if (hash != std::string_view::npos) {
    components.fragment = rest.substr(hash + 1);
    rest = rest.substr(0, hash);
  }
  std::size_t question = rest.find('?');
  if (question != std::string_view::npos) {
    components.query = rest.substr(question + 1);
    rest = rest.substr(0, question);
  }
  components.path = rest;
}

bool isRegNameByte(unsigned char c) {
  return isAlpha(static_cast<char>(c)) || isDigit(static_cast<char>(c)) ||
         std::string_view("-._~!$&'()*+,;=").find(static_cast<char>(c)) != std::string_view::npos;
}

void appendEncodedHost(std::string& out, std::string_view host) {
  for (char ch : host) {
    if (isRegNameByte(static_cast<unsigned char>(ch)))
      out += ch;
    else
      appendPercentEncoded(out, ch);
  }
}

// RFC 3986 allows any number of digits in a port: a port no socket could use
// still names its host, and must not hide it from the host lists.
std::string_view withoutLeadingZeros(std::string_view digits) {
  std::size_t first = digits.find_first_not_of('0');
  return first == std::string_view::npos ? digits.substr(digits.size() - 1) : digits.substr(first);
}

}  // namespace

std::optional<UrlComponents> parseUrl(std::string_view text) {
  std::string copy = strictCopy(text);
  std::string_view parsed = copy.empty() ? text : std::string_view(copy);
  std::unique_ptr<UriUriA, UriDeleter> uri(new UriUriA{});
  const char* errorPosition = nullptr;
  if (uriParseSingleUriExA(uri.get(), parsed.data(), parsed.data() + parsed.size(), &errorPosition) !=
      URI_SUCCESS)
    return std::nullopt;

  UrlComponents components;
  if (isPresent(uri->scheme)) components.scheme = rangeText(uri->scheme, parsed, text);
  if (isPresent(uri->userInfo)) components.userInfo = rangeText(uri->userInfo, parsed, text);
  if (isPresent(uri->hostText)) {
    components.host = decodedHost(rangeText(uri->hostText, parsed, text));
    components.hostIsIPLiteral = uri->hostData.ip6 != nullptr || isPresent(uri->hostData.ipFuture);
  }
  if (isPresent(uri->portText) && uri->portText.first != uri->portText.afterLast) {
    components.port = withoutLeadingZeros(rangeText(uri->portText, parsed, text));
  }
  splitPathQueryFragment(text.substr(afterAuthority(text)), components);
  return components;
}

bool hasHttpScheme(const UrlComponents& components) {
  if (!components.scheme) return false;
  std::string scheme = lowercased(*components.scheme);
  return scheme == "http" || scheme == "https";
}

std::string recomposedUrl(const UrlComponents& components, std::string_view scheme, std::string_view host) {
  std::string out;
  out.reserve(scheme.size() + host.size() + components.path.size() + 16 +
              (components.query ? components.query->size() : 0) +
              (components.userInfo ? components.userInfo->size() : 0));
  out.append(scheme);
  out += "://";
  if (components.userInfo) {
    out.append(*components.userInfo);
    out += '@';
  }
  if (components.hostIsIPLiteral) {
    out += '[';
    out.append(host);
    out += ']';
  } else {
    appendEncodedHost(out, host);
  }
  if (components.port) {
    out += ':';
    out.append(*components.port);
  }
  out.append(components.path);
  if (components.query) {
    out += '?';
    out.append(*components.query);
  }
  return out;
}

}  // namespace qorda
