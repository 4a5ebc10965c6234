// The user's capture policy as the desktop application publishes it.
#pragma once

#include "../matching/bypass_rules.h"
#include "../matching/host_matching.h"

#include <memory>
#include <string>
#include <vector>

namespace qorda {

struct PolicyStorage;

// One published snapshot. The host sets and rules point into storage, which
// the record keeps alive; copies share it.
struct AppGroupPolicy {
  HostSet userDenyHosts;
  HostSet hardBlockedHosts;
  HostSet remoteBypassHosts;
  std::vector<DirectLinkBypassRule> bypassRules;
  std::shared_ptr<const PolicyStorage> storage;
};

// The policy published right now; the empty policy when none is published or
// it cannot be read. Reads afresh on every call.
AppGroupPolicy loadPolicyFromAppGroup();

// The policy in one snapshot text; the empty policy when it is not a JSON
// object. text needs no padding: it is copied when it has none.
AppGroupPolicy policyFromSnapshotText(std::string text);

}  // namespace qorda
