#include "policy_evaluation.h"

#include "json/json_lookup.h"
#include "request_classifiers.h"

#include <algorithm>
#include <array>

namespace qorda {
namespace {

// The request as the checks read it: the resource URL is parsed once and
// serves the scheme check, the host lists and the direct-link rules.
struct Request {
  JsonObject intent;
  std::optional<std::string_view> resourceUrl;
  std::optional<UrlComponents> resource;
};

// The hosts of a request's page, resource and manifest URLs, each once.
struct CandidateHosts {
  std::vector<std::string> hosts;
  std::vector<std::string_view> sources;
};

// Stops at the first check that decides; records what it decided on.
struct Outcome {
  PolicyExplanation explanation;
  bool explain = false;
  bool decided = false;

  void decide(std::string_view action, std::optional<std::string_view> reason, std::string_view decidedBy) {
    explanation.policyAction = {action, reason};
    explanation.decidedBy = decidedBy;
    decided = true;
  }
};

CandidateHosts candidateHostsOf(const Request& request) {
  CandidateHosts candidates;
  auto add = [&](std::optional<std::string> host, std::string_view source) {
    if (!host) return;
    // A second pass takes off a "www." that the first left.
    std::string twice = normalizeHostValue(*host);
    if (std::find(candidates.hosts.begin(), candidates.hosts.end(), twice) != candidates.hosts.end()) return;
    candidates.hosts.push_back(std::move(twice));
    candidates.sources.push_back(source);
  };
  auto pageUrl = nestedStringAt(request.intent, "sourceContext", "pageUrl");
  if (pageUrl) add(normalizedUrlHost(*pageUrl), "page");
  if (request.resource) add(normalizedUrlHost(*request.resource), "resource");
  auto manifestUrl = nestedStringAt(request.intent, "manifest", "url");
  if (manifestUrl) add(normalizedUrlHost(*manifestUrl), "manifest");
  return candidates;
}

void checkRequest(const Request& request, Outcome& outcome) {
  auto hints = objectAt(request.intent, "policyHints");
  if (hints && boolAt(*hints, "drmSuspected") == true)
    return outcome.decide(blockedAction, "drm_suspected", "drm_hint");
  if (nestedStringAt(request.intent, "classification", "deliveryType") == "websocket_custom_transport")
    return outcome.decide(blockedAction, "websocket_transport", "transport");
  if (hasUnsupportedScheme(request.resource))
    return outcome.decide(blockedAction, "unsupported_scheme", "scheme");
  if (isNonMediaMime(request.intent)) return outcome.decide(blockedAction, "non_media_mime", "mime_type");
}

bool isEmpty(const AppGroupPolicy& policy) {
  return policy.hardBlockedHosts.entries.empty() && policy.userDenyHosts.entries.empty() &&
         policy.remoteBypassHosts.entries.empty() && policy.bypassRules.empty();
}

void checkHostList(const HostList& list, const CandidateHosts& candidates, Outcome& outcome,
                   std::string_view action, std::string_view reason, std::string_view decidedBy) {
  if (outcome.decided) return;
  auto match = findCoveringEntry(list, candidates.hosts);
  if (!match) return;
  outcome.decide(action, reason, decidedBy);
  if (!outcome.explain) return;
  outcome.explanation.hostSource = candidates.sources[match->host];
  outcome.explanation.host = candidates.hosts[match->host];
  outcome.explanation.index = match->entry;
  outcome.explanation.entry = match->text;
}

void checkDirectLinkRules(const Request& request, const AppGroupPolicy& policy, Outcome& outcome) {
  if (outcome.decided || policy.bypassRules.empty() || !request.resource ||
      !isDirectLinkSignal(request.intent))
    return;
  auto forms = bypassFormsOf(*request.resource);
  auto rule = forms ? firstMatchingRule(*forms, policy.bypassRules, policy.bypassRuleIndex) : std::nullopt;
  if (!rule) return;
  outcome.decide(bypassAction, "user_bypass_rule", "direct_link_rules");
  if (!outcome.explain) return;
  outcome.explanation.index = *rule;
  std::string_view scope = policy.bypassRules[*rule].scope;
  outcome.explanation.matchedForm = scope == exactURLScope     ? forms->exact
                                    : scope == pathPrefixScope ? forms->prefix
                                                               : forms->host;
}

void checkPolicy(const Request& request, const AppGroupPolicy& policy, Outcome& outcome) {
  // Nothing below can match; spare the URL parsing.
  if (isEmpty(policy)) return;
  CandidateHosts candidates = candidateHostsOf(request);
  checkHostList(policy.hardBlockedHosts, candidates, outcome, blockedAction, "hard_blocked_site",
                "hardBlockedHosts");
  checkHostList(policy.userDenyHosts, candidates, outcome, blockedAction, "user_denied_site",
                "userDenyHosts");
  checkHostList(policy.remoteBypassHosts, candidates, outcome, bypassAction, "remote_bypass_site",
                "remoteBypassHosts");
  checkHostList(policy.hostAllPatterns, candidates, outcome, bypassAction, "user_bypass_rule",
                "hostAll_rules");
  checkDirectLinkRules(request, policy, outcome);
}

// The ordered checks; loadPolicy is called only once the request checks pass.
template <typename LoadPolicy>
PolicyExplanation evaluate(JsonObject message, LoadPolicy loadPolicy, bool explain) {
  Outcome outcome;
  outcome.explain = explain;
  auto payload = objectAt(message, "payload");
  auto intent = payload ? objectAt(*payload, "intent") : std::nullopt;
  if (!intent) {
    outcome.decide(takeoverAction, std::nullopt, "no_intent");
    return outcome.explanation;
  }
  Request request{*intent, nestedStringAt(*intent, "resource", "url"), std::nullopt};
  if (request.resourceUrl) request.resource = parseUrl(*request.resourceUrl);
  checkRequest(request, outcome);
  if (!outcome.decided) checkPolicy(request, loadPolicy(), outcome);
  if (!outcome.decided) outcome.decide(takeoverAction, std::nullopt, "no_match");
  return outcome.explanation;
}

}  // namespace

PolicyAction evaluatePolicyAction(JsonObject message) {
  return evaluate(
             message, []() -> const AppGroupPolicy& { return loadPolicyFromAppGroup(); }, false)
      .policyAction;
}

PolicyExplanation explainPolicyAction(JsonObject message, const AppGroupPolicy& policy) {
  PolicyExplanation explanation = evaluate(
      message, [&]() -> const AppGroupPolicy& { return policy; }, true);
  // A rule is named as published: its pattern as written, its position in
  // the snapshot's array.
  if (explanation.decidedBy == "hostAll_rules" || explanation.decidedBy == "direct_link_rules") {
    explanation.rule = policy.bypassRules[*explanation.index];
    explanation.entry = explanation.rule->pattern;
    explanation.index = policy.bypassRulePositions[*explanation.index];
  }
  return explanation;
}

}  // namespace qorda
