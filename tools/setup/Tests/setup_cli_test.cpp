// Runs the built qorda-native-host-setup against a private HOME and PATH.
#include <gtest/gtest.h>
#include <simdjson.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string idA = "abcdefghijklmnopabcdefghijklmnop";
const std::string hostName = "com.velmox.qorda.native_host";

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

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

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info.st_mode & 07777;
}

class SetupCli : public ::testing::Test {
protected:
    fs::path root, home, bin, host;

    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "qorda-setup-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
        home = root / "home";
        bin = root / "bin";
        host = bin / "QordaNativeMessagingHost";
        fs::create_directories(home);
        writeFile(host, "#!/bin/sh\nexit 0\n");
        fs::permissions(host, fs::perms(0755));
    }
    void TearDown() override { fs::remove_all(root); }

    // A umask of 077 shows whether the command sets modes itself.
    Outcome run(std::vector<std::string> args, const fs::path& program = QORDA_SETUP_COMMAND,
            const fs::path& cwd = {}) {
        const fs::path outFile = root / "stdout", errFile = root / "stderr";
        const std::string homeVar = "HOME=" + home.string(), pathVar = "PATH=" + bin.string();
        args.insert(args.begin(), program.string());
        std::vector<char*> argv, envp{const_cast<char*>(homeVar.c_str()), const_cast<char*>(pathVar.c_str()),
                                      nullptr};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);

        const pid_t pid = ::fork();
        if (pid == 0) {
            ::umask(077);
            if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(127);
            const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(outFile), readFile(errFile)};
    }

    fs::path chromiumManifest() const {
        return home / ".config/chromium/NativeMessagingHosts" / (hostName + ".json");
    }
};

std::string hostPathIn(const fs::path& manifest) {
    simdjson::dom::parser parser;
    std::string_view path;
    if (parser.load(manifest.string())["path"].get_string().get(path) != simdjson::SUCCESS) return "";
    return std::string(path);
}

TEST_F(SetupCli, InstallStatusUninstallForNamedBrowser) {
    auto r = run({"install", "--browser", "chromium", "--extension-id", idA, "--host-path", host.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const fs::path manifest = chromiumManifest();
    ASSERT_TRUE(fs::exists(manifest)) << r.out;
    EXPECT_NE(r.out.find(manifest.string()), std::string::npos);
    EXPECT_EQ(modeOf(manifest), 0644u);
    EXPECT_EQ(modeOf(manifest.parent_path()), 0755u);
    EXPECT_EQ(modeOf(manifest.parent_path().parent_path()), 0755u);
    EXPECT_EQ(hostPathIn(manifest), host.string());
    EXPECT_FALSE(fs::exists(home / ".config/google-chrome"));  // only the named browser

    r = run({"install", "--browser", "chromium", "--extension-id", idA, "--host-path", host.string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("up to date"), std::string::npos);

    r = run({"status", "--browser", "chromium", "--extension-id", idA});
    EXPECT_EQ(r.status, 0) << r.out << r.err;

    r = run({"status", "--browser", "chromium", "--json"});
    EXPECT_EQ(r.status, 0);
    simdjson::dom::parser parser;
    simdjson::dom::array rows;
    ASSERT_EQ(parser.parse(r.out).get_array().get(rows), simdjson::SUCCESS) << r.out;
    ASSERT_EQ(rows.size(), 1u);
    std::string_view state, browser;
    EXPECT_EQ(rows.at(0)["state"].get_string().get(state), simdjson::SUCCESS);
    EXPECT_EQ(rows.at(0)["browser"].get_string().get(browser), simdjson::SUCCESS);
    EXPECT_EQ(state, "ok");
    EXPECT_EQ(browser, "Chromium");

    // A host that lost its execute bit is a problem status must report.
    fs::permissions(host, fs::perms(0644));
    r = run({"status", "--browser", "chromium"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("not an executable file"), std::string::npos) << r.out;
    fs::permissions(host, fs::perms(0755));

    r = run({"uninstall", "--browser", "chromium"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("removed " + manifest.string()), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(manifest));

    r = run({"status", "--browser", "chromium"});
    EXPECT_EQ(r.status, 1);  // a named browser without a manifest
    EXPECT_NE(r.out.find("missing"), std::string::npos) << r.out;
}

TEST_F(SetupCli, UserDataDirRelativeToWorkingFolder) {
    const fs::path profile = root / "profile";
    auto r = run({"install", "--user-data-dir", "profile", "--extension-id", idA, "--host-path",
                  "bin/QordaNativeMessagingHost"},
                 QORDA_SETUP_COMMAND, root);
    ASSERT_EQ(r.status, 0) << r.err;
    const fs::path manifest = profile / "NativeMessagingHosts" / (hostName + ".json");
    ASSERT_TRUE(fs::exists(manifest));
    EXPECT_EQ(hostPathIn(manifest), host.string());  // made absolute
    EXPECT_FALSE(fs::exists(home / ".config"));

    r = run({"status", "--user-data-dir", profile.string()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    r = run({"uninstall", "--user-data-dir", profile.string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(fs::exists(manifest));
}

TEST_F(SetupCli, DefaultsToBrowsersFoundAndHostBesideCommand) {
    // A copy of the command beside the host finds it without --host-path.
    const fs::path command = bin / "qorda-native-host-setup";
    fs::copy_file(QORDA_SETUP_COMMAND, command);

    auto r = run({"status"}, command);
    EXPECT_EQ(r.status, 1);  // registered nowhere is not sound
    EXPECT_NE(r.err.find("no manifest"), std::string::npos) << r.err;

    r = run({"install", "--extension-id", idA}, command);
    EXPECT_EQ(r.status, 1);  // no browser installed yet
    EXPECT_NE(r.err.find("no browser"), std::string::npos) << r.err;

    fs::create_directories(home / ".config/vivaldi");
    r = run({"install", "--extension-id", idA}, command);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("found Vivaldi"), std::string::npos) << r.out;
    const fs::path manifest = home / ".config/vivaldi/NativeMessagingHosts" / (hostName + ".json");
    EXPECT_EQ(hostPathIn(manifest), host.string());
    EXPECT_FALSE(fs::exists(home / ".config/chromium"));

    r = run({"status"}, command);
    EXPECT_EQ(r.status, 0) << r.out << r.err;  // absent browsers are fine

    // Without a host beside it, the command refuses rather than register nothing.
    fs::remove(host);
    r = run({"install", "--extension-id", idA}, command);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--host-path"), std::string::npos) << r.err;
}

TEST_F(SetupCli, ForeignManifestNeedsForce) {
    const std::string foreign[] = {
        R"({"name": "com.velmox.qorda.native_host", "path": "/usr/bin/another-host", "type": "stdio"})",
        "this is not JSON",
    };
    const fs::path manifest = chromiumManifest();
    for (const auto& text : foreign) {
        writeFile(manifest, text);
        const std::vector<std::string> install = {"install", "--browser", "chromium", "--extension-id", idA,
                                                  "--host-path", host.string()};
        auto r = run(install);
        EXPECT_EQ(r.status, 1) << text;
        EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
        EXPECT_EQ(readFile(manifest), text);

        r = run({"uninstall", "--browser", "chromium"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(readFile(manifest), text);

        r = run({"status", "--browser", "chromium", "--json"});
        EXPECT_EQ(r.status, 1) << r.out;
        simdjson::dom::parser parser;
        std::string_view state;
        ASSERT_EQ(parser.parse(r.out).at(0)["state"].get_string().get(state), simdjson::SUCCESS) << r.out;
        EXPECT_EQ(state, "invalid");

        auto forced = install;
        forced.push_back("--force");
        r = run(forced);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(hostPathIn(manifest), host.string());
    }
    writeFile(manifest, foreign[0]);
    auto r = run({"uninstall", "--browser", "chromium", "--force"});
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(fs::exists(manifest));
}

TEST_F(SetupCli, BadArgumentsExitTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {"install", "--bogus"},
        {"install", "--browser", "chromium"},
        {"install", "--extension-id", "ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP"},
        {"install", "--extension-id", idA, "--name", "com..qorda"},
        {"status", "--browser", "netscape"},
        {"status", "--user-data-dir"},
        {},
    };
    for (const auto& args : cases) {
        const auto r = run(args);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]);
        EXPECT_TRUE(r.out.empty());
        // One line saying what is wrong, one pointing at --help.
        ASSERT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
        EXPECT_NE(r.err.find("--help"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(home / ".config"));

    const auto r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: qorda-native-host-setup"), std::string::npos);
}

}  // namespace
