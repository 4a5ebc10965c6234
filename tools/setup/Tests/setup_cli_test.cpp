// Runs the built qorda-native-host-setup against a private HOME and PATH.
#include <gtest/gtest.h>
#include <simdjson.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string idA = "abcdefghijklmnopabcdefghijklmnop";
const std::string manifestName = "com.velmox.qorda.native_host.json";
constexpr auto npos = std::string::npos;

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

unsigned modeOf(const fs::path& path) { return static_cast<unsigned>(fs::status(path).permissions()); }

class SetupCli : public ::testing::Test {
 protected:
  fs::path root, home, host, chromium;
  std::vector<std::string> installChromium;

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "qorda-setup-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root = pattern;
    home = root / "home";
    host = root / "bin/QordaNativeMessagingHost";
    chromium = home / ".config/chromium/NativeMessagingHosts" / manifestName;
    writeFile(host, "#!/bin/sh\n");
    fs::permissions(host, fs::perms(0755));
    installChromium = {"install", "--browser",   "chromium",   "--extension-id",
                       idA,       "--host-path", host.string()};
  }
  void TearDown() override { fs::remove_all(root); }

  // In root with only HOME and PATH set, under umask 077 so that the modes
  // seen are ones the command set itself, and never for more than 20 s. No
  // argument holds a quote.
  Outcome run(const std::vector<std::string>& args, const std::string& homeVariable = "") {
    std::string line = "cd '" + root.string() + "' && umask 077 && exec timeout 20 env -i HOME='" +
                       (homeVariable.empty() ? home.string() : homeVariable) + "' PATH='" +
                       host.parent_path().string() + "' '" QORDA_SETUP_COMMAND "'";
    for (const auto& a : args) line += " '" + a + "'";
    const int status = std::system((line + " >stdout 2>stderr").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(root / "stdout"),
            readFile(root / "stderr")};
  }

  // Runs args and expects the exit status and the parts of standard output
  // and error given.
  Outcome expect(const std::vector<std::string>& args, int status, const std::string& inOut = "",
                 const std::string& inErr = "", const std::string& homeVariable = "") {
    Outcome r = run(args, homeVariable);
    EXPECT_EQ(r.status, status) << testing::PrintToString(args) << "\n" << r.out << r.err;
    EXPECT_NE(r.out.find(inOut), npos) << inOut << " not in " << r.out;
    EXPECT_NE(r.err.find(inErr), npos) << inErr << " not in " << r.err;
    return r;
  }
};

TEST_F(SetupCli, InstallStatusUninstallForNamedBrowser) {
  ASSERT_EQ(expect(installChromium, 0).status, 0);
  EXPECT_EQ(modeOf(chromium), 0644u);
  EXPECT_EQ(modeOf(chromium.parent_path()), 0700u);  // private, as the browser makes its own
  EXPECT_EQ(modeOf(home / ".config"), 0700u);
  EXPECT_FALSE(fs::exists(home / ".config/google-chrome"));  // only the named browser

  // Sound means the manifest allows idA and names an absolute, executable host.
  expect({"status", "--browser", "chromium", "--extension-id", idA, "--json"}, 0, "\"state\": \"ok\"");
  expect({"status", "--browser", "chromium", "--browser", "chrome"}, 1);  // Chrome not registered
  fs::permissions(host, fs::perms(0644));                                 // the host lost its execute bit
  expect({"status", "--browser", "chromium"}, 1, "not an executable file");
  expect({"uninstall", "--browser", "chromium"}, 0);
  EXPECT_FALSE(fs::exists(chromium));
}

TEST_F(SetupCli, UserDataDirRelativeToWorkingFolder) {
  const std::vector<std::string> install = {"install",
                                            "--user-data-dir",
                                            "profile",
                                            "--extension-id",
                                            idA,
                                            "--host-path",
                                            "bin/QordaNativeMessagingHost"};
  ASSERT_EQ(expect(install, 0).status, 0);
  const fs::path manifest = root / "profile/NativeMessagingHosts" / manifestName;
  EXPECT_TRUE(fs::exists(manifest));
  EXPECT_FALSE(fs::exists(home / ".config"));
  expect({"status", "--user-data-dir", "profile"}, 0);  // the host path was made absolute
  expect({"uninstall", "--user-data-dir", "profile"}, 0);
  EXPECT_FALSE(fs::exists(manifest));
  expect(install, 1, "", "HOME is a relative path", "home");  // a relative HOME names no folder
}

TEST_F(SetupCli, ForeignManifestNeedsForce) {
  const std::string foreign = R"({"name": "com.velmox.qorda.native_host", "path": "/usr/bin/other-host"})";
  writeFile(chromium, foreign);
  expect(installChromium, 1, "", "--force");
  expect({"uninstall", "--browser", "chromium"}, 1);
  EXPECT_EQ(readFile(chromium), foreign);
  installChromium.push_back("--force");
  expect(installChromium, 0);
  expect({"status", "--browser", "chromium"}, 0);
}

// A manifest status must not read is reported, without aborting or hanging;
// the JSON stays valid whatever bytes the path holds.
TEST_F(SetupCli, StatusReportsManifestsItWillNotRead) {
  const fs::path profile = root / "prof\xff";
  const fs::path manifest = profile / "NativeMessagingHosts" / manifestName;
  const std::pair<void (*)(const fs::path&), std::string> cases[] = {
      {[](const fs::path& p) { fs::create_symlink("/dev/zero", p); }, "is a symbolic link"},
      {[](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, "is not a regular file"},
      {[](const fs::path& p) { writeFile(p, std::string(1024 * 1024 + 1, ' ')); }, "larger than 1 MiB"},
  };
  for (const auto& [plant, problem] : cases) {
    fs::remove_all(profile);
    fs::create_directories(manifest.parent_path());
    plant(manifest);
    const auto r = expect({"status", "--user-data-dir", profile.string(), "--json"}, 1, problem);
    simdjson::dom::parser parser;
    EXPECT_EQ(parser.parse(r.out).error(), simdjson::SUCCESS) << r.out;
    EXPECT_NE(r.out.find("prof\xef\xbf\xbd/"), npos) << r.out;  // the byte 0xff as U+FFFD
  }
}

// Run as root, setup neither changes the mode of a file nor writes into a
// folder through a link a user planted where its folders go.
TEST_F(SetupCli, RootFollowsNoPlantedLink) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  const fs::path file = root / "secret", folder = root / "secret.d";
  writeFile(file, "x");
  fs::permissions(file, fs::perms(0600));
  fs::create_directory(folder);
  fs::permissions(folder, fs::perms(0750));
  for (const auto& [target, mode] : {std::pair{file, 0600u}, std::pair{folder, 0750u}}) {
    fs::remove_all(home / ".config");
    fs::create_directories(chromium.parent_path().parent_path());
    fs::create_symlink(target, chromium.parent_path());
    expect(installChromium, 1, "", "symbolic link");
    EXPECT_EQ(modeOf(target), mode) << target;
    EXPECT_TRUE(fs::is_regular_file(target) || fs::is_empty(target)) << target;
  }
}

// A system-wide host that a user other than root could replace is refused,
// --force or not: the first such file, folder or link on the way is named.
TEST_F(SetupCli, SystemRefusesHostOthersCanReplace) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  ASSERT_EQ(::chown(host.c_str(), 65534, 65534), 0);
  fs::create_directory(root / "open");
  fs::permissions(root / "open", fs::perms(0777));
  fs::create_symlink(root / "open", root / "link");
  const std::pair<fs::path, fs::path> cases[] = {
      {"/bin/sh", ""},  // through root's own links
      {host, host},
      {root / "open/host", root / "open"},
      {root / "link/host", root / "open"},
  };
  for (const auto& [path, offender] : cases) {
    // Vivaldi has no system folder: nothing is written even if the host passes.
    const auto r = expect({"install", "--system", "--force", "--browser", "vivaldi", "--extension-id", idA,
                           "--host-path", path.string()},
                          1);
    const auto refusal =
        r.err.find("refusing --system: " + offender.string() + (offender.empty() ? "" : " is "));
    EXPECT_EQ(refusal == npos, offender.empty()) << path << ": " << r.err;
  }
}

// Each a single line on stderr, exit status 2, and nothing done.
TEST_F(SetupCli, BadArgumentsExitTwo) {
  const std::string id = "--extension-id=" + idA;
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "no command"},
      {{"frobnicate"}, "not expected: frobnicate"},
      {{"install", id, "--json"}, "not expected: --json"},  // a status option
      {{"install", "--browser", "chromium"}, "--extension-id is required"},
      {{"install", "--extension-id", "ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP"}, "is not an extension ID"},
      {{"install", id, "--name", "com..qorda"}, "is not a host name"},
      {{"install", id, "--host-path", ""}, "is not a path"},
      {{"status", "--browser", "netscape"}, "is not a browser"},
      {{"status", "--system", "--user-data-dir", "p"}, "excludes"},
  };
  for (const auto& [args, message] : cases) {
    const auto r = expect(args, 2, "", message);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  EXPECT_FALSE(fs::exists(home / ".config"));
}

}  // namespace
