// On Linux the snapshot is a file in the runtime directory, replaced by
// renaming a complete temporary file over it, so a host never reads half.
#include "publish.h"

#include "app/companion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qorda::tools {
namespace {

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

std::optional<std::string> publishSnapshot(std::string_view text) {
  const char* runtimeDirectory = std::getenv("XDG_RUNTIME_DIR");
  if (runtimeDirectory == nullptr || *runtimeDirectory != '/')
    return "XDG_RUNTIME_DIR is not set to an absolute path";
  std::string target = std::string(runtimeDirectory) + "/" + std::string(policyPasteboardName);
  std::string temporary =
      std::string(runtimeDirectory) + "/." + std::string(policyPasteboardName) + ".XXXXXX";
  int fd = ::mkstemp(temporary.data());  // mode 0600
  if (fd < 0) return "cannot create a file in " + std::string(runtimeDirectory) + ": " + std::strerror(errno);
  bool written = writeAll(fd, text) && ::fsync(fd) == 0;
  int error = errno;
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), target.c_str()) != 0) {
    if (written) error = errno;
    ::unlink(temporary.c_str());
    return "cannot publish " + target + ": " + std::strerror(error);
  }
  return std::nullopt;
}

}  // namespace qorda::tools
