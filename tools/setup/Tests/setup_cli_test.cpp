// Runs the built qorda-native-host-setup against a private HOME and PATH.
#include <gtest/gtest.h>
#include <simdjson.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string idA = "abcdefghijklmnopabcdefghijklmnop";
const std::string manifestName = "com.velmox.qorda.native_host.json";

struct Outcome { int status = -1; std::string out, err; };

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

unsigned modeOf(const fs::path& path) { return static_cast<unsigned>(fs::status(path).permissions()); }

class SetupCli : public ::testing::Test {
protected:
    fs::path root, home, host, chromium;

    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "qorda-setup-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
        home = root / "home";
        host = root / "bin/QordaNativeMessagingHost";
        chromium = home / ".config/chromium/NativeMessagingHosts" / manifestName;
        fs::create_directories(home);
        writeFile(host, "#!/bin/sh\n");
        fs::permissions(host, fs::perms(0755));
    }
    void TearDown() override { fs::remove_all(root); }

    // In root with only HOME and PATH set, under umask 077 so that the modes
    // seen are ones the command set itself. No argument holds a quote.
    Outcome run(const std::vector<std::string>& args) {
        std::string line = "cd '" + root.string() + "' && umask 077 && exec env -i HOME='" + home.string() +
                           "' PATH='" + host.parent_path().string() + "' '" QORDA_SETUP_COMMAND "'";
        for (const auto& a : args) line += " '" + a + "'";
        const int status = std::system((line + " >stdout 2>stderr").c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(root / "stdout"),
                readFile(root / "stderr")};
    }
};

TEST_F(SetupCli, InstallStatusUninstallForNamedBrowser) {
    auto r = run({"install", "--browser", "chromium", "--extension-id", idA, "--host-path", host.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(modeOf(chromium), 0644u);
    EXPECT_EQ(modeOf(chromium.parent_path()), 0755u);
    EXPECT_EQ(modeOf(chromium.parent_path().parent_path()), 0755u);
    EXPECT_FALSE(fs::exists(home / ".config/google-chrome"));  // only the named browser

    // Sound means the manifest allows idA and names an absolute, executable host.
    r = run({"status", "--browser", "chromium", "--extension-id", idA, "--json"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    simdjson::dom::parser parser;
    std::string_view state;
    ASSERT_EQ(parser.parse(r.out).at(0)["state"].get_string().get(state), simdjson::SUCCESS) << r.out;
    EXPECT_EQ(state, "ok");
    EXPECT_EQ(run({"status", "--browser", "chromium", "--browser", "chrome"}).status, 1);  // Chrome not registered

    fs::permissions(host, fs::perms(0644));  // the host lost its execute bit
    r = run({"status", "--browser", "chromium"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("not an executable file"), std::string::npos) << r.out;

    r = run({"uninstall", "--browser", "chromium"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::exists(chromium));
}

TEST_F(SetupCli, UserDataDirRelativeToWorkingFolder) {
    auto r = run({"install", "--user-data-dir", "profile", "--extension-id", idA, "--host-path",
                  "bin/QordaNativeMessagingHost"});
    ASSERT_EQ(r.status, 0) << r.err;
    const fs::path manifest = root / "profile/NativeMessagingHosts" / manifestName;
    EXPECT_TRUE(fs::exists(manifest));
    EXPECT_FALSE(fs::exists(home / ".config"));
    r = run({"status", "--user-data-dir", "profile"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;  // the host path was made absolute
    EXPECT_EQ(run({"uninstall", "--user-data-dir", "profile"}).status, 0);
    EXPECT_FALSE(fs::exists(manifest));
}

TEST_F(SetupCli, ForeignManifestNeedsForce) {
    const std::string foreign = R"({"name": "com.velmox.qorda.native_host", "path": "/usr/bin/other-host"})";
    writeFile(chromium, foreign);
    std::vector<std::string> install = {"install", "--browser", "chromium", "--extension-id", idA,
                                        "--host-path", host.string()};
    const auto r = run(install);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
    EXPECT_EQ(run({"uninstall", "--browser", "chromium"}).status, 1);
    EXPECT_EQ(readFile(chromium), foreign);

    install.push_back("--force");
    EXPECT_EQ(run(install).status, 0);
    EXPECT_EQ(run({"status", "--browser", "chromium"}).status, 0);
}

TEST_F(SetupCli, BadArgumentsExitTwo) {
    const std::string id = "--extension-id=" + idA;
    const struct { std::vector<std::string> args; std::string message; } cases[] = {
        {{}, "no command"},
        {{"frobnicate"}, "unknown command"},
        {{"status", "extra"}, "unexpected argument"},
        {{"install", id, "--bogus"}, "unknown option"},
        {{"install", "--browser", "chromium"}, "at least one --extension-id"},
        {{"install", "--extension-id", "ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP"}, "bad extension ID"},
        {{"install", id, "--name", "com..qorda"}, "bad host name"},
        {{"status", "--browser", "netscape"}, "unknown browser"},
        {{"status", "--user-data-dir"}, "needs a value"},
        {{"status", "--system=yes"}, "does not take a value"},
        {{"install", id, "--json"}, "does not apply to install"},
        {{"status", "--force"}, "does not apply to status"},
        {{"status", "--system", "--user-data-dir", "p"}, "cannot be combined"},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const auto& a : c.args) line += a + " ";
        const auto r = run(c.args);
        EXPECT_EQ(r.status, 2) << line;
        EXPECT_EQ(r.out, "") << line;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << line << "-> " << r.err;
        // The error on one line, then one pointing at --help.
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << line << "-> " << r.err;
    }
    EXPECT_FALSE(fs::exists(home / ".config"));
}

}  // namespace
