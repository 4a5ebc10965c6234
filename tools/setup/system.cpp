#include "system.h"

#include "app/home_directory.h"
#include "host/frame_transport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <utility>

namespace qorda::setup {

namespace fs = std::filesystem;

namespace {

std::string describe(const fs::path& path, int code) {
  std::string text = path.string() + ": " + std::strerror(code);
  if (code == EACCES || code == EPERM) text += " (system folders need root: try sudo)";
  return text;
}

bool isLink(int folder, const fs::path& name) {
  struct stat status {};
  return ::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
}

Error checkOnlyRootCanReplace(const fs::path& path, int linksFollowed) {
  if (linksFollowed > 40) return path.string() + ": too many symbolic links";
  for (fs::path at = path;; at = at.parent_path()) {
    struct stat status {};
    if (::lstat(at.c_str(), &status) != 0) {
      // Whoever may write the folder it would appear in could create it.
      if (errno != ENOENT) return describe(at, errno);
    } else if (status.st_uid != 0) {
      return at.string() + " is owned by uid " + std::to_string(status.st_uid) + ", not root";
    } else if (S_ISLNK(status.st_mode)) {
      std::error_code ec;
      const fs::path target = fs::read_symlink(at, ec);
      if (ec) return describe(at, ec.value());
      if (auto error = checkOnlyRootCanReplace(at.parent_path() / target, linksFollowed + 1)) return error;
    } else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      return at.string() + " is writable by users other than root";
    }
    if (at == at.parent_path()) return std::nullopt;
  }
}

// Whether uid, with primary group gid, has the permission bit (given for the owner).
bool permits(const struct stat& status, uid_t uid, gid_t gid, mode_t ownerBit) {
  if (uid == 0) return true;
  if (status.st_uid == uid) return (status.st_mode & ownerBit) != 0;
  if (status.st_gid == gid) return (status.st_mode & (ownerBit >> 3)) != 0;
  return (status.st_mode & (ownerBit >> 6)) != 0;
}

}  // namespace

Error checkHomeIsOurs(const fs::path& home) {
  struct stat status {};
  if (::stat(home.c_str(), &status) != 0 || status.st_uid == ::geteuid()) return std::nullopt;
  return "HOME (" + home.string() + ") belongs to uid " + std::to_string(status.st_uid) + ", not to uid " +
         std::to_string(::geteuid()) + " running this: use --system for every user, or run without sudo";
}

Error checkOwnerCanRead(const fs::path& home, const fs::path& file) {
  struct stat owner {};
  if (::stat(home.c_str(), &owner) != 0) return std::nullopt;
  fs::path at = home;
  const fs::path below = file.lexically_relative(home);
  for (auto part = below.begin();; ++part) {
    struct stat status {};
    const bool last = part == below.end();
    if (::stat(at.c_str(), &status) == 0 &&
        !permits(status, owner.st_uid, owner.st_gid, last ? S_IRUSR : S_IXUSR))
      return at.string() + " cannot be read by uid " + std::to_string(owner.st_uid) + ", who owns " +
             home.string();
    if (last) return std::nullopt;
    at /= *part;
  }
}

Result<std::optional<fs::path>> homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0' && *home != '/')
    return {std::nullopt,
            "HOME is a relative path (" + std::string(home) + "); set it to your home folder's full path"};
  if (const auto home = qorda::homeDirectory()) return {fs::path(*home), std::nullopt};
  return {std::nullopt, std::nullopt};
}

bool pathExists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

bool isExecutableFile(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

bool isOnPath(std::string_view program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  std::stringstream entries{std::string(path)};
  std::string entry;
  while (std::getline(entries, entry, ':'))
    if (!entry.empty() && isExecutableFile(fs::path(entry) / program)) return true;
  return false;
}

Error checkOnlyRootCanReplace(const fs::path& path) { return checkOnlyRootCanReplace(path, 0); }

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept : fd(std::exchange(other.fd, -1)) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  std::swap(fd, other.fd);
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd >= 0) ::close(fd);
}

Result<Folder> openFolder(const fs::path& path, std::optional<mode_t> createMode) {
  const int noFollow = ::geteuid() == 0 ? O_NOFOLLOW : 0;
  Folder folder{"/", FileDescriptor(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC))};
  for (const auto& part : path.relative_path()) {
    if (part.empty()) continue;  // a trailing slash
    folder.path /= part;
    const bool created = createMode && ::mkdirat(folder.descriptor.fd, part.c_str(), *createMode) == 0;
    if (createMode && !created && errno != EEXIST) return {{}, describe(folder.path, errno)};
    FileDescriptor next(::openat(folder.descriptor.fd, part.c_str(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC | (created ? O_NOFOLLOW : noFollow)));
    if (next.fd < 0 && errno == ENOENT && !createMode) return {Folder{path, {}}, std::nullopt};
    if (next.fd < 0 && (errno == ENOTDIR || errno == ELOOP)) {
      const bool refusedLink = (created || noFollow != 0) && isLink(folder.descriptor.fd, part);
      return {{},
              folder.path.string() +
                  (refusedLink ? " is a symbolic link, which root does not follow" : " is not a folder")};
    }
    if (next.fd < 0) return {{}, describe(folder.path, errno)};
    // Only a folder made just now gets its mode, on the descriptor: the umask
    // must not narrow it, and a path can be swapped under us.
    if (created && ::fchmod(next.fd, *createMode) != 0) return {{}, describe(folder.path, errno)};
    folder.descriptor = std::move(next);
  }
  return {std::move(folder), std::nullopt};
}

Result<std::optional<std::string>> readManifest(const Folder& folder, const std::string& name) {
  const fs::path path = folder.path / name;
  if (!folder.exists()) return {};
  // Non-blocking, so that a FIFO planted there cannot hold the command up.
  FileDescriptor file(::openat(folder.descriptor.fd, name.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.fd < 0 && errno == ENOENT) return {};
  if (file.fd < 0 && errno == ELOOP) {
    if (checkOnlyRootCanReplace(path)) return {{}, path.string() + " is a symbolic link"};
    file.fd = ::openat(folder.descriptor.fd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  }
  if (file.fd < 0) return {{}, describe(path, errno)};
  struct stat status {};
  if (::fstat(file.fd, &status) != 0) return {{}, describe(path, errno)};
  if (!S_ISREG(status.st_mode)) return {{}, path.string() + " is not a regular file"};
  if (static_cast<std::size_t>(status.st_size) > largestManifest)
    return {{}, path.string() + " is larger than 1 MiB"};
  // Read one byte past the limit, in case the file grew since.
  std::string text(largestManifest + 1, '\0');
  std::size_t have = 0;
  while (have < text.size()) {
    const ssize_t n = ::read(file.fd, text.data() + have, text.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {{}, describe(path, errno)};
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  if (have > largestManifest) return {{}, path.string() + " is larger than 1 MiB"};
  text.resize(have);
  return {std::move(text), std::nullopt};
}

Error writeManifest(const Folder& folder, const std::string& name, std::string_view text) {
  const fs::path path = folder.path / name;
  std::random_device random;
  std::string temporary;
  FileDescriptor file;
  for (int attempt = 0; file.fd < 0 && attempt < 100; ++attempt) {
    temporary = "." + name + "." + std::to_string(random());  // hidden, and never taken for a manifest
    file.fd =
        ::openat(folder.descriptor.fd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (file.fd < 0 && errno != EEXIST) break;
  }
  if (file.fd < 0) return describe(folder.path, errno);
  const auto fail = [&](int code) {
    ::unlinkat(folder.descriptor.fd, temporary.c_str(), 0);
    return describe(path, code);
  };
  if (::fchmod(file.fd, 0644) != 0) return fail(errno);
  if (!writeAll(file.fd, text)) return fail(errno != 0 ? errno : EIO);
  if (::fsync(file.fd) != 0) return fail(errno);
  if (::close(std::exchange(file.fd, -1)) != 0) return fail(errno);
  if (::renameat(folder.descriptor.fd, temporary.c_str(), folder.descriptor.fd, name.c_str()) != 0)
    return fail(errno);
  ::fsync(folder.descriptor.fd);  // the rename is durable only once the folder is
  return std::nullopt;
}

Error removeManifest(const Folder& folder, const std::string& name) {
  if (::unlinkat(folder.descriptor.fd, name.c_str(), 0) != 0) return describe(folder.path / name, errno);
  return std::nullopt;
}

}  // namespace qorda::setup
