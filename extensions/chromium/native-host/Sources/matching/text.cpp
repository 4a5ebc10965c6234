#include "text.h"

#include <utf8proc.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace qorda {
namespace {

// Eight bytes at a time: host lists run to hundreds of thousands of entries.
struct AsciiScan {
  bool ascii = true;
  bool capital = false;
};

void scanWord(const char* bytes, std::uint64_t& highBits, std::uint64_t& capitals) {
  constexpr std::uint64_t high = 0x8080808080808080u, low = 0x7F7F7F7F7F7F7F7Fu;
  std::uint64_t word;
  std::memcpy(&word, bytes, 8);
  std::uint64_t seven = word & low;
  highBits |= word & high;
  // Bit 7 ends up set where a 7-bit byte is at least 'A' and below '['.
  capitals |= (seven + 0x3F3F3F3F3F3F3F3Fu) & ~(seven + 0x2525252525252525u) & high;
}

AsciiScan scanAscii(std::string_view text) {
  std::uint64_t highBits = 0, capitals = 0;
  if (text.size() < 8) {
    for (char c : text) {
      highBits |= static_cast<unsigned char>(c) & 0x80u;
      capitals |= static_cast<unsigned char>(c - 'A') < 26u;
    }
    return {highBits == 0, capitals != 0};
  }
  for (std::size_t i = 0; i + 8 <= text.size(); i += 8) scanWord(text.data() + i, highBits, capitals);
  // The last word overlaps the one before; scanning bytes twice changes nothing.
  scanWord(text.data() + text.size() - 8, highBits, capitals);
  return {highBits == 0, capitals != 0};
}

bool isAscii(std::string_view text) { return scanAscii(text).ascii; }

bool isAsciiSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool isWhiteSpace(utf8proc_int32_t codePoint) {
  if (codePoint < 0x80) return isAsciiSpace(static_cast<unsigned char>(codePoint));
  if (codePoint == 0x85) return true;
  switch (utf8proc_category(codePoint)) {
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
      return true;
    default:
      return false;
  }
}

const utf8proc_uint8_t* bytes(std::string_view text) {
  return reinterpret_cast<const utf8proc_uint8_t*>(text.data());
}

// Decodes the code point at the start of text; ill-formed bytes count as one
// byte that is never white space (the JSON layer rejects them anyway).
utf8proc_ssize_t decodeFirst(std::string_view text, utf8proc_int32_t& codePoint) {
  utf8proc_ssize_t length =
      utf8proc_iterate(bytes(text), static_cast<utf8proc_ssize_t>(text.size()), &codePoint);
  if (length <= 0) {
    codePoint = -1;
    return 1;
  }
  return length;
}

// Length of the code point that ends text, found by stepping over
// continuation bytes.
std::size_t lastCodePointLength(std::string_view text) {
  std::size_t start = text.size() - 1;
  while (start > 0 && text.size() - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
    --start;
  return text.size() - start;
}

void appendCodePoint(std::string& out, utf8proc_int32_t codePoint) {
  utf8proc_uint8_t buffer[4];
  utf8proc_ssize_t length = utf8proc_encode_char(codePoint, buffer);
  out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
}

std::string lowercasedUnicode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    utf8proc_int32_t codePoint;
    utf8proc_ssize_t length = decodeFirst(text, codePoint);
    if (codePoint < 0) {
      out.push_back(text.front());
    } else if (codePoint == 0x130) {
      // The one unconditional lower-case mapping that yields two code points.
      appendCodePoint(out, 'i');
      appendCodePoint(out, 0x307);
    } else {
      appendCodePoint(out, utf8proc_tolower(codePoint));
    }
    text.remove_prefix(static_cast<std::size_t>(length));
  }
  return out;
}

}  // namespace

std::string lowercased(std::string_view text) {
  if (!isAscii(text)) return lowercasedUnicode(text);
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool isLowercase(std::string_view text) {
  AsciiScan scan = scanAscii(text);
  return scan.ascii ? !scan.capital : lowercasedUnicode(text) == text;
}

std::string_view trimmed(std::string_view text) {
  // Nothing to trim when both ends are ASCII and not white space.
  auto plain = [](char c) {
    return static_cast<unsigned char>(c) < 0x80 && !isAsciiSpace(static_cast<unsigned char>(c));
  };
  if (!text.empty() && plain(text.front()) && plain(text.back())) return text;
  while (!text.empty()) {
    utf8proc_int32_t codePoint;
    utf8proc_ssize_t length = decodeFirst(text, codePoint);
    if (!isWhiteSpace(codePoint)) break;
    text.remove_prefix(static_cast<std::size_t>(length));
  }
  while (!text.empty()) {
    std::size_t length = lastCodePointLength(text);
    utf8proc_int32_t codePoint;
    if (decodeFirst(text.substr(text.size() - length), codePoint) != static_cast<utf8proc_ssize_t>(length) ||
        !isWhiteSpace(codePoint))
      break;
    text.remove_suffix(length);
  }
  return text;
}

}  // namespace qorda
