// The ordered decision for one request message.
#pragma once

#include "../host/json_message.h"

#include <optional>
#include <string_view>

namespace qorda {

inline constexpr std::string_view takeoverAction = "takeover";
inline constexpr std::string_view blockedAction = "blocked";
inline constexpr std::string_view bypassAction = "bypass";

struct PolicyAction {
  std::string_view action;
  std::optional<std::string_view> reason;  // absent exactly for takeover
};

// Decides what happens to one request: the checks on the request itself
// first, then the published policy, which is read only when they pass.
PolicyAction evaluatePolicyAction(JsonObject message);

}  // namespace qorda
