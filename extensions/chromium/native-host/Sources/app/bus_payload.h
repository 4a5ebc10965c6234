// The capture signal's payload: the message text, made fit to travel on the
// session bus, whose library refuses some texts that the inbox keeps.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qorda {

// A D-Bus array holds at most 64 MiB; the payload shares its one with a key
// and a note.
inline constexpr std::size_t largestBusPayload = 64 * 1024 * 1024 - 4096;

struct BusPayload {
  std::string text;
  // Why text is not the message text: "noncharacters_replaced" (each Unicode
  // noncharacter became U+FFFD) or "too_large" (text is empty).
  std::optional<std::string_view> alteration;
};

// messageText as the signal can carry it; messageText is valid UTF-8.
BusPayload busPayloadOf(std::string_view messageText);

}  // namespace qorda
