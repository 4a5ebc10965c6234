// The reply to one frame, and the compact JSON writer that encodes it.
#pragma once

#include "json/json_decoding.h"
#include "policy/checks.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

namespace qorda {

inline constexpr std::string_view hostName = "qorda-native-host";
inline constexpr std::string_view hostVersion = "0.0.1";

// The browser drops the whole connection on a bigger message from a host.
inline constexpr std::size_t maxReplySize = 1024 * 1024;

// A message that decoded: its echoes and the check that decided it.
struct Decided {
  std::optional<std::string_view> messageType;
  std::optional<std::string_view> requestId;
  Check decision;
};

// The reply to one frame: its decision, or why the frame was no message.
using Reply = std::variant<Decided, HostError>;

struct PolicyCache;

// The reply to one decoded frame: a message is decided under the policy in
// cache, anything else is refused with its error.
Reply replyTo(const DecodedMessage& decoded, PolicyCache& cache);

// True when the reply hands the request over to the desktop application.
bool isTakeover(const Reply& reply);

// Writes reply as compact JSON into out; "{}" when the text would exceed
// maxReplySize.
void encodeReply(const Reply& reply, std::string& out);

}  // namespace qorda
