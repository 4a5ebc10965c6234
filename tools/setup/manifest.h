// What the setup command knows about native messaging manifests and where
// each browser looks for them. Everything here is pure: no file system, no
// environment, so it can be checked for either platform on any machine.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qorda::setup {

inline constexpr std::string_view defaultHostName = "com.velmox.qorda.native_host";
inline constexpr std::string_view hostProgramName = "QordaNativeMessagingHost";
inline constexpr std::string_view hostDescription = "Qorda native messaging host";

enum class Platform { Linux, MacOS };
enum class Level { user, system };
enum class Browser { chrome, chromium, edge, brave, vivaldi };

inline constexpr Browser allBrowsers[] = {Browser::chrome, Browser::chromium, Browser::edge,
                                          Browser::brave, Browser::vivaldi};

constexpr Platform currentPlatform() {
#if defined(__APPLE__)
    return Platform::MacOS;
#else
    return Platform::Linux;
#endif
}

// --- names and IDs --------------------------------------------------------

bool isValidExtensionId(std::string_view id);
bool isValidHostName(std::string_view name);
bool isValidOrigin(std::string_view origin);
std::string originForExtension(std::string_view id);

// --- browsers and folders -------------------------------------------------

std::string_view browserKey(Browser browser);    // "chrome", as on the command line
std::string_view browserLabel(Browser browser);  // "Chrome", for people
std::optional<Browser> browserFromKey(std::string_view key);

// Folders the browser reads host manifests from, in order of preference;
// empty when it has none at that level. "~" is replaced by home.
std::vector<std::filesystem::path> manifestFolders(Browser browser, Platform platform, Level level,
                                                   const std::filesystem::path& home);

// Paths whose existence means the browser is installed for this user.
std::vector<std::filesystem::path> presencePaths(Browser browser, Platform platform,
                                                 const std::filesystem::path& home);
// Program names that mean the browser is installed when found on PATH.
std::vector<std::string_view> browserExecutables(Browser browser);

// A sandboxed install of the browser (Snap, Flatpak) that cannot start a host.
struct SandboxProbe {
    std::filesystem::path path;
    std::string_view kind;  // "Snap" or "Flatpak"
};
std::vector<SandboxProbe> sandboxProbes(Browser browser, Platform platform,
                                        const std::filesystem::path& home);

// --- targets --------------------------------------------------------------

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

std::filesystem::path manifestFile(const std::filesystem::path& folder, std::string_view name);

// --- manifest text --------------------------------------------------------

std::string jsonEscape(std::string_view text);  // quoted JSON string

struct ManifestFields {
    std::string name;
    std::string description;
    std::string path;
    std::vector<std::string> extensionIds;
};
std::string buildManifestText(const ManifestFields& fields);

// Problems found in a manifest text, judged without touching the host program;
// hostPath receives the "path" value when there is one.
struct ManifestCheck {
    bool parsed = false;  // valid JSON object
    std::string hostPath;
    std::vector<std::string> problems;
};
ManifestCheck checkManifestText(std::string_view text, std::string_view expectedName,
                                const std::vector<std::string>& requiredIds = {});

// Ours: a JSON object whose "path" ends in "/QordaNativeMessagingHost".
bool isOurManifest(std::string_view text);

bool isValidUtf8(std::string_view text);

}  // namespace qorda::setup
