// The desktop application's channels, replaced in the fuzzers: the policy
// comes from the target, and hand-offs are recorded instead of stored.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qorda::fuzz {

// The snapshot text readPolicySnapshotText returns; nothing when unset.
void publishSnapshot(std::optional<std::string> text);

// The message texts handed off since the last call, which forgets them.
std::vector<std::string> takeHandOffs();

// Snapshot text with hosts and rules of every scope, for targets whose
// input is a message.
extern const char* const fixedSnapshot;

}  // namespace qorda::fuzz
