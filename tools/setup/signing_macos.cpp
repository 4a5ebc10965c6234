#include "signing.h"

#include "app/companion.h"
#include "manifest.h"
#include "system.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace qorda::setup {

namespace fs = std::filesystem;

namespace {

// codesign's report of the entitlements the host is signed with, a property
// list in XML (empty for none); nothing when the host is not signed or
// codesign cannot be run.
std::optional<std::string> signedEntitlements(const fs::path& host) {
  int out[2];
  if (::pipe(out) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  ::posix_spawn_file_actions_addclose(&actions, out[0]);
  ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string path = host.string();
  char codesign[] = "/usr/bin/codesign", display[] = "-d", entitlements[] = "--entitlements", xml[] = ":-";
  char* argv[] = {codesign, display, entitlements, xml, path.data(), nullptr};
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, codesign, &actions, nullptr, argv, environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string text;
  char buffer[4096];
  // Entitlements are small; a report past the manifest limit is not read on.
  while (text.size() <= largestManifest) {
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  if (spawned != 0) return std::nullopt;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return text;
}

// Whether the property list grants the group: a string of the array that
// follows the application-groups key.
bool grantsAppGroup(const std::string& entitlements) {
  const auto key = entitlements.find("<key>com.apple.security.application-groups</key>");
  if (key == std::string::npos) return false;
  const auto end = entitlements.find("</array>", key);
  const auto group = entitlements.find("<string>" + std::string(appGroupID) + "</string>", key);
  return end != std::string::npos && group < end;
}

}  // namespace

fs::path hostBeside(const fs::path& setupFolder) {
  const fs::path bundled =
      (setupFolder / "../libexec/QordaNativeMessagingHost.app/Contents/MacOS" / hostProgramName)
          .lexically_normal();
  return pathExists(bundled) ? bundled : setupFolder / hostProgramName;
}

std::optional<std::string> appGroupProblem(const fs::path& host) {
  const std::string group(appGroupID);
  const std::string consequence = ", so its captures go to a store the desktop application does not read";
  const fs::path contents = host.parent_path().parent_path();
  if (host.parent_path().filename() != "MacOS" || contents.filename() != "Contents" ||
      !pathExists(contents / "Info.plist"))
    return "host " + host.string() +
           " is not inside an application bundle, which alone can carry the group " + group + consequence;
  const auto entitlements = signedEntitlements(host);
  if (!entitlements) return "host " + host.string() + " is not signed" + consequence;
  if (!grantsAppGroup(*entitlements))
    return "host " + host.string() + " is not signed with the application group " + group + consequence;
  if (!pathExists(contents / "embedded.provisionprofile"))
    return "host " + host.string() + " has no embedded provisioning profile to grant the group " + group +
           consequence;
  return std::nullopt;
}

}  // namespace qorda::setup
