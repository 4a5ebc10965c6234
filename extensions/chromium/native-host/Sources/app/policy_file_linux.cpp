// The policy snapshot on Linux: a file in the user's runtime directory that
// the desktop application replaces whenever the policy changes.
#include "companion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace qorda {
namespace {

struct FileDescriptor {
  int fd = -1;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

std::optional<std::string> policySnapshotPath() {
  const char* runtimeDirectory = std::getenv("XDG_RUNTIME_DIR");
  if (runtimeDirectory == nullptr || *runtimeDirectory == '\0') return std::nullopt;
  return std::string(runtimeDirectory) + "/" + std::string(policyPasteboardName);
}

bool sameVersion(const struct stat& before, const struct stat& after) {
  return before.st_size == after.st_size && before.st_mtim.tv_sec == after.st_mtim.tv_sec &&
         before.st_mtim.tv_nsec == after.st_mtim.tv_nsec;
}

// The whole content of fd, read to its end, with the parser's padding spare.
std::optional<std::string> readToEnd(int fd, std::size_t expectedSize) {
  std::string text;
  text.reserve(expectedSize + 1 + policyTextPadding);
  text.resize(expectedSize + 1);
  std::size_t have = 0;
  for (;;) {
    if (have == text.size()) text.resize(text.size() * 2);
    ssize_t count = ::read(fd, text.data() + have, text.size() - have);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::nullopt;
    if (count == 0) break;
    have += static_cast<std::size_t>(count);
  }
  // Zeroes the padding too: the parser may load it, and it must be defined.
  text.resize(have + policyTextPadding);
  text.resize(have);
  return text;
}

// One attempt: the text, or nothing when the file is unusable or changed
// while it was read (a publisher writing in place, not by rename).
std::optional<std::string> readStableText(int fd, bool& changed) {
  struct stat before {}, after {};
  if (::fstat(fd, &before) != 0 || !S_ISREG(before.st_mode)) return std::nullopt;
  if (::lseek(fd, 0, SEEK_SET) != 0) return std::nullopt;
  auto text = readToEnd(fd, static_cast<std::size_t>(before.st_size));
  if (!text || ::fstat(fd, &after) != 0) return std::nullopt;
  changed = !sameVersion(before, after) || text->size() != static_cast<std::size_t>(after.st_size);
  if (changed) return std::nullopt;
  return text;
}

}  // namespace

std::optional<std::string> readPolicySnapshotText() {
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

}  // namespace qorda
