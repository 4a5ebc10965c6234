#include "policy_evaluation.h"

#include "../matching/bypass_rules.h"
#include "../matching/host_matching.h"
#include "policy_snapshot.h"
#include "request_classifiers.h"

namespace qorda {
namespace {

PolicyAction blocked(std::string_view reason) { return {blockedAction, reason}; }
PolicyAction bypassed(std::string_view reason) { return {bypassAction, reason}; }

std::optional<PolicyAction> requestDecision(JsonObject intent) {
  auto hints = objectAt(intent, "policyHints");
  if (hints && boolAt(*hints, "drmSuspected") == true) return blocked("drm_suspected");
  if (nestedStringAt(intent, "classification", "deliveryType") == "websocket_custom_transport")
    return blocked("websocket_transport");
  if (hasUnsupportedScheme(intent)) return blocked("unsupported_scheme");
  if (isNonMediaMime(intent)) return blocked("non_media_mime");
  return std::nullopt;
}

// The normalised patterns of the enabled "hostAll" rules.
HostSet hostAllPatterns(const AppGroupPolicy& policy, std::deque<std::string>& storage) {
  HostSet hosts;
  for (const DirectLinkBypassRule& rule : policy.bypassRules) {
    if (rule.enabled && rule.scope == hostAllScope) hosts.push_back(normalizedHostView(rule.pattern, storage));
  }
  return hosts;
}

bool isEmpty(const AppGroupPolicy& policy) {
  return policy.hardBlockedHosts.empty() && policy.userDenyHosts.empty() && policy.remoteBypassHosts.empty() &&
         policy.bypassRules.empty();
}

std::optional<PolicyAction> policyDecision(JsonObject intent, const AppGroupPolicy& policy) {
  // Nothing below can match; spare the URL parsing.
  if (isEmpty(policy)) return std::nullopt;
  // The request's hosts are found once and tried against every list.
  CandidateHosts candidates = candidateHostsOf(intent);
  if (matchesAnyCandidateHost(candidates, policy.hardBlockedHosts)) return blocked("hard_blocked_site");
  if (matchesAnyCandidateHost(candidates, policy.userDenyHosts)) return blocked("user_denied_site");
  if (matchesAnyCandidateHost(candidates, policy.remoteBypassHosts)) return bypassed("remote_bypass_site");
  std::deque<std::string> storage;
  if (matchesAnyCandidateHost(candidates, hostAllPatterns(policy, storage))) return bypassed("user_bypass_rule");
  if (isDirectLinkSignal(intent)) {
    auto url = nestedStringAt(intent, "resource", "url");
    if (url && matchesDirectLinkBypassRule(*url, policy.bypassRules)) return bypassed("user_bypass_rule");
  }
  return std::nullopt;
}

}  // namespace

PolicyAction evaluatePolicyAction(JsonObject message) {
  auto payload = objectAt(message, "payload");
  auto intent = payload ? objectAt(*payload, "intent") : std::nullopt;
  if (!intent) return {takeoverAction, std::nullopt};
  if (auto decision = requestDecision(*intent)) return *decision;
  if (auto decision = policyDecision(*intent, loadPolicyFromAppGroup())) return *decision;
  return {takeoverAction, std::nullopt};
}

}  // namespace qorda
