// Where the Linux policy file is, and what proves it unchanged without
// reading it.
#pragma once

#include "companion.h"

#include <optional>
#include <string>

namespace qorda {

// $XDG_RUNTIME_DIR/com.velmox.qorda.policy; nothing when the variable is
// unset or not an absolute path.
std::optional<std::string> policySnapshotPath();

// File timestamps come from a clock that ticks coarsely (a second on some
// file systems): a file changed in the same tick as an earlier read can keep
// every stamp. Stamps this close to the read prove nothing.
inline constexpr long long timestampGranularityNanoseconds = 1'000'000'000;

// True when the file's stamps now prove it is the version read at readAt:
// identical stamps, both times older than the read by the granularity.
bool stampsProveUnchanged(const FileStamps& now, const FileStamps& atRead, long long readAt);

}  // namespace qorda
