// The browsers setup knows, where each reads host manifests, and which of those
// folders a command works on. Pure: no file system and no environment, so
// either platform can be checked on any machine.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qorda::setup {

enum class Platform { gnuLinux, macOS };
enum class Level { user, system };
enum class Browser { chrome, chromium, edge, brave, vivaldi };

inline constexpr Browser allBrowsers[] = {Browser::chrome, Browser::chromium, Browser::edge, Browser::brave,
                                          Browser::vivaldi};

constexpr Platform currentPlatform() {
#if defined(__APPLE__)
  return Platform::macOS;
#else
  return Platform::gnuLinux;
#endif
}

std::string_view browserKey(Browser browser);    // "chrome", as on the command line
std::string_view browserLabel(Browser browser);  // "Chrome", for people
std::optional<Browser> browserFromKey(std::string_view key);

// Folders the browser reads host manifests from, its own first; empty when it
// has none at that level.
std::vector<std::filesystem::path> manifestFolders(Browser browser, Platform platform, Level level,
                                                   const std::filesystem::path& home);

// Paths whose existence means the browser is installed for this user.
std::vector<std::filesystem::path> presencePaths(Browser browser, Platform platform,
                                                 const std::filesystem::path& home);
// Program names that mean the browser is installed when found on PATH.
std::vector<std::string_view> browserExecutables(Browser browser);

// A sandboxed install of the browser (Snap, Flatpak), which cannot start a host.
struct SandboxProbe {
  std::filesystem::path path;
  std::string_view kind;  // "Snap" or "Flatpak"
};
std::vector<SandboxProbe> sandboxProbes(Browser browser, Platform platform,
                                        const std::filesystem::path& home);

// One manifest location to write, check or remove. An empty folder means the
// browser has no folder at the chosen level.
struct Target {
  std::string browser;  // label, or "user-data-dir"
  std::filesystem::path folder;
  bool expected = false;  // a missing manifest here is a problem
};

struct Selection {
  std::vector<Browser> named;  // empty: every known browser
  std::vector<std::filesystem::path> userDataDirs;
  Level level = Level::user;
};

// Every location the selection covers. Named browsers and user-data-dirs are
// expected; otherwise a browser is expected when present.
std::vector<Target> planTargets(const Selection& selection, Platform platform,
                                const std::filesystem::path& home,
                                const std::function<bool(Browser)>& isPresent);

}  // namespace qorda::setup
