// Runs the built qorda-native-host-setup against a private HOME and PATH.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

const std::string idA = "abcdefghijklmnopabcdefghijklmnop", name = "com.velmox.qorda.native_host";

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

class SetupCli : public ::testing::Test {
 protected:
  fs::path root = fs::path(::mkdtemp((fs::temp_directory_path() / "qorda-setup-XXXXXX").string().data())),
           home = root / "home", host = root / "bin/QordaNativeMessagingHost",
           chromium = home / ".config/chromium/NativeMessagingHosts" / (name + ".json");
  std::vector<std::string> install = {"install", "--browser", "chromium", "--extension-id", idA};

  void SetUp() override {
    writeFile(host, "#!/bin/sh\n");
    fs::permissions(host, fs::perms(0755));
  }
  void TearDown() override { fs::remove_all(root); }

  // Runs setup in root with only HOME and PATH set, under umask 077 so that
  // the modes seen are its own; expects the exit status and a part of the
  // output (standard output, then error), which it returns.
  std::string expect(std::vector<std::string> args, int status, const std::string& part = "") {
    std::string line = "cd '" + root.string() + "' && umask 077 && exec timeout 20 env -i PATH=bin HOME='" +
                       home.string() + "' '" QORDA_SETUP_COMMAND "'";
    if (args[0] == "install" && args[1] != "--system")
      args.insert(args.end(), {"--host-path", host.string()});
    for (const auto& arg : args) line += " '" + arg + "'";
    const int result = std::system((line + " >out 2>&1").c_str());
    const std::string out = readFile(root / "out");
    EXPECT_EQ(WIFEXITED(result) ? WEXITSTATUS(result) : -1, status) << line << "\n" << out;
    EXPECT_NE(out.find(part), std::string::npos) << part << " not in " << out;
    return out;
  }
};

// A manifest not ours is neither replaced nor removed without --force.
TEST_F(SetupCli, InstallStatusUninstallManifest) {
  expect(install, 0, "wrote " + chromium.string());
  EXPECT_EQ(fs::status(chromium).permissions(), fs::perms(0644));
  EXPECT_EQ(fs::status(home / ".config").permissions(), fs::perms(0700));  // private, as the browser's own
  EXPECT_FALSE(fs::exists(home / ".config/google-chrome"));                // only the named browser
  EXPECT_EQ(expect({"manifest", "--extension-id", idA, "--host-path", host.string()}, 0), readFile(chromium));
  expect({"status", "--browser", "chromium", "--extension-id", idA, "--json"}, 0, "\"state\": \"ok\"");
  expect({"status", "--browser", "chromium", "--browser", "chrome"}, 1, "not registered");
  fs::permissions(host, fs::perms(0644));
  expect({"status", "--browser", "chromium"}, 1, "not an executable file");
  expect({"uninstall", "--browser", "chromium"}, 0, "removed");
  EXPECT_FALSE(fs::exists(chromium));

  const std::string foreign = "{\"name\": \"" + name + "\", \"path\": \"/usr/bin/other-host\"}";
  writeFile(chromium, foreign);
  expect(install, 1, "--force");
  expect({"uninstall", "--browser", "chromium"}, 1, "--force");
  EXPECT_EQ(readFile(chromium), foreign);
  expect({"install", "--browser", "chromium", "--extension-id", idA, "--force"}, 0, "wrote");
}

// What status finds wrong in a manifest, and the files it will not read. The
// folder's name is not UTF-8, and the JSON still is.
TEST_F(SetupCli, StatusReportsEachProblem) {
  const fs::path manifest = root / "prof\xff/NativeMessagingHosts" / (name + ".json");
  const std::string sound =
      "{\"name\": \"" + name + "\", \"description\": \"d\", \"path\": \"" + host.string() +
      "\", \"type\": \"stdio\", \"allowed_origins\": [\"chrome-extension://" + idA + "/\"]}";
  const auto replaced = [&](const std::string& from, const std::string& to) {
    return std::string(sound).replace(sound.find(from), from.size(), to);
  };
  const std::pair<std::string, std::string> cases[] = {
      {sound, "\"state\": \"ok\""},
      {replaced("velmox", "other"), "does not match"},
      {replaced("\"" + root.string(), "\"bin"), "path is not absolute"},
      {replaced(idA, std::string(32, 'p')), "extension " + idA + " is not allowed"},
      {"link", "is a symbolic link"},
      {"fifo", "is not a regular file"},
      {std::string(1024 * 1024 + 1, ' '), "larger than 1 MiB"},
  };
  for (const auto& [text, problem] : cases) {
    fs::remove_all(root / "prof\xff");
    writeFile(manifest, text);
    if (text == "link" || text == "fifo") fs::remove(manifest);
    if (text == "link") fs::create_symlink("/dev/zero", manifest);
    if (text == "fifo") ::mkfifo(manifest.c_str(), 0600);
    const auto out = expect({"status", "--user-data-dir", "prof\xff", "--extension-id", idA, "--json"},
                            text == sound ? 0 : 1, problem);
    EXPECT_NE(out.find("prof\xef\xbf\xbd/"), std::string::npos) << out;  // the byte 0xff as U+FFFD
  }
}

// Run as root: no write through a link a user planted where setup's folders
// go; no system-wide host that a user could replace; no user folders made
// root's through another user's HOME (sudo -E), and status sees those.
TEST_F(SetupCli, RootRefusesWhatUsersCouldAbuse) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  fs::create_directories(home / ".config/chromium");
  fs::create_directory_symlink(root / "bin", chromium.parent_path());
  expect(install, 1, "symbolic link");
  EXPECT_FALSE(fs::exists(root / "bin" / chromium.filename()));

  fs::create_directory(root / "open");
  fs::permissions(root / "open", fs::perms(0777));
  fs::create_symlink(root / "open", root / "link");
  ASSERT_EQ(::chown(host.c_str(), 65534, 65534), 0);
  const std::pair<fs::path, std::string> hosts[] = {
      {"/bin/sh", "Vivaldi has no system-wide folder"},  // through root's own links
      {host, "refusing --system: " + host.string() + " is owned by uid 65534"},
      {root / "link/host", "refusing --system: " + (root / "open").string() + " is writable"},
  };
  for (const auto& [path, refusal] : hosts)
    expect({"install", "--system", "--browser", "vivaldi", "--extension-id", idA, "--host-path", path}, 1,
           refusal);

  fs::remove_all(home / ".config");
  expect(install, 0);  // root's alone, as a run with sudo -E left it
  ASSERT_EQ(::chown(home.c_str(), 65534, 65534), 0);
  const auto refusal = expect(install, 1, "use --system for every user, or run without sudo");
  EXPECT_EQ(refusal.find('\n') + 1, refusal.size()) << refusal;
  expect({"status", "--browser", "chromium"}, 1, home.string() + "/.config cannot be read by uid 65534");
}

// Each a single line, exit status 2, and nothing done.
TEST_F(SetupCli, BadArgumentsExitTwo) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"install", "--browser", "chromium"}, "--extension-id is required"},
      {{"manifest", "--extension-id", idA}, "--host-path is required"},
      {{"install", "--extension-id", "qbcdefghijklmnopabcdefghijklmnop"}, "is not an extension ID"},
  };
  for (const auto& [args, message] : cases) {
    const auto out = expect(args, 2, message);
    EXPECT_EQ(out.find('\n') + 1, out.size()) << out;
  }
  EXPECT_FALSE(fs::exists(home / ".config"));
}

}  // namespace
