// The user's capture policy as the desktop application publishes it.
#pragma once

#include "matching/bypass_rules.h"
#include "matching/host_matching.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qorda {

struct PolicyStorage;

// One published snapshot. The host lists and rules point into storage, which
// the record keeps alive; copies share it.
struct AppGroupPolicy {
  HostList userDenyHosts;
  HostList hardBlockedHosts;
  HostList remoteBypassHosts;
  std::vector<DirectLinkBypassRule> bypassRules;
  std::vector<std::size_t> bypassRulePositions;  // of each rule in the published array
  BypassRuleIndex bypassRuleIndex;
  // The normalised patterns of the enabled "hostAll" rules; origins are
  // positions in bypassRules.
  HostList hostAllPatterns;
  std::shared_ptr<const PolicyStorage> storage;
};

// Something in a snapshot that the host reads otherwise than it is written.
struct SnapshotFinding {
  std::string key;                   // empty for the snapshot as a whole
  std::optional<std::size_t> index;  // the element of the key's array
  std::string_view problem;          // a fixed code, such as "non_string_entry"
  std::string detail;                // what the host does about it
};

// The policy in one snapshot text; the empty policy when it is not a JSON
// object or is too large to be read. When findings is given, every way in which the host reads the
// snapshot otherwise than written is added to it.
AppGroupPolicy policyFromSnapshotText(std::string text, std::vector<SnapshotFinding>* findings = nullptr);

// True when the host reads the snapshot text as some policy: JSON whose top
// level is an object, within largestPolicySnapshot.
bool isUsableSnapshot(const std::vector<SnapshotFinding>& findings);

// The text the policy was parsed from.
std::string_view snapshotTextOf(const AppGroupPolicy& policy);

// Makes matching a policy that serves many messages cost lookups, not walks
// of every list and rule.
void indexPolicy(AppGroupPolicy& policy);

}  // namespace qorda
