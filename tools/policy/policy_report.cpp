#include "policy_report.h"

#include "json/json_writer.h"

namespace qorda::tools {
namespace {

std::string jsonText(std::string_view text) {
  std::string out;
  appendJsonString(out, text);
  return out;
}

std::string ruleJson(const DirectLinkBypassRule& rule) {
  std::string out = "{\"scope\":" + jsonText(rule.scope) + ",\"pattern\":" + jsonText(rule.pattern);
  if (!rule.enabled) out += ",\"enabled\":false";
  return out + "}";
}

std::string where(const SnapshotFinding& finding) {
  std::string out = finding.key.empty() ? "snapshot" : finding.key;
  if (finding.index) out += "[" + std::to_string(*finding.index) + "]";
  return out;
}

std::string_view listKeyOf(std::string_view decidedBy) {
  for (std::string_view key : {"hardBlockedHosts", "userDenyHosts", "remoteBypassHosts"}) {
    if (decidedBy == key) return key;
  }
  return {};
}

std::string whyText(const PolicyExplanation& why) {
  std::string index = why.index ? std::to_string(*why.index) : "";
  if (!listKeyOf(why.decidedBy).empty())
    return std::string(why.hostSource) + " host " + why.host + " is covered by " +
           std::string(why.decidedBy) + "[" + index + "] " + jsonText(why.entry);
  if (why.decidedBy == "hostAll_rules")
    return std::string(why.hostSource) + " host " + why.host + " is covered by bypassRules[" + index + "] " +
           ruleJson(*why.rule);
  if (why.decidedBy == "direct_link_rules")
    return "bypassRules[" + index + "] " + ruleJson(*why.rule) + " matches " + jsonText(why.matchedForm);
  if (why.decidedBy == "drm_hint") return "the request's policyHints.drmSuspected is true";
  if (why.decidedBy == "transport")
    return "the request's classification.deliveryType is a custom WebSocket transport";
  if (why.decidedBy == "scheme") return "the resource URL is missing or is not an http or https URL";
  if (why.decidedBy == "mime_type")
    return "the resource's MIME type is not audio, video, a manifest or an octet stream";
  if (why.decidedBy == "no_intent") return "the message has no payload.intent object";
  return "no check matched";
}

}  // namespace

std::string checkReportText(const std::vector<SnapshotFinding>& findings) {
  std::string out;
  for (const SnapshotFinding& finding : findings) {
    out += where(finding) + ": " + std::string(finding.problem) + ": " + finding.detail + "\n";
  }
  return out;
}

std::string checkReportJson(const std::vector<SnapshotFinding>& findings, const AppGroupPolicy& policy) {
  std::string out =
      std::string("{\"usable\":") + (isUsableSnapshot(findings) ? "true" : "false") + ",\"findings\":[";
  for (std::size_t i = 0; i < findings.size(); ++i) {
    const SnapshotFinding& finding = findings[i];
    out += (i ? ",{" : "{") + std::string("\"key\":") + jsonText(finding.key) +
           ",\"index\":" + (finding.index ? std::to_string(*finding.index) : "null") +
           ",\"problem\":" + jsonText(finding.problem) + ",\"detail\":" + jsonText(finding.detail) + "}";
  }
  out += "],\"counts\":{\"userDenyHosts\":" + std::to_string(policy.userDenyHosts.entries.size()) +
         ",\"hardBlockedHosts\":" + std::to_string(policy.hardBlockedHosts.entries.size()) +
         ",\"remoteBypassHosts\":" + std::to_string(policy.remoteBypassHosts.entries.size()) +
         ",\"bypassRules\":" + std::to_string(policy.bypassRules.size()) + "}}\n";
  return out;
}

std::string explanationText(const PolicyExplanation& explanation) {
  const PolicyAction& action = explanation.policyAction;
  std::string out(action.action);
  if (action.reason) out += " " + std::string(*action.reason);
  return out + ": " + whyText(explanation) + "\n";
}

std::string explanationJson(const PolicyExplanation& explanation) {
  const PolicyAction& action = explanation.policyAction;
  std::string out = "{\"policyAction\":" + jsonText(action.action);
  if (action.reason) out += ",\"reason\":" + jsonText(*action.reason);
  out += ",\"decidedBy\":" + jsonText(explanation.decidedBy);
  if (explanation.index) {
    std::string_view list = listKeyOf(explanation.decidedBy);
    out += ",\"matched\":{";
    out += list.empty() ? "\"rule\":" + ruleJson(*explanation.rule) : "\"list\":" + jsonText(list);
    out += ",\"index\":" + std::to_string(*explanation.index) + ",\"entry\":" + jsonText(explanation.entry);
    if (!explanation.host.empty() || !explanation.hostSource.empty())
      out +=
          ",\"host\":" + jsonText(explanation.host) + ",\"hostSource\":" + jsonText(explanation.hostSource);
    if (!explanation.matchedForm.empty()) out += ",\"form\":" + jsonText(explanation.matchedForm);
    out += "}";
  }
  return out + "}\n";
}

}  // namespace qorda::tools
