#include "policy_snapshot.h"

#include "app/companion.h"
#include "json/json_decoding.h"
#include "json/json_lookup.h"

#include <simdjson.h>

#include <array>
#include <deque>
#include <unordered_map>

namespace qorda {

struct PolicyStorage {
  std::string text;
  simdjson::dom::parser parser;
  std::deque<std::string> normalizedHosts;
};

namespace {

constexpr std::array<std::string_view, 3> hostListKeys = {"userDenyHosts", "hardBlockedHosts",
                                                          "remoteBypassHosts"};
constexpr std::string_view rulesKey = "bypassRules";

// Records findings when asked to; costs a null test otherwise.
struct FindingLog {
  std::vector<SnapshotFinding>* findings;

  void add(std::string_view key, std::optional<std::size_t> index, std::string_view problem,
           std::string detail) const {
    if (findings) findings->push_back({std::string(key), index, problem, std::move(detail)});
  }
};

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.append(1, '"').append(text).append(1, '"');
  return out;
}

void reportEntry(const FindingLog& log, std::string_view key, std::size_t index, std::string_view written,
                 std::string_view normalized, std::unordered_map<std::string_view, std::size_t>& seen) {
  if (normalized.empty())
    log.add(key, index, "empty_entry", quoted(written) + " covers only hosts ending in a dot");
  else if (normalized != written)
    log.add(key, index, "normalised_entry", quoted(written) + " is read as " + quoted(normalized));
  auto [first, added] = seen.try_emplace(normalized, index);
  if (!added)
    log.add(key, index, "duplicate_entry",
            quoted(normalized) + " repeats entry " + std::to_string(first->second));
}

// One pass over the array: an element that is not a string empties the list.
HostList hostListAt(JsonObject snapshot, std::string_view key, PolicyStorage& storage,
                    const FindingLog& log) {
  HostList hosts;
  simdjson::dom::element value;
  if (snapshot.at_key(key).get(value)) return hosts;
  JsonArray entries;
  if (value.get(entries)) {
    log.add(key, std::nullopt, "not_an_array", "the list is ignored");
    return hosts;
  }
  hosts.entries.reserve(entries.size());
  std::unordered_map<std::string_view, std::size_t> seen;
  for (simdjson::dom::element entry : entries) {
    std::string_view text;
    if (entry.get(text)) {
      log.add(key, hosts.entries.size(), "non_string_entry",
              "one element that is not a string empties the whole list");
      return {};
    }
    std::string_view normalized = normalizedListEntry(text, storage.normalizedHosts);
    if (log.findings) reportEntry(log, key, hosts.entries.size(), text, normalized, seen);
    hosts.entries.push_back(normalized);
  }
  return hosts;
}

// The rule at one position of "bypassRules", or nothing when it is skipped.
std::optional<DirectLinkBypassRule> ruleAt(JsonObject object, std::size_t index, const FindingLog& log) {
  auto scope = stringAt(object, "scope");
  auto pattern = stringAt(object, "pattern");
  if (!scope || !pattern) {
    log.add(rulesKey, index, "rule_skipped", !scope ? "no string \"scope\"" : "no string \"pattern\"");
    return std::nullopt;
  }
  auto enabled = boolAt(object, "enabled");
  if (!enabled && object.at_key("enabled").error() == simdjson::SUCCESS)
    log.add(rulesKey, index, "enabled_not_boolean",
            "\"enabled\" is not a boolean: the rule counts as enabled");
  if (*scope != exactURLScope && *scope != pathPrefixScope && *scope != hostAllScope)
    log.add(rulesKey, index, "unknown_scope", "scope " + quoted(*scope) + " matches nothing");
  return DirectLinkBypassRule{*scope, *pattern, enabled.value_or(true), std::nullopt};
}

void readRules(JsonObject snapshot, AppGroupPolicy& policy, const FindingLog& log) {
  std::vector<DirectLinkBypassRule>& rules = policy.bypassRules;
  simdjson::dom::element value;
  if (snapshot.at_key(rulesKey).get(value)) return;
  JsonArray objects;
  if (value.get(objects)) {
    log.add(rulesKey, std::nullopt, "not_an_array", "no rule applies");
    return;
  }
  std::size_t index = 0;
  for (simdjson::dom::element element : objects) {
    if (!element.is_object()) {
      log.add(rulesKey, index, "non_object_rule", "one element that is not an object empties the whole list");
      return;
    }
    ++index;
  }
  index = 0;
  for (simdjson::dom::element element : objects) {
    if (auto rule = ruleAt(element.get_object().value_unsafe(), index, log)) {
      rules.push_back(*rule);
      policy.bypassRulePositions.push_back(index);
    }
    ++index;
  }
}

// Normalises the "hostAll" patterns once, and lists the enabled ones.
HostList hostAllPatternsOf(std::vector<DirectLinkBypassRule>& rules, PolicyStorage& storage) {
  HostList patterns;
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (rules[i].scope != hostAllScope) continue;
    rules[i].hostPattern = normalizedListEntry(rules[i].pattern, storage.normalizedHosts);
    if (!rules[i].enabled) continue;
    patterns.entries.push_back(*rules[i].hostPattern);
    patterns.origins.push_back(i);
  }
  return patterns;
}

void reportIgnoredKeys(JsonObject snapshot, const FindingLog& log) {
  for (auto [key, value] : snapshot) {
    bool known = key == rulesKey;
    for (std::string_view listKey : hostListKeys) known = known || key == listKey;
    if (!known) log.add(key, std::nullopt, "ignored_key", "the host does not read this key");
  }
}

}  // namespace

AppGroupPolicy policyFromSnapshotText(std::string text, std::vector<SnapshotFinding>* findings) {
  auto storage = std::make_shared<PolicyStorage>();
  storage->text = std::move(text);
  AppGroupPolicy policy;
  policy.storage = storage;
  FindingLog log{findings};
  if (storage->text.size() > largestPolicySnapshot) {
    log.add("", std::nullopt, "too_large",
            "over 256 MiB: the host does not read it and uses the empty policy");
    storage->text.clear();
    return policy;
  }
  simdjson::dom::element root;
  std::string_view json = withoutByteOrderMark(storage->text);
  bool unpadded = storage->text.capacity() - storage->text.size() < jsonTextPadding;
  JsonObject snapshot;
  bool parsed = !storage->parser.parse(json.data(), json.size(), unpadded).get(root);
  if (!parsed || root.get(snapshot)) {
    log.add("", std::nullopt, parsed ? "not_an_object" : "not_json", "the host uses the empty policy");
    // Only the text is kept, to be compared with the next one read.
    storage->parser = simdjson::dom::parser();
    return policy;
  }
  policy.userDenyHosts = hostListAt(snapshot, hostListKeys[0], *storage, log);
  policy.hardBlockedHosts = hostListAt(snapshot, hostListKeys[1], *storage, log);
  policy.remoteBypassHosts = hostListAt(snapshot, hostListKeys[2], *storage, log);
  readRules(snapshot, policy, log);
  policy.hostAllPatterns = hostAllPatternsOf(policy.bypassRules, *storage);
  if (findings) reportIgnoredKeys(snapshot, log);
  return policy;
}

bool isUsableSnapshot(const std::vector<SnapshotFinding>& findings) {
  for (const SnapshotFinding& finding : findings) {
    if (finding.problem == "not_json" || finding.problem == "not_an_object" || finding.problem == "too_large")
      return false;
  }
  return true;
}

std::string_view snapshotTextOf(const AppGroupPolicy& policy) {
  return policy.storage ? std::string_view(policy.storage->text) : std::string_view();
}

void indexPolicy(AppGroupPolicy& policy) {
  for (HostList* list : {&policy.userDenyHosts, &policy.hardBlockedHosts, &policy.remoteBypassHosts,
                         &policy.hostAllPatterns}) {
    if (list->firstPosition.empty()) indexHostList(*list);
  }
  if (!policy.bypassRuleIndex.built) policy.bypassRuleIndex = indexBypassRules(policy.bypassRules);
}

}  // namespace qorda
