// The pure parts of the setup command; options and disk effects are in setup_cli_test.
#include "manifest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qorda::setup {
namespace {

const std::string idA = "abcdefghijklmnopabcdefghijklmnop";
const std::string idB = "pppppppppppppppppppppppppppppppp";

TEST(Names, ExtensionIds) {
    const struct { std::string id; bool valid; } cases[] = {
        {idA, true}, {idB, true}, {idA.substr(1), false}, {idA + "a", false}, {"", false},
        {"qbcdefghijklmnopabcdefghijklmnop", false},  // q is past p
        {"Abcdefghijklmnopabcdefghijklmnop", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isValidExtensionId(c.id), c.valid) << "'" << c.id << "'";
}

TEST(Names, HostNames) {
    const struct { std::string_view name; bool valid; } cases[] = {
        {defaultHostName, true}, {"a", true},     {"_a.b_1.c9", true}, {"", false},    {".a", false},
        {"a.", false},           {"a..b", false}, {"Com.a", false},    {"a-b", false}, {"a/b", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isValidHostName(c.name), c.valid) << "'" << c.name << "'";
}

const std::string origin = "\"chrome-extension://" + idA + "/\"";
const std::string sound = R"({"name": "com.velmox.qorda.native_host", "description": "d", )"
                          R"("path": "/usr/bin/QordaNativeMessagingHost", "type": "stdio", )"
                          R"("allowed_origins": [)" + origin + "]}";

// The sound manifest with the first `from` replaced by `to`.
std::string soundWith(const std::string& from, const std::string& to) {
    std::string text = sound;
    return text.replace(text.find(from), from.size(), to);
}

TEST(Manifest, ProblemsFound) {
    const struct {
        std::string text;
        std::vector<std::string> requiredIds;  // extensions status was asked about
        std::string problem;                   // part of a reported problem; "" when sound
    } cases[] = {
        {sound, {idA}, ""},
        {sound, {idB}, "extension " + idB + " is not allowed"},
        {"{\"name\": ", {}, "not valid JSON"},
        {"[1, 2]", {}, "not a JSON object"},
        {soundWith("com.velmox", "com.other"), {}, "does not match"},
        {soundWith("\"com.velmox.qorda.native_host\"", "7"), {}, "\"name\" is not a string"},
        {soundWith("\"description\": \"d\", ", ""), {}, "\"description\" is missing"},
        {soundWith("\"d\"", "\"\""), {}, "\"description\" is empty"},
        {soundWith("\"/usr/bin/", "\""), {}, "path is not absolute"},
        {soundWith("\"stdio\"", "\"pipe\""), {}, "not \"stdio\""},
        {soundWith(origin, ""), {}, "\"allowed_origins\" is empty"},
        {soundWith("[" + origin + "]", origin), {}, "not an array"},
        {soundWith(origin, "3"), {}, "not a string"},
        {soundWith("/\"]", "p\"]"), {}, "malformed origin"},  // no trailing slash
        {soundWith(idA, "*"), {}, "malformed origin"},
    };
    for (const auto& c : cases) {
        const auto check = checkManifestText(c.text, defaultHostName, c.requiredIds);
        std::string problems;
        for (const auto& p : check.problems) problems += p + "; ";
        if (c.problem.empty())
            EXPECT_EQ(problems, "") << c.text;
        else
            EXPECT_NE(problems.find(c.problem), std::string::npos) << c.text << "\nwanted: " << c.problem;
    }
}

TEST(Manifest, RoundTripKeepsAwkwardPaths) {
    const std::string paths[] = {
        "/Users/x y/App \"q\" \\ dir/QordaNativeMessagingHost",
        "/opt/tab\there/line\nbreak/\x01/QordaNativeMessagingHost",
        "/opt/caf\xc3\xa9/QordaNativeMessagingHost",
    };
    for (const auto& path : paths) {
        const auto text = buildManifestText({std::string(defaultHostName), "d", path, {idA, idB}});
        const auto check = checkManifestText(text, defaultHostName, {idA, idB});
        EXPECT_TRUE(check.problems.empty()) << text;
        EXPECT_EQ(check.hostPath, path) << text;
        EXPECT_TRUE(isOurManifest(text)) << text;
    }
}

TEST(Folders, SharedAndMissingFolders) {
    const std::string mac = "/h/Library/Application Support/";
    using Paths = std::vector<std::filesystem::path>;
    const struct { Browser browser; Platform platform; Level level; Paths folders; } cases[] = {
        {Browser::brave, Platform::Linux, Level::system, {"/etc/opt/chrome/native-messaging-hosts"}},
        {Browser::brave, Platform::MacOS, Level::user,
         {mac + "BraveSoftware/Brave-Browser/NativeMessagingHosts",
          mac + "Google/Chrome/NativeMessagingHosts"}},
        {Browser::vivaldi, Platform::Linux, Level::system, {}},
        {Browser::vivaldi, Platform::MacOS, Level::system, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(manifestFolders(c.browser, c.platform, c.level, "/h"), c.folders)
            << browserKey(c.browser) << (c.platform == Platform::Linux ? " Linux" : " macOS")
            << (c.level == Level::user ? " user" : " system");
}

}  // namespace
}  // namespace qorda::setup
