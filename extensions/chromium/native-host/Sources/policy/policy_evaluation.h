// The ordered decision for one request message.
#pragma once

#include "json/json_decoding.h"
#include "policy_snapshot.h"

#include <cstddef>
#include <optional>
#include <string>
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

// The decision, and which check made it and on what.
struct PolicyExplanation {
  PolicyAction policyAction;
  // "no_intent", "drm_hint", "transport", "scheme", "mime_type", a host
  // list's key, "hostAll_rules", "direct_link_rules" or "no_match".
  std::string_view decidedBy;
  std::string_view hostSource;       // "page", "resource" or "manifest"
  std::string host;                  // the candidate host that a list covered
  std::optional<std::size_t> index;  // the entry of the list, or the rule's published position
  std::string_view entry;            // the list entry, normalised, or the rule's pattern
  std::optional<DirectLinkBypassRule> rule;
  std::string matchedForm;  // the URL form a direct-link rule matched
};

// evaluatePolicyAction under the given policy, with the reasons shown.
PolicyExplanation explainPolicyAction(JsonObject message, const AppGroupPolicy& policy);

}  // namespace qorda
