// The few places where the setup command touches the machine. Manifest folders
// are worked on through descriptors, so a path swapped by someone else while
// setup runs is never followed.
#pragma once

#include "error.h"

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qorda::setup {

// Manifests are small; a larger file is refused unread.
inline constexpr std::size_t largestManifest = 1024 * 1024;

// The user's home folder, found as the host finds it; nothing when there is
// none. A relative HOME names no folder and is an error.
Result<std::optional<std::filesystem::path>> homeFolder();

// This program's own file (per platform, in self_path_*.cpp).
std::optional<std::filesystem::path> selfExecutable();

bool pathExists(const std::filesystem::path& path);
bool isExecutableFile(const std::filesystem::path& path);
bool isOnPath(std::string_view program);

// Names the first file or folder on the way to path, symbolic links included,
// that a user other than root owns or can write.
Error checkOnlyRootCanReplace(const std::filesystem::path& path);

// Refuses a home folder that a user other than the one running this owns:
// root with another user's HOME (sudo -E) would leave that user's folders root's.
Error checkHomeIsOurs(const std::filesystem::path& home);

// Names the first folder from home down to file, or the file itself, that
// home's owner cannot pass or read.
Error checkOwnerCanRead(const std::filesystem::path& home, const std::filesystem::path& file);

// A descriptor, closed when it goes out of scope.
struct FileDescriptor {
  int fd = -1;
  FileDescriptor() = default;
  explicit FileDescriptor(int descriptor) : fd(descriptor) {}
  FileDescriptor(FileDescriptor&& other) noexcept;
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  ~FileDescriptor();
};

// An open manifest folder and the path it was reached by; not open when the
// folder does not exist.
struct Folder {
  std::filesystem::path path;
  FileDescriptor descriptor;
  bool exists() const { return descriptor.fd >= 0; }
};

// Opens an absolute folder. With a mode, creates the missing folders with it,
// whatever the umask; folders that exist keep theirs. Run as root, it follows
// no symbolic link: a user may have planted one on the way.
Result<Folder> openFolder(const std::filesystem::path& path, std::optional<mode_t> createMode = std::nullopt);

// The manifest's text; nothing when there is none. Anything but a regular
// file, or a file over largestManifest, is an error, never read; so is a
// symbolic link, unless only root could have made it and its target (a
// package's system-wide manifests are links into /usr).
Result<std::optional<std::string>> readManifest(const Folder& folder, const std::string& name);

// Writes a hidden temporary file (mode 0644), syncs it and renames it over name.
Error writeManifest(const Folder& folder, const std::string& name, std::string_view text);

Error removeManifest(const Folder& folder, const std::string& name);

}  // namespace qorda::setup
