#include "policy_snapshot.h"

#include "../app/companion.h"
#include "../host/json_message.h"

#include <simdjson.h>

namespace qorda {

struct PolicyStorage {
  std::string text;
  simdjson::dom::parser parser;
  std::deque<std::string> normalizedHosts;
};

namespace {

// The key's value when it is an array whose every element has type T.
template <typename T>
std::optional<JsonArray> homogeneousArrayAt(JsonObject object, std::string_view key) {
  auto array = arrayAt(object, key);
  if (!array) return std::nullopt;
  for (simdjson::dom::element element : *array) {
    if (!element.is<T>()) return std::nullopt;
  }
  return array;
}

HostSet hostSetAt(JsonObject snapshot, std::string_view key, PolicyStorage& storage) {
  HostSet hosts;
  auto entries = homogeneousArrayAt<std::string_view>(snapshot, key);
  if (!entries) return hosts;
  hosts.reserve(entries->size());
  for (simdjson::dom::element entry : *entries) {
    hosts.push_back(normalizedHostView(std::string_view(entry), storage.normalizedHosts));
  }
  return hosts;
}

std::vector<DirectLinkBypassRule> rulesAt(JsonObject snapshot) {
  std::vector<DirectLinkBypassRule> rules;
  auto objects = homogeneousArrayAt<JsonObject>(snapshot, "bypassRules");
  if (!objects) return rules;
  for (simdjson::dom::element element : *objects) {
    JsonObject object = element.get_object().value_unsafe();
    auto scope = stringAt(object, "scope");
    auto pattern = stringAt(object, "pattern");
    if (!scope || !pattern) continue;
    rules.push_back({*scope, *pattern, boolAt(object, "enabled").value_or(true)});
  }
  return rules;
}

}  // namespace

AppGroupPolicy policyFromSnapshotText(std::string text) {
  auto storage = std::make_shared<PolicyStorage>();
  storage->text = std::move(text);
  AppGroupPolicy policy;
  simdjson::dom::element root;
  std::string_view json = withoutByteOrderMark(storage->text);
  bool unpadded = storage->text.capacity() - storage->text.size() < simdjson::SIMDJSON_PADDING;
  if (storage->parser.parse(json.data(), json.size(), unpadded).get(root)) return policy;
  JsonObject snapshot;
  if (root.get(snapshot)) return policy;

  policy.userDenyHosts = hostSetAt(snapshot, "userDenyHosts", *storage);
  policy.hardBlockedHosts = hostSetAt(snapshot, "hardBlockedHosts", *storage);
  policy.remoteBypassHosts = hostSetAt(snapshot, "remoteBypassHosts", *storage);
  policy.bypassRules = rulesAt(snapshot);
  policy.storage = std::move(storage);
  return policy;
}

AppGroupPolicy loadPolicyFromAppGroup() {
  auto text = readPolicySnapshotText();
  if (!text) return {};
  return policyFromSnapshotText(std::move(*text));
}

}  // namespace qorda
