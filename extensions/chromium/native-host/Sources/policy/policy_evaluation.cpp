#include "policy_evaluation.h"

#include "request_classifiers.h"

#include <algorithm>
#include <vector>

namespace qorda {
namespace {

// The hosts of a request's page, resource and manifest URLs, each once.
struct CandidateHosts {
  std::vector<std::string> hosts;
  std::vector<std::string_view> sources;
};

// What the checks read. The resource URL is parsed once; the policy is
// loaded, and the candidate hosts found, only when a check first needs them.
struct Request {
  const RequestIntent* intent;
  std::optional<UrlComponents> resource;
  PolicyCache* cache = nullptr;
  const AppGroupPolicy* policy = nullptr;
  std::optional<CandidateHosts> candidates;
};

const AppGroupPolicy& policyOf(Request& request) {
  if (!request.policy) request.policy = &currentPolicy(*request.cache);
  return *request.policy;
}

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
  const RequestIntent& intent = *request.intent;
  if (intent.pageUrl) add(normalizedUrlHost(*intent.pageUrl), "page");
  if (request.resource) add(normalizedUrlHost(*request.resource), "resource");
  if (intent.manifestUrl) add(normalizedUrlHost(*intent.manifestUrl), "manifest");
  return candidates;
}

bool isCoveredBy(const HostList& list, Request& request, PolicyExplanation& why) {
  // An empty list spares the URL parsing.
  if (list.entries.empty()) return false;
  if (!request.candidates) request.candidates = candidateHostsOf(request);
  auto match = findCoveringEntry(list, request.candidates->hosts);
  if (!match) return false;
  why.hostSource = request.candidates->sources[match->host];
  why.host = request.candidates->hosts[match->host];
  why.index = match->entry;
  why.entry = match->text;
  return true;
}

bool matchesDirectLinkRule(Request& request, PolicyExplanation& why) {
  const AppGroupPolicy& policy = policyOf(request);
  if (policy.bypassRules.empty() || !request.resource || !isDirectLinkSignal(request.intent->signalType))
    return false;
  auto forms = bypassFormsOf(*request.resource);
  auto rule = forms ? firstMatchingRule(*forms, policy.bypassRules, policy.bypassRuleIndex) : std::nullopt;
  if (!rule) return false;
  why.index = *rule;
  const std::string_view scope = policy.bypassRules[*rule].scope;
  why.matchedForm = scope == exactURLScope     ? forms->exact
                    : scope == pathPrefixScope ? forms->prefix
                                               : forms->host;
  return true;
}

// Whether check decides the request; what it decided on goes to why.
bool applies(Check check, Request& request, PolicyExplanation& why) {
  switch (check) {
    case Check::noIntent:
      return request.intent == nullptr;
    case Check::drmHint:
      return request.intent->drmSuspected;
    case Check::transport:
      return request.intent->deliveryType == "websocket_custom_transport";
    case Check::scheme:
      return hasUnsupportedScheme(request.resource);
    case Check::mimeType:
      return isNonMediaMime(request.intent->mimeType);
    case Check::hardBlocked:
      return isCoveredBy(policyOf(request).hardBlockedHosts, request, why);
    case Check::userDenied:
      return isCoveredBy(policyOf(request).userDenyHosts, request, why);
    case Check::remoteBypass:
      return isCoveredBy(policyOf(request).remoteBypassHosts, request, why);
    case Check::hostAllRules:
      return isCoveredBy(policyOf(request).hostAllPatterns, request, why);
    case Check::directLinkRules:
      return matchesDirectLinkRule(request, why);
    case Check::noMatch:
      return true;
  }
  return true;
}

PolicyExplanation evaluate(Request request) {
  PolicyExplanation why;
  if (request.intent && request.intent->resourceUrl)
    request.resource = parseUrl(*request.intent->resourceUrl);
  for (const CheckRow& row : checkTable) {
    if (!applies(row.check, request, why)) continue;
    why.decidedBy = row.check;
    break;
  }
  return why;
}

}  // namespace

Check evaluatePolicyAction(const std::optional<RequestIntent>& intent, PolicyCache& cache) {
  return evaluate({intent ? &*intent : nullptr, std::nullopt, &cache, nullptr, std::nullopt}).decidedBy;
}

PolicyExplanation explainPolicyAction(const std::optional<RequestIntent>& intent,
                                      const AppGroupPolicy& policy) {
  PolicyExplanation why =
      evaluate({intent ? &*intent : nullptr, std::nullopt, nullptr, &policy, std::nullopt});
  // A rule is named as published: its pattern as written, its position in
  // the snapshot's array.
  if (why.decidedBy == Check::hostAllRules || why.decidedBy == Check::directLinkRules) {
    why.rule = policy.bypassRules[*why.index];
    why.entry = why.rule->pattern;
    why.index = policy.bypassRulePositions[*why.index];
  }
  return why;
}

}  // namespace qorda
