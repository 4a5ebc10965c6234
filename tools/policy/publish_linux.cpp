// On Linux the snapshot is a file in the runtime directory, replaced by
// renaming a complete temporary file over it, so a host never reads half.
#include "publish.h"

#include "app/policy_file_linux.h"
#include "host/frame_transport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qorda::tools {
std::optional<std::string> publishSnapshot(std::string_view text) {
  // The host's own rule for where the file is.
  auto target = policySnapshotPath();
  if (!target) return "XDG_RUNTIME_DIR is not set to an absolute path";
  std::string folder = target->substr(0, target->rfind('/'));
  std::string temporary = folder + "/." + std::string(policyPasteboardName) + ".XXXXXX";
  int fd = ::mkstemp(temporary.data());  // mode 0600
  if (fd < 0) return "cannot create a file in " + folder + ": " + std::strerror(errno);
  bool written = writeAll(fd, text) && ::fsync(fd) == 0;
  int error = errno;
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), target->c_str()) != 0) {
    if (written) error = errno;
    ::unlink(temporary.c_str());
    return "cannot publish " + *target + ": " + std::strerror(error);
  }
  return std::nullopt;
}

}  // namespace qorda::tools
