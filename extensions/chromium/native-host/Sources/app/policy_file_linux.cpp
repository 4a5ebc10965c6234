// The policy snapshot on Linux: a file in the user's runtime directory that
// the desktop application replaces, by rename, whenever the policy changes.
#include "policy_file_linux.h"

#include "companion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace qorda {
namespace {

// A larger file is no policy, and is not read at all.
constexpr off_t largestSnapshot = 256 * 1024 * 1024;
constexpr std::size_t firstReadSize = 64 * 1024;

struct FileDescriptor {
  int fd = -1;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

struct LastRead {
  bool valid = false;
  FileStamps stamps;
  long long readAt = 0;  // nanoseconds of the real-time clock
};

LastRead lastRead;

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

std::optional<std::string> policySnapshotPath() {
  const char* runtimeDirectory = std::getenv("XDG_RUNTIME_DIR");
  if (runtimeDirectory == nullptr || *runtimeDirectory == '\0') return std::nullopt;
  return std::string(runtimeDirectory) + "/" + std::string(policyPasteboardName);
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
  text.resize(have + policyTextPadding);
  text.resize(have);
  return text;
}

// One attempt: the text, or nothing when the file is unusable or changed
// while it was read (a publisher writing in place, not by rename).
std::optional<std::string> readStableText(int fd, bool& changed) {
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
  lastRead = {true, stampsOf(after), readAt};
  return text;
}

}  // namespace

bool stampsProveUnchanged(const FileStamps& now, const FileStamps& atRead, long long readAt) {
  long long settled = readAt - timestampGranularityNanoseconds;
  return now == atRead && now.modified < settled && now.changed < settled;
}

std::optional<std::string> readPolicySnapshotText() {
  lastRead.valid = false;
  auto path = policySnapshotPath();
  if (!path) return std::nullopt;
  // Non-blocking, so that a FIFO put in the file's place cannot hold the host.
  FileDescriptor file{::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
  if (file.fd < 0) return std::nullopt;
  for (int attempt = 0; attempt < 3; ++attempt) {
    bool changed = false;
    auto text = readStableText(file.fd, changed);
    // Text that is not UTF-8 fails the JSON parse, which checks it anyway.
    if (text || !changed) return text;
  }
  return std::nullopt;
}

bool isPolicySnapshotUnchanged() {
  if (!lastRead.valid) return false;
  auto path = policySnapshotPath();
  struct stat status {};
  if (!path || ::stat(path->c_str(), &status) != 0) return false;
  return stampsProveUnchanged(stampsOf(status), lastRead.stamps, lastRead.readAt);
}

}  // namespace qorda
