#include "manifest.h"

#include "json/json_writer.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <cstdio>

namespace qorda::setup {

namespace {

constexpr std::string_view originPrefix = "chrome-extension://";

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
    {Browser::chrome, "chrome", "Chrome", {"google-chrome", "google-chrome-stable", ""},
     "Google Chrome.app", "", "com.google.Chrome"},
    {Browser::chromium, "chromium", "Chromium", {"chromium", "chromium-browser", ""},
     "Chromium.app", "chromium", "org.chromium.Chromium"},
    {Browser::edge, "edge", "Edge", {"microsoft-edge", "microsoft-edge-stable", ""},
     "Microsoft Edge.app", "", "com.microsoft.Edge"},
    {Browser::brave, "brave", "Brave", {"brave-browser", "brave-browser-stable", "brave"},
     "Brave Browser.app", "brave", "com.brave.Browser"},
    {Browser::vivaldi, "vivaldi", "Vivaldi", {"vivaldi", "vivaldi-stable", ""}, "Vivaldi.app",
     "vivaldi", "com.vivaldi.Vivaldi"},
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
    {Browser::chrome, Platform::Linux, Level::user, "~/.config/google-chrome/NativeMessagingHosts"},
    {Browser::chrome, Platform::Linux, Level::system, "/etc/opt/chrome/native-messaging-hosts"},
    {Browser::chrome, Platform::MacOS, Level::user,
     "~/Library/Application Support/Google/Chrome/NativeMessagingHosts"},
    {Browser::chrome, Platform::MacOS, Level::system, "/Library/Google/Chrome/NativeMessagingHosts"},

    {Browser::chromium, Platform::Linux, Level::user, "~/.config/chromium/NativeMessagingHosts"},
    {Browser::chromium, Platform::Linux, Level::system, "/etc/chromium/native-messaging-hosts"},
    {Browser::chromium, Platform::MacOS, Level::user,
     "~/Library/Application Support/Chromium/NativeMessagingHosts"},
    {Browser::chromium, Platform::MacOS, Level::system,
     "/Library/Application Support/Chromium/NativeMessagingHosts"},

    {Browser::edge, Platform::Linux, Level::user, "~/.config/microsoft-edge/NativeMessagingHosts"},
    {Browser::edge, Platform::Linux, Level::system, "/etc/opt/edge/native-messaging-hosts"},
    {Browser::edge, Platform::MacOS, Level::user,
     "~/Library/Application Support/Microsoft Edge/NativeMessagingHosts"},
    {Browser::edge, Platform::MacOS, Level::system, "/Library/Microsoft/Edge/NativeMessagingHosts"},

    {Browser::brave, Platform::Linux, Level::user,
     "~/.config/BraveSoftware/Brave-Browser/NativeMessagingHosts"},
    {Browser::brave, Platform::Linux, Level::system, "/etc/opt/chrome/native-messaging-hosts"},
    {Browser::brave, Platform::MacOS, Level::user,
     "~/Library/Application Support/BraveSoftware/Brave-Browser/NativeMessagingHosts"},
    {Browser::brave, Platform::MacOS, Level::user,
     "~/Library/Application Support/Google/Chrome/NativeMessagingHosts"},
    {Browser::brave, Platform::MacOS, Level::system, "/Library/Google/Chrome/NativeMessagingHosts"},

    {Browser::vivaldi, Platform::Linux, Level::user, "~/.config/vivaldi/NativeMessagingHosts"},
    {Browser::vivaldi, Platform::MacOS, Level::user,
     "~/Library/Application Support/Vivaldi/NativeMessagingHosts"},
};

std::filesystem::path expandHome(std::string_view path, const std::filesystem::path& home) {
    if (path.starts_with("~/")) return home / path.substr(2);
    return std::filesystem::path(path);
}

bool isIdLetter(char c) { return c >= 'a' && c <= 'p'; }

bool isNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.';
}

// --- reading manifests ----------------------------------------------------

struct Fields {
    simdjson::dom::object object;
    std::vector<std::string>* problems;
};

std::string quoted(std::string_view key) {
    std::string text = "\"";
    text += key;
    text += '"';
    return text;
}

// The string at key, or nothing (with a problem noted) when missing or not a string.
std::optional<std::string_view> stringField(const Fields& fields, std::string_view key) {
    simdjson::dom::element value;
    if (fields.object.at_key(key).get(value) != simdjson::SUCCESS) {
        fields.problems->push_back(quoted(key) + " is missing");
        return std::nullopt;
    }
    std::string_view text;
    if (value.get_string().get(text) != simdjson::SUCCESS) {
        fields.problems->push_back(quoted(key) + " is not a string");
        return std::nullopt;
    }
    return text;
}

void checkOrigins(const Fields& fields, const std::vector<std::string>& requiredIds) {
    simdjson::dom::element value;
    simdjson::dom::array origins;
    if (fields.object.at_key("allowed_origins").get(value) != simdjson::SUCCESS) {
        fields.problems->push_back("\"allowed_origins\" is missing");
        return;
    }
    if (value.get_array().get(origins) != simdjson::SUCCESS) {
        fields.problems->push_back("\"allowed_origins\" is not an array");
        return;
    }
    std::vector<std::string_view> seen;
    for (simdjson::dom::element origin : origins) {
        std::string_view text;
        if (origin.get_string().get(text) != simdjson::SUCCESS) {
            fields.problems->push_back("an allowed origin is not a string");
        } else if (!isValidOrigin(text)) {
            fields.problems->push_back("malformed origin \"" + std::string(text) + "\"");
        } else {
            seen.push_back(text);
        }
    }
    if (origins.size() == 0) fields.problems->push_back("\"allowed_origins\" is empty");
    for (const auto& id : requiredIds) {
        if (std::find(seen.begin(), seen.end(), originForExtension(id)) == seen.end())
            fields.problems->push_back("extension " + id + " is not allowed");
    }
}

std::optional<simdjson::dom::object> parseObject(simdjson::dom::parser& parser,
                                                 std::string_view text, std::string* error) {
    simdjson::dom::element root;
    const auto code = parser.parse(text.data(), text.size()).get(root);
    if (code != simdjson::SUCCESS) {
        if (error) *error = std::string("not valid JSON (") + simdjson::error_message(code) + ")";
        return std::nullopt;
    }
    simdjson::dom::object object;
    if (root.get_object().get(object) != simdjson::SUCCESS) {
        if (error) *error = "not a JSON object";
        return std::nullopt;
    }
    return object;
}

}  // namespace

// --- names and IDs --------------------------------------------------------

bool isValidExtensionId(std::string_view id) {
    return id.size() == 32 && std::all_of(id.begin(), id.end(), isIdLetter);
}

bool isValidHostName(std::string_view name) {
    if (name.empty() || name.front() == '.' || name.back() == '.') return false;
    if (name.find("..") != std::string_view::npos) return false;
    return std::all_of(name.begin(), name.end(), isNameChar);
}

bool isValidOrigin(std::string_view origin) {
    if (!origin.starts_with(originPrefix) || !origin.ends_with('/')) return false;
    origin.remove_prefix(originPrefix.size());
    origin.remove_suffix(1);
    return isValidExtensionId(origin);
}

std::string originForExtension(std::string_view id) {
    return std::string(originPrefix) + std::string(id) + "/";
}

// --- browsers and folders -------------------------------------------------

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
    if (platform == Platform::MacOS) {
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
    if (platform != Platform::Linux) return probes;
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

// --- targets --------------------------------------------------------------

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

std::filesystem::path manifestFile(const std::filesystem::path& folder, std::string_view name) {
    return folder / (std::string(name) + ".json");
}

// --- manifest text --------------------------------------------------------

std::string jsonEscape(std::string_view text) {
    std::string out;
    qorda::appendJsonString(out, text);
    return out;
}

std::string buildManifestText(const ManifestFields& fields) {
    std::string text = "{\n";
    text += "  \"name\": " + jsonEscape(fields.name) + ",\n";
    text += "  \"description\": " + jsonEscape(fields.description) + ",\n";
    text += "  \"path\": " + jsonEscape(fields.path) + ",\n";
    text += "  \"type\": \"stdio\",\n";
    text += "  \"allowed_origins\": [";
    for (std::size_t i = 0; i < fields.extensionIds.size(); ++i) {
        text += i == 0 ? "\n" : ",\n";
        text += "    " + jsonEscape(originForExtension(fields.extensionIds[i]));
    }
    text += "\n  ]\n}\n";
    return text;
}

ManifestCheck checkManifestText(std::string_view text, std::string_view expectedName,
                                const std::vector<std::string>& requiredIds) {
    ManifestCheck check;
    simdjson::dom::parser parser;
    std::string error;
    const auto object = parseObject(parser, text, &error);
    if (!object) {
        check.problems.push_back(error);
        return check;
    }
    check.parsed = true;
    const Fields fields{*object, &check.problems};

    if (const auto name = stringField(fields, "name")) {
        if (*name != expectedName)
            check.problems.push_back("name \"" + std::string(*name) + "\" does not match the file name");
    }
    if (const auto description = stringField(fields, "description"); description && description->empty())
        check.problems.push_back("\"description\" is empty");
    if (const auto path = stringField(fields, "path")) {
        check.hostPath = std::string(*path);
        if (!path->starts_with('/')) check.problems.push_back("path is not absolute");
    }
    if (const auto type = stringField(fields, "type"); type && *type != "stdio")
        check.problems.push_back("type is \"" + std::string(*type) + "\", not \"stdio\"");
    checkOrigins(fields, requiredIds);
    return check;
}

bool isOurManifest(std::string_view text) {
    simdjson::dom::parser parser;
    const auto object = parseObject(parser, text, nullptr);
    std::string_view path;
    if (!object || object->at_key("path").get_string().get(path) != simdjson::SUCCESS) return false;
    return path.ends_with("/" + std::string(hostProgramName));
}

bool isValidUtf8(std::string_view text) { return simdjson::validate_utf8(text.data(), text.size()); }

}  // namespace qorda::setup
