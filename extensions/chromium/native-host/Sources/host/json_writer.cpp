#include "json_writer.h"

namespace qorda {

void appendJsonString(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  out += '"';
  std::size_t plainStart = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.substr(plainStart, i - plainStart));
    plainStart = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\u00";
        out += hex[c >> 4];
        out += hex[c & 0xF];
    }
  }
  out.append(text.substr(plainStart));
  out += '"';
}

std::size_t jsonStringSize(std::string_view text) {
  std::size_t size = text.size() + 2;
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\' || c == '\n' || c == '\r' || c == '\t') size += 1;
    else if (c < 0x20) size += 5;
  }
  return size;
}

}  // namespace qorda
