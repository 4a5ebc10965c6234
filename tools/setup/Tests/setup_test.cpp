#include "manifest.h"
#include "options.h"
#include "report.h"

#include <gtest/gtest.h>
#include <simdjson.h>

#include <string>
#include <vector>

namespace qorda::setup {
namespace {

const std::string goodId = "abcdefghijklmnopabcdefghijklmnop";
const std::string otherId = "pppppppppppppppppppppppppppppppp";

bool anyContains(const std::vector<std::string>& items, std::string_view part) {
    for (const auto& item : items)
        if (item.find(part) != std::string::npos) return true;
    return false;
}

TEST(Names, ExtensionIds) {
    const struct {
        std::string id;
        bool valid;
    } cases[] = {
        {goodId, true},
        {otherId, true},
        {goodId.substr(1), false},                    // 31
        {goodId + "a", false},                        // 33
        {"qbcdefghijklmnopabcdefghijklmnop", false},  // q is past p
        {"Abcdefghijklmnopabcdefghijklmnop", false},
        {"0bcdefghijklmnopabcdefghijklmnop", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isValidExtensionId(c.id), c.valid) << c.id;
}

TEST(Names, HostNames) {
    const struct {
        std::string_view name;
        bool valid;
    } cases[] = {
        {defaultHostName, true}, {"a", true},      {"_a.b_1.c9", true}, {"", false},
        {".a", false},           {"a.", false},    {"a..b", false},     {"Com.a", false},
        {"a-b", false},          {"a b", false},   {"a/b", false},      {".", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isValidHostName(c.name), c.valid) << c.name;
}

TEST(Names, Origins) {
    const struct {
        std::string origin;
        bool valid;
    } cases[] = {
        {"chrome-extension://" + goodId + "/", true},
        {"chrome-extension://" + goodId, false},  // the trailing slash is required
        {"chrome-extension://" + goodId + "/x", false},
        {"chrome-extension://*/", false},
        {"moz-extension://" + goodId + "/", false},
        {"chrome-extension:///", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isValidOrigin(c.origin), c.valid) << c.origin;
    EXPECT_EQ(originForExtension(goodId), "chrome-extension://" + goodId + "/");
}

TEST(Manifest, RoundTripKeepsAwkwardStrings) {
    const std::vector<std::string> paths = {
        "/usr/bin/QordaNativeMessagingHost",
        "/Users/x y/App \"q\" \\ dir/QordaNativeMessagingHost",
        "/opt/tab\there/line\nbreak/\x01/QordaNativeMessagingHost",
        "/opt/caf\xc3\xa9/QordaNativeMessagingHost",
    };
    for (const auto& path : paths) {
        const auto text =
            buildManifestText({std::string(defaultHostName), "desc \"quoted\"", path, {goodId, otherId}});
        const auto check = checkManifestText(text, defaultHostName, {goodId, otherId});
        EXPECT_TRUE(check.parsed) << text;
        EXPECT_TRUE(check.problems.empty()) << text << check.problems.front();
        EXPECT_EQ(check.hostPath, path);
        EXPECT_TRUE(isOurManifest(text));
    }
}

TEST(Manifest, ProblemsDetected) {
    const std::string origin = "\"chrome-extension://" + goodId + "/\"";
    const auto manifest = [&](std::string name, std::string path, std::string type, std::string origins) {
        return "{\"name\": " + name + ", \"description\": \"d\", \"path\": " + path + ", \"type\": " + type +
               ", \"allowed_origins\": " + origins + "}";
    };
    const std::string name = "\"com.velmox.qorda.native_host\"";
    const std::string path = "\"/usr/bin/QordaNativeMessagingHost\"";
    const struct {
        std::string text;
        std::string problem;  // "" when sound
    } cases[] = {
        {manifest(name, path, "\"stdio\"", "[" + origin + "]"), ""},
        {"{\"name\": ", "not valid JSON"},
        {"[1, 2]", "not a JSON object"},
        {manifest("\"com.other\"", path, "\"stdio\"", "[" + origin + "]"), "does not match"},
        {manifest("7", path, "\"stdio\"", "[" + origin + "]"), "\"name\" is not a string"},
        {manifest(name, "\"QordaNativeMessagingHost\"", "\"stdio\"", "[" + origin + "]"), "not absolute"},
        {manifest(name, path, "\"pipe\"", "[" + origin + "]"), "not \"stdio\""},
        {manifest(name, path, "\"stdio\"", "[]"), "is empty"},
        {manifest(name, path, "\"stdio\"", origin), "not an array"},
        {manifest(name, path, "\"stdio\"", "[\"chrome-extension://" + goodId + "\"]"), "malformed origin"},
        {manifest(name, path, "\"stdio\"", "[3]"), "not a string"},
        {"{\"name\": " + name + ", \"path\": " + path + ", \"type\": \"stdio\", \"allowed_origins\": [" +
             origin + "]}",
         "\"description\" is missing"},
        {"{\"name\": " + name + ", \"description\": \"\", \"path\": " + path +
             ", \"type\": \"stdio\", \"allowed_origins\": [" + origin + "]}",
         "\"description\" is empty"},
    };
    for (const auto& c : cases) {
        const auto check = checkManifestText(c.text, defaultHostName);
        if (c.problem.empty())
            EXPECT_TRUE(check.problems.empty()) << c.text;
        else
            EXPECT_TRUE(anyContains(check.problems, c.problem)) << c.text << "\nwanted: " << c.problem;
    }
    // Status names an extension the manifest does not allow.
    const auto check = checkManifestText(manifest(name, path, "\"stdio\"", "[" + origin + "]"),
                                         defaultHostName, {otherId});
    EXPECT_TRUE(anyContains(check.problems, otherId));
}

TEST(Manifest, Ownership) {
    const struct {
        std::string text;
        bool ours;
    } cases[] = {
        {R"({"path": "/usr/bin/QordaNativeMessagingHost"})", true},
        {R"({"path": "/usr/bin/OtherHost"})", false},
        {R"({"path": "/usr/bin/QordaNativeMessagingHostX"})", false},
        {R"({"path": "QordaNativeMessagingHost"})", false},
        {R"({"name": "x"})", false},
        {R"({"path": 1})", false},
        {"not json /usr/bin/QordaNativeMessagingHost", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isOurManifest(c.text), c.ours) << c.text;
}

TEST(Folders, SharedAndMissingFolders) {
    const std::filesystem::path home = "/h";
    using Paths = std::vector<std::filesystem::path>;
    const struct {
        Browser browser;
        Platform platform;
        Level level;
        Paths folders;
    } cases[] = {
        {Browser::chrome, Platform::Linux, Level::user, {"/h/.config/google-chrome/NativeMessagingHosts"}},
        {Browser::edge, Platform::MacOS, Level::system, {"/Library/Microsoft/Edge/NativeMessagingHosts"}},
        {Browser::brave, Platform::Linux, Level::system, {"/etc/opt/chrome/native-messaging-hosts"}},
        {Browser::brave,
         Platform::MacOS,
         Level::user,
         {"/h/Library/Application Support/BraveSoftware/Brave-Browser/NativeMessagingHosts",
          "/h/Library/Application Support/Google/Chrome/NativeMessagingHosts"}},
        {Browser::vivaldi, Platform::Linux, Level::system, {}},
        {Browser::vivaldi, Platform::MacOS, Level::system, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(manifestFolders(c.browser, c.platform, c.level, home), c.folders) << browserKey(c.browser);

    // Every browser has a user folder under home on both platforms.
    for (Browser browser : allBrowsers) {
        for (Platform platform : {Platform::Linux, Platform::MacOS}) {
            const auto folders = manifestFolders(browser, platform, Level::user, home);
            ASSERT_FALSE(folders.empty());
            EXPECT_EQ(folders.front().string().rfind("/h/", 0), 0u);
            EXPECT_EQ(presencePaths(browser, platform, home).front(), folders.front().parent_path());
        }
        EXPECT_EQ(browserFromKey(browserKey(browser)), browser);
    }
    EXPECT_FALSE(browserFromKey("firefox"));
    EXPECT_TRUE(sandboxProbes(Browser::chrome, Platform::MacOS, home).empty());
}

TEST(Targets, Selection) {
    const std::filesystem::path home = "/h";
    const auto onlyChromium = [](Browser b) { return b == Browser::chromium; };

    Selection all;
    auto targets = planTargets(all, Platform::Linux, home, onlyChromium);
    ASSERT_EQ(targets.size(), 5u);
    for (const auto& t : targets) EXPECT_EQ(t.expected, t.browser == "Chromium") << t.browser;

    Selection named{{Browser::vivaldi, Browser::brave}, {}, Level::system};
    targets = planTargets(named, Platform::Linux, home, onlyChromium);
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_EQ(targets[0].browser, "Brave");  // table order, not command-line order
    EXPECT_TRUE(targets[1].folder.empty());  // Vivaldi: no system folder
    EXPECT_TRUE(targets[0].expected && targets[1].expected);

    Selection dirs{{}, {"/p/one", "/p/two"}, Level::user};
    targets = planTargets(dirs, Platform::MacOS, home, onlyChromium);
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_EQ(targets[1].folder, "/p/two/NativeMessagingHosts");
    EXPECT_TRUE(targets[1].expected);
}

TEST(Options, Parsing) {
    const std::string id = "--extension-id=" + goodId;
    const struct {
        std::vector<std::string_view> args;
        std::string error;  // part of the message; "" when accepted
    } cases[] = {
        {{"install", "--extension-id", goodId}, ""},
        {{"--browser", "edge", "status", "--json"}, ""},
        {{"uninstall", "--user-data-dir=/tmp/p", "--force"}, ""},
        {{"install", id, "--name", "a.b", "--system", "--browser", "brave", "--host-path", "x"}, ""},
        {{}, "no command"},
        {{"frobnicate"}, "unknown command"},
        {{"status", "extra"}, "unexpected argument"},
        {{"status", "--verbose"}, "unknown option"},
        {{"install"}, "at least one --extension-id"},
        {{"install", "--extension-id", "abc"}, "bad extension ID"},
        {{"install", "--extension-id"}, "needs a value"},
        {{"status", "--name", "Bad.Name"}, "bad host name"},
        {{"status", "--browser", "firefox"}, "unknown browser"},
        {{"install", id, "--json"}, "does not apply to install"},
        {{"uninstall", id}, "does not apply to uninstall"},
        {{"status", "--force"}, "does not apply to status"},
        {{"status", "--system=yes"}, "does not take a value"},
        {{"status", "--system", "--user-data-dir", "/p"}, "cannot be combined"},
    };
    for (const auto& c : cases) {
        const auto parsed = parseOptions(c.args);
        std::string joined;
        for (auto a : c.args) joined += std::string(a) + " ";
        if (c.error.empty())
            EXPECT_EQ(parsed.error, "") << joined;
        else
            EXPECT_NE(parsed.error.find(c.error), std::string::npos) << joined << "-> " << parsed.error;
    }

    const auto parsed = parseOptions({"install", "--browser", "edge", "--extension-id", goodId,
                                      "--browser=edge", "--extension-id", goodId, "--extension-id",
                                      otherId, "--system"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.command, Command::install);
    EXPECT_EQ(parsed.options.extensionIds, (std::vector<std::string>{goodId, otherId}));
    EXPECT_EQ(parsed.options.browsers, std::vector<Browser>{Browser::edge});
    EXPECT_EQ(parsed.options.name, defaultHostName);
    EXPECT_TRUE(parsed.options.system);

    EXPECT_TRUE(parseOptions({"status", "--verbose", "--help"}).options.help);
    EXPECT_TRUE(parseOptions({"--help"}).options.help);
}

TEST(Report, TableAlignsAndJsonParses) {
    const std::vector<StatusRow> rows = {
        {"Chrome", "/h/.config/google-chrome/NativeMessagingHosts", "ok", {}, {}},
        {"Chromium", "/h/c", "invalid", {"type is \"x\"", "path is not absolute"}, {"a Snap"}},
    };
    const auto table = renderStatusTable(rows);
    const auto column = table.find("STATE");
    const auto second = table.find('\n') + 1, third = table.find('\n', second) + 1;
    EXPECT_EQ(table.substr(second + column, 2), "ok");
    EXPECT_EQ(table.substr(third + column, 7), "invalid");
    EXPECT_NE(table.find("type is \"x\"; path is not absolute\nnote: a Snap\n"), std::string::npos) << table;

    simdjson::dom::parser parser;
    simdjson::dom::array array, problems;
    ASSERT_EQ(parser.parse(renderStatusJson(rows)).get_array().get(array), simdjson::SUCCESS);
    ASSERT_EQ(array.at(1)["problems"].get_array().get(problems), simdjson::SUCCESS);
    EXPECT_EQ(problems.size(), 2u);
    EXPECT_EQ(renderStatusJson({}), "[]\n");
}

}  // namespace
}  // namespace qorda::setup
