// The policy snapshot on Linux: a file in the user's runtime directory that
// the desktop application replaces, by rename, whenever the policy changes.
#include "policy_file_linux.h"

#include "companion.h"
#include "json/json_padding.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace qorda {
namespace {

constexpr auto largestSnapshot = static_cast<off_t>(largestPolicySnapshot);
constexpr std::size_t firstReadSize = 64 * 1024;

struct FileDescriptor {
  int fd = -1;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

long long nanoseconds(const timespec& time) { return time.tv_sec * 1'000'000'000LL + time.tv_nsec; }

FileStamps stampsOf(const struct stat& status) {
  return {status.st_dev, status.st_ino, status.st_size, nanoseconds(status.st_mtim),
          nanoseconds(status.st_ctim)};
}

bool operator==(const FileStamps& a, const FileStamps& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size && a.modified == b.modified &&
         a.changed == b.changed;
}

long long now() {
  timespec time{};
  ::clock_gettime(CLOCK_REALTIME, &time);
  return nanoseconds(time);
}

// The whole content of fd, read to its end with the parser's padding spare.
// The buffer grows as bytes arrive, never from the size the file claims.
std::optional<std::string> readToEnd(int fd, std::size_t sizeHint) {
  std::string text;
  text.resize(std::min(sizeHint + 1, firstReadSize));
  std::size_t have = 0;
  for (;;) {
    if (have == text.size()) {
      if (have > static_cast<std::size_t>(largestSnapshot)) return std::nullopt;
      text.resize(std::min(text.size() * 2, static_cast<std::size_t>(largestSnapshot) + 1));
    }
    ssize_t count = ::read(fd, text.data() + have, text.size() - have);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::nullopt;
    if (count == 0) break;
    have += static_cast<std::size_t>(count);
  }
  if (have > static_cast<std::size_t>(largestSnapshot)) return std::nullopt;
  // Zeroes the padding too: the parser may load it, and it must be defined.
  text.resize(have + jsonTextPadding);
  text.resize(have);
  return text;
}

// One attempt: the text, or nothing when the file is unusable or changed
// while it was read (a publisher writing in place, not by rename).
std::optional<std::string> readStableText(int fd, bool& changed, SnapshotVersion& version) {
  struct stat before {
  }, after{};
  if (::fstat(fd, &before) != 0 || !S_ISREG(before.st_mode) || before.st_size > largestSnapshot)
    return std::nullopt;
  long long readAt = now();
  if (::lseek(fd, 0, SEEK_SET) != 0) return std::nullopt;
  auto text = readToEnd(fd, static_cast<std::size_t>(before.st_size));
  if (!text || ::fstat(fd, &after) != 0) return std::nullopt;
  changed = !(stampsOf(before) == stampsOf(after)) || text->size() != static_cast<std::size_t>(after.st_size);
  if (changed) return std::nullopt;
  version = {stampsOf(after), readAt, 0};
  return text;
}

}  // namespace

bool stampsProveUnchanged(const FileStamps& now, const FileStamps& atRead, long long readAt) {
  long long settled = readAt - timestampGranularityNanoseconds;
  return now == atRead && now.modified < settled && now.changed < settled;
}

std::optional<std::string> policySnapshotPath() {
  // A relative path names no runtime directory, and is ignored.
  const char* runtimeDirectory = std::getenv("XDG_RUNTIME_DIR");
  if (runtimeDirectory == nullptr || *runtimeDirectory != '/') return std::nullopt;
  return std::string(runtimeDirectory) + "/" + std::string(policyPasteboardName);
}

PublishedSnapshot readPolicySnapshot() {
  auto path = policySnapshotPath();
  if (!path) return {};
  // Non-blocking, so that a FIFO put in the file's place cannot hold the host.
  FileDescriptor file{::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
  if (file.fd < 0) return {};
  for (int attempt = 0; attempt < 3; ++attempt) {
    bool changed = false;
    SnapshotVersion version;
    auto text = readStableText(file.fd, changed, version);
    // Text that is not UTF-8 fails the JSON parse, which checks it anyway.
    if (text) return {std::move(text), version};
    if (!changed) return {};
  }
  return {};
}

bool isPolicySnapshotUnchanged(const SnapshotVersion& version) {
  auto path = policySnapshotPath();
  struct stat status {};
  if (!path || ::stat(path->c_str(), &status) != 0) return false;
  return stampsProveUnchanged(stampsOf(status), version.stamps, version.readAt);
}

}  // namespace qorda
