#include "bus_payload.h"

#include <cstdint>

namespace qorda {
namespace {

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

// U+FDD0 to U+FDEF, and the last two code points of every plane.
bool isNoncharacter(std::uint32_t codePoint) {
  return (codePoint >= 0xFDD0 && codePoint <= 0xFDEF) || (codePoint & 0xFFFE) == 0xFFFE;
}

// The length of the noncharacter that text starts with, or 0. Every
// noncharacter is three or four bytes long in UTF-8.
std::size_t noncharacterAt(std::string_view text) {
  auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(text[i])); };
  if (text.size() >= 3 && (byte(0) & 0xF0) == 0xE0) {
    std::uint32_t codePoint = (byte(0) & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
    return isNoncharacter(codePoint) ? 3 : 0;
  }
  if (text.size() >= 4 && (byte(0) & 0xF8) == 0xF0) {
    std::uint32_t codePoint =
        (byte(0) & 0x07) << 18 | (byte(1) & 0x3F) << 12 | (byte(2) & 0x3F) << 6 | (byte(3) & 0x3F);
    return isNoncharacter(codePoint) ? 4 : 0;
  }
  return 0;
}

}  // namespace

BusPayload busPayloadOf(std::string_view messageText) {
  if (messageText.size() > largestBusPayload) return {"", "too_large"};
  BusPayload payload;
  payload.text.reserve(messageText.size());
  std::size_t plainStart = 0;
  for (std::size_t i = 0; i < messageText.size(); ++i) {
    // Only a lead byte of three or four can start a noncharacter.
    if (static_cast<unsigned char>(messageText[i]) < 0xE0) continue;
    std::size_t length = noncharacterAt(messageText.substr(i));
    if (length == 0) continue;
    payload.text.append(messageText.substr(plainStart, i - plainStart)).append(replacementCharacter);
    plainStart = i + length;
    i += length - 1;
    payload.alteration = "noncharacters_replaced";
  }
  payload.text.append(messageText.substr(plainStart));
  return payload;
}

}  // namespace qorda
