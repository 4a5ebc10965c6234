// The ordered decision for one request.
#pragma once

#include "checks.h"
#include "json/message.h"
#include "policy_cache.h"
#include "policy_snapshot.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qorda {

// Decides what happens to one request (intent absent: the message had
// none): the checks on the request itself first, then the published policy,
// which cache gives only once they pass. Returns the check that decided.
Check evaluatePolicyAction(const std::optional<RequestIntent>& intent, PolicyCache& cache);

// The decision, and what the check that made it decided on.
struct PolicyExplanation {
  Check decidedBy = Check::noMatch;
  std::string_view hostSource;       // "page", "resource" or "manifest"
  std::string host;                  // the candidate host that a list covered
  std::optional<std::size_t> index;  // the entry of the list, or the rule's published position
  std::string_view entry;            // the list entry, normalised, or the rule's pattern
  std::optional<DirectLinkBypassRule> rule;
  std::string matchedForm;  // the URL form a direct-link rule matched
};

// evaluatePolicyAction under the given policy, with the reasons shown.
PolicyExplanation explainPolicyAction(const std::optional<RequestIntent>& intent,
                                      const AppGroupPolicy& policy);

}  // namespace qorda
