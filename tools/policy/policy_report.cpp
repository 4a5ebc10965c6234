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

std::string whyText(const PolicyExplanation& why) {
  std::string index = why.index ? std::to_string(*why.index) : "";
  switch (why.decidedBy) {
    case Check::noIntent:
      return "the message has no payload.intent object";
    case Check::drmHint:
      return "the request's policyHints.drmSuspected is true";
    case Check::transport:
      return "the request's classification.deliveryType is a custom WebSocket transport";
    case Check::scheme:
      return "the resource URL is missing or is not an http or https URL";
    case Check::mimeType:
      return "the resource's MIME type is not audio, video, a manifest or an octet stream";
    case Check::hardBlocked:
    case Check::userDenied:
    case Check::remoteBypass:
      return std::string(why.hostSource) + " host " + why.host + " is covered by " +
             std::string(rowOf(why.decidedBy).listKey) + "[" + index + "] " + jsonText(why.entry);
    case Check::hostAllRules:
      return std::string(why.hostSource) + " host " + why.host + " is covered by bypassRules[" + index +
             "] " + ruleJson(*why.rule);
    case Check::directLinkRules:
      return "bypassRules[" + index + "] " + ruleJson(*why.rule) + " matches " + jsonText(why.matchedForm);
    case Check::noMatch:
      return "no check matched";
  }
  return {};
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
  const CheckRow& row = rowOf(explanation.decidedBy);
  std::string out(actionName(row.action));
  if (!row.reason.empty()) out += " " + std::string(row.reason);
  return out + ": " + whyText(explanation) + "\n";
}

std::string explanationJson(const PolicyExplanation& explanation) {
  const CheckRow& row = rowOf(explanation.decidedBy);
  std::string out = "{\"policyAction\":" + jsonText(actionName(row.action));
  if (!row.reason.empty()) out += ",\"reason\":" + jsonText(row.reason);
  out += ",\"decidedBy\":" + jsonText(row.decidedBy);
  if (explanation.index) {
    std::string_view list = row.listKey;
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
