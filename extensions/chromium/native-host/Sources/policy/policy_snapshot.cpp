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

// One pass over the array: an element that is not a string empties the set.
HostSet hostSetAt(JsonObject snapshot, std::string_view key, PolicyStorage& storage) {
  HostSet hosts;
  auto entries = arrayAt(snapshot, key);
  if (!entries) return hosts;
  hosts.reserve(entries->size());
  for (simdjson::dom::element entry : *entries) {
    std::string_view text;
    if (entry.get(text)) return {};
    hosts.push_back(normalizedHostView(text, storage.normalizedHosts));
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

// Snapshots up to this size reuse one parser from load to load, so that its
// buffers stay mapped instead of being faulted in afresh for every message.
constexpr std::size_t largestReusedSnapshot = 8 * 1024 * 1024;

// Storage for one load: the spare one when no policy still holds it.
std::shared_ptr<PolicyStorage> storageFor(std::size_t textSize) {
  static std::shared_ptr<PolicyStorage> spare;
  if (textSize > largestReusedSnapshot) return std::make_shared<PolicyStorage>();
  if (!spare || spare.use_count() > 1) spare = std::make_shared<PolicyStorage>();
  spare->normalizedHosts.clear();
  return spare;
}

}  // namespace

AppGroupPolicy policyFromSnapshotText(std::string text) {
  auto storage = storageFor(text.size());
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
