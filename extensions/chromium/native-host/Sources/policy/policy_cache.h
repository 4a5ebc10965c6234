// The published policy as one host keeps it from message to message.
#pragma once

#include "app/companion.h"
#include "policy_snapshot.h"

#include <optional>

namespace qorda {

// The policy last parsed, with the version of the snapshot it was read
// under. Owned by the caller (the host's loop) and passed to evaluation.
struct PolicyCache {
  AppGroupPolicy policy;  // keeps its text, to compare with the next one read
  std::optional<SnapshotVersion> version;
  bool loaded = false;
  bool reused = false;  // it has served a second message, and is indexed
};

// The policy published right now; the empty policy when none is published
// or it cannot be read. Reused while the snapshot is provably unchanged, or
// its text byte-identical; parsed anew otherwise. Valid until the next call.
const AppGroupPolicy& currentPolicy(PolicyCache& cache);

}  // namespace qorda
