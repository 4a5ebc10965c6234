// What proves the Linux policy file unchanged without reading it.
#pragma once

#include <sys/types.h>

namespace qorda {

// One version of the file: its identity, size and times in nanoseconds.
struct FileStamps {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  long long modified = 0;
  long long changed = 0;
};

// File timestamps come from a clock that ticks coarsely (a second on some
// file systems): a file changed in the same tick as an earlier read can keep
// every stamp. Stamps this close to the read prove nothing.
inline constexpr long long timestampGranularityNanoseconds = 1'000'000'000;

// True when the file's stamps now prove it is the version read at readAt:
// identical stamps, both times older than the read by the granularity.
bool stampsProveUnchanged(const FileStamps& now, const FileStamps& atRead, long long readAt);

}  // namespace qorda
