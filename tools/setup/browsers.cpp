#include "browsers.h"

#include <algorithm>
#include <array>

namespace qorda::setup {
namespace {

struct BrowserInfo {
  Browser browser;
  std::string_view key;
  std::string_view label;
  std::array<std::string_view, 3> executables;  // unused slots are empty
  std::string_view macApp;                      // bundle name in /Applications
  std::string_view snap;                        // empty: no Snap package
  std::string_view flatpak;
};

constexpr BrowserInfo browserTable[] = {
    {Browser::chrome,
     "chrome",
     "Chrome",
     {"google-chrome", "google-chrome-stable", ""},
     "Google Chrome.app",
     "",
     "com.google.Chrome"},
    {Browser::chromium,
     "chromium",
     "Chromium",
     {"chromium", "chromium-browser", ""},
     "Chromium.app",
     "chromium",
     "org.chromium.Chromium"},
    {Browser::edge,
     "edge",
     "Edge",
     {"microsoft-edge", "microsoft-edge-stable", ""},
     "Microsoft Edge.app",
     "",
     "com.microsoft.Edge"},
    {Browser::brave,
     "brave",
     "Brave",
     {"brave-browser", "brave-browser-stable", "brave"},
     "Brave Browser.app",
     "brave",
     "com.brave.Browser"},
    {Browser::vivaldi,
     "vivaldi",
     "Vivaldi",
     {"vivaldi", "vivaldi-stable", ""},
     "Vivaldi.app",
     "vivaldi",
     "com.vivaldi.Vivaldi"},
};

const BrowserInfo& info(Browser browser) {
  for (const auto& entry : browserTable)
    if (entry.browser == browser) return entry;
  return browserTable[0];  // unreachable: every enumerator has a row
}

struct FolderRule {
  Browser browser;
  Platform platform;
  Level level;
  std::string_view path;  // a leading "~/" stands for the home folder
};

// The browser's own folder comes first: presencePaths() takes its parent.
// Brave reads Chrome's folders as well, and on Linux has no system folder of
// its own. Vivaldi has no system-wide folder.
constexpr FolderRule folderTable[] = {
    {Browser::chrome, Platform::gnuLinux, Level::user, "~/.config/google-chrome/NativeMessagingHosts"},
    {Browser::chrome, Platform::gnuLinux, Level::system, "/etc/opt/chrome/native-messaging-hosts"},
    {Browser::chrome, Platform::macOS, Level::user,
     "~/Library/Application Support/Google/Chrome/NativeMessagingHosts"},
    {Browser::chrome, Platform::macOS, Level::system, "/Library/Google/Chrome/NativeMessagingHosts"},

    {Browser::chromium, Platform::gnuLinux, Level::user, "~/.config/chromium/NativeMessagingHosts"},
    {Browser::chromium, Platform::gnuLinux, Level::system, "/etc/chromium/native-messaging-hosts"},
    {Browser::chromium, Platform::macOS, Level::user,
     "~/Library/Application Support/Chromium/NativeMessagingHosts"},
    {Browser::chromium, Platform::macOS, Level::system,
     "/Library/Application Support/Chromium/NativeMessagingHosts"},

    {Browser::edge, Platform::gnuLinux, Level::user, "~/.config/microsoft-edge/NativeMessagingHosts"},
    {Browser::edge, Platform::gnuLinux, Level::system, "/etc/opt/edge/native-messaging-hosts"},
    {Browser::edge, Platform::macOS, Level::user,
     "~/Library/Application Support/Microsoft Edge/NativeMessagingHosts"},
    {Browser::edge, Platform::macOS, Level::system, "/Library/Microsoft/Edge/NativeMessagingHosts"},

    {Browser::brave, Platform::gnuLinux, Level::user,
     "~/.config/BraveSoftware/Brave-Browser/NativeMessagingHosts"},
    {Browser::brave, Platform::gnuLinux, Level::system, "/etc/opt/chrome/native-messaging-hosts"},
    {Browser::brave, Platform::macOS, Level::user,
     "~/Library/Application Support/BraveSoftware/Brave-Browser/NativeMessagingHosts"},
    {Browser::brave, Platform::macOS, Level::user,
     "~/Library/Application Support/Google/Chrome/NativeMessagingHosts"},
    {Browser::brave, Platform::macOS, Level::system, "/Library/Google/Chrome/NativeMessagingHosts"},

    {Browser::vivaldi, Platform::gnuLinux, Level::user, "~/.config/vivaldi/NativeMessagingHosts"},
    {Browser::vivaldi, Platform::macOS, Level::user,
     "~/Library/Application Support/Vivaldi/NativeMessagingHosts"},
};

std::filesystem::path expandHome(std::string_view path, const std::filesystem::path& home) {
  if (path.starts_with("~/")) return home / path.substr(2);
  return std::filesystem::path(path);
}

}  // namespace

std::string_view browserKey(Browser browser) { return info(browser).key; }
std::string_view browserLabel(Browser browser) { return info(browser).label; }

std::optional<Browser> browserFromKey(std::string_view key) {
  for (const auto& entry : browserTable)
    if (entry.key == key) return entry.browser;
  return std::nullopt;
}

std::vector<std::filesystem::path> manifestFolders(Browser browser, Platform platform, Level level,
                                                   const std::filesystem::path& home) {
  std::vector<std::filesystem::path> folders;
  for (const auto& rule : folderTable)
    if (rule.browser == browser && rule.platform == platform && rule.level == level)
      folders.push_back(expandHome(rule.path, home));
  return folders;
}

std::vector<std::filesystem::path> presencePaths(Browser browser, Platform platform,
                                                 const std::filesystem::path& home) {
  std::vector<std::filesystem::path> paths;
  const auto own = manifestFolders(browser, platform, Level::user, home);
  if (!own.empty()) paths.push_back(own.front().parent_path());
  if (platform == Platform::macOS) {
    paths.push_back(std::filesystem::path("/Applications") / info(browser).macApp);
    paths.push_back(home / "Applications" / info(browser).macApp);
  }
  return paths;
}

std::vector<std::string_view> browserExecutables(Browser browser) {
  std::vector<std::string_view> names;
  for (auto name : info(browser).executables)
    if (!name.empty()) names.push_back(name);
  return names;
}

std::vector<SandboxProbe> sandboxProbes(Browser browser, Platform platform,
                                        const std::filesystem::path& home) {
  std::vector<SandboxProbe> probes;
  if (platform != Platform::gnuLinux) return probes;
  const auto& entry = info(browser);
  if (!entry.snap.empty()) {
    probes.push_back({std::filesystem::path("/snap/bin") / entry.snap, "Snap"});
    probes.push_back({std::filesystem::path("/var/lib/snapd/snap/bin") / entry.snap, "Snap"});
    probes.push_back({home / "snap" / entry.snap, "Snap"});
  }
  probes.push_back({std::filesystem::path("/var/lib/flatpak/app") / entry.flatpak, "Flatpak"});
  probes.push_back({home / ".local/share/flatpak/app" / entry.flatpak, "Flatpak"});
  return probes;
}

std::vector<Target> planTargets(const Selection& selection, Platform platform,
                                const std::filesystem::path& home,
                                const std::function<bool(Browser)>& isPresent) {
  std::vector<Target> targets;
  if (!selection.userDataDirs.empty()) {
    for (const auto& dir : selection.userDataDirs)
      targets.push_back({"user-data-dir", dir / "NativeMessagingHosts", true});
    return targets;
  }
  const auto& named = selection.named;
  for (Browser browser : allBrowsers) {
    const bool isNamed = std::find(named.begin(), named.end(), browser) != named.end();
    if (!named.empty() && !isNamed) continue;
    const bool expected = isNamed || isPresent(browser);
    const std::string label(browserLabel(browser));
    const auto folders = manifestFolders(browser, platform, selection.level, home);
    if (folders.empty()) targets.push_back({label, {}, expected});
    for (const auto& folder : folders) targets.push_back({label, folder, expected});
  }
  return targets;
}

}  // namespace qorda::setup
