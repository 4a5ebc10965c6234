#include "text.h"

#include <utf8proc.h>

#include <algorithm>

namespace qorda {
namespace {

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

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
  utf8proc_ssize_t length = utf8proc_iterate(bytes(text), static_cast<utf8proc_ssize_t>(text.size()), &codePoint);
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
  while (start > 0 && text.size() - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
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
  if (!isAscii(text)) return lowercasedUnicode(text) == text;
  return std::none_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

std::string_view trimmed(std::string_view text) {
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
