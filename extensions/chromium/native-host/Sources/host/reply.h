// The reply to one frame, and the compact JSON writer that encodes it.
#pragma once

#include "json/json_decoding.h"
#include "policy/policy_evaluation.h"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

namespace qorda {

inline constexpr std::string_view hostName = "qorda-native-host";
inline constexpr std::string_view hostVersion = "0.0.1";

// The browser drops the whole connection on a bigger message from a host.
inline constexpr std::size_t maxReplySize = 1024 * 1024;

struct ReplyMember {
  std::string_view key;
  std::variant<bool, std::string_view> value;
};

// A reply object: at most seven members, in the order they are written.
struct ReplyObject {
  std::array<ReplyMember, 7> members;
  std::size_t count = 0;
};

// The reply to a message that decoded: accepted, with the echoed
// "messageType" and "requestId" and the policy action.
ReplyObject buildReply(JsonObject message, const PolicyAction& policyAction);

// The reply to a frame that did not decode.
ReplyObject buildErrorReply(HostError error);

// Writes reply as compact JSON into out. Returns false, leaving out
// unspecified, when the text would exceed maxReplySize.
bool encodeReply(const ReplyObject& reply, std::string& out);

// The text of the reply to one frame: its decision when it decoded, its error
// otherwise, and "{}" when that reply would be too long to send.
void encodeReplyText(const DecodedMessage& message, const std::optional<PolicyAction>& decision,
                     std::string& out);

}  // namespace qorda
