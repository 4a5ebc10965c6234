// Takeovers through the built host, on a private session bus with a stand-in
// desktop application: inbox, launch and signal, and what each failure leaves.
#include "host_process.h"

#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <simdjson.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

extern char** environ;

namespace qorda::test {
namespace {

namespace fs = std::filesystem;

const std::string takeoverMessage =
    "{ \"messageType\": \"capture\", \"requestId\": \"t1\",\n  \"payload\": {\"intent\": {\"resource\": "
    "{\"url\": \"https://cdn.example/v.mp4\", \"mimeType\": \"video/mp4\"}}} }";
const std::string blockedMessage = R"({"payload":{"intent":{"resource":{"url":"ftp://cdn.example/v.mp4"}}}})";
const std::string bypassedMessage =
    R"({"payload":{"intent":{"resource":{"url":"https://skip.example/v.mp4","mimeType":"video/mp4"}}}})";

std::string contentOf(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

class HandOff : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qorda-handoff-XXXXXX";
    root_ = ::mkdtemp(pattern);
    for (const char* folder : {"run", "services", "records"}) fs::create_directories(root_ / folder);
    std::ofstream(root_ / "run" / "com.velmox.qorda.policy") << R"({"remoteBypassHosts":["skip.example"]})";
    environment_ = {{"XDG_RUNTIME_DIR", (root_ / "run").string()},
                    {"XDG_DATA_HOME", (root_ / "data" / "share").string()},
                    {"HOME", root_.string()},
                    {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (root_ / "bus").string()}};
  }

  void TearDown() override {
    stop(application_);
    stop(bus_);
    fs::remove_all(root_);
  }

  // A private bus; with installed, it can activate the stand-in application.
  void startBus(bool installed) {
    if (installed) {
      std::ofstream(root_ / "services" / "com.velmox.qorda.service")
          << "[D-BUS Service]\nName=com.velmox.qorda\nExec=" << QORDA_FAKE_APP << " " << (root_ / "records").string()
          << " --own-name --activated\n";
    }
    std::ofstream(root_ / "bus.conf") << "<busconfig><type>session</type><listen>unix:path=" << (root_ / "bus").string()
                                      << "</listen><servicedir>" << (root_ / "services").string()
                                      << "</servicedir><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                         "<allow eavesdrop=\"true\"/>"
                                         "<allow own=\"*\"/></policy></busconfig>";
    bus_ = spawn({"dbus-daemon", "--nofork", "--config-file=" + (root_ / "bus.conf").string()});
    ASSERT_TRUE(eventually([&] { return fs::exists(root_ / "bus"); }));
    ::setenv("DBUS_SESSION_BUS_ADDRESS", environment_["DBUS_SESSION_BUS_ADDRESS"].c_str(), 1);
  }

  // The stand-in application started by hand, listening for signals.
  void startApplication(bool ownName) {
    std::vector<std::string> arguments = {QORDA_FAKE_APP, (root_ / "records").string()};
    if (ownName) arguments.push_back("--own-name");
    application_ = spawn(arguments);
    ASSERT_TRUE(eventually([&] { return fs::exists(root_ / "records" / "ready"); }));
  }

  std::vector<std::string> send(const std::vector<std::string>& messages) {
    return repliesOfQuietRun(messages, environment_);
  }

  fs::path databasePath() const { return root_ / "data" / "share" / "group.com.velmox.qorda" / "defaults.sqlite3"; }

  // The inbox row as stored, or nothing.
  std::optional<std::string> inboxValue(const char* check = nullptr) const {
    sqlite3* database = nullptr;
    std::optional<std::string> value;
    if (sqlite3_open_v2(databasePath().c_str(), &database, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
      if (check != nullptr) {
        sqlite3_stmt* integrity = nullptr;
        sqlite3_prepare_v2(database, "PRAGMA integrity_check", -1, &integrity, nullptr);
        EXPECT_EQ(SQLITE_ROW, sqlite3_step(integrity));
        EXPECT_STREQ("ok", reinterpret_cast<const char*>(sqlite3_column_text(integrity, 0)));
        sqlite3_finalize(integrity);
      }
      sqlite3_stmt* select = nullptr;
      sqlite3_prepare_v2(database, "SELECT value FROM defaults WHERE key = 'capture_inbox_payloads'", -1, &select,
                         nullptr);
      if (select != nullptr && sqlite3_step(select) == SQLITE_ROW)
        value = reinterpret_cast<const char*>(sqlite3_column_text(select, 0));
      sqlite3_finalize(select);
    }
    sqlite3_close(database);
    return value;
  }

  void storeInboxValue(const std::string& value) {
    fs::create_directories(databasePath().parent_path());
    sqlite3* database = nullptr;
    sqlite3_open(databasePath().c_str(), &database);
    sqlite3_exec(database, "CREATE TABLE defaults(key TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL)", nullptr,
                 nullptr, nullptr);
    std::string sql = "INSERT OR REPLACE INTO defaults VALUES ('capture_inbox_payloads', '" + value + "')";
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(database, sql.c_str(), nullptr, nullptr, nullptr));
    sqlite3_close(database);
  }

  // The inbox as a list of strings; a failure when it is not one.
  std::vector<std::string> inbox() const {
    auto value = inboxValue("check");
    std::vector<std::string> entries;
    if (!value) return entries;
    simdjson::dom::parser parser;
    simdjson::dom::array array;
    if (parser.parse(*value).get(array)) {
      ADD_FAILURE() << "inbox is not a JSON array: " << *value;
      return entries;
    }
    for (auto element : array) entries.emplace_back(std::string_view(element));
    return entries;
  }

  std::vector<std::string> signals() const {
    std::vector<std::string> payloads;
    for (int i = 0; fs::exists(root_ / "records" / ("signal-" + std::to_string(i))); ++i)
      payloads.push_back(contentOf(root_ / "records" / ("signal-" + std::to_string(i))));
    return payloads;
  }

  int starts() const {
    std::string text = contentOf(root_ / "records" / "starts");
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }

  fs::path root_;
  Environment environment_;
  pid_t bus_ = -1;
  pid_t application_ = -1;
};

TEST_F(HandOff, TakeoversReachInboxLaunchAndSignalBeforeTheReply) {
  startBus(true);
  startApplication(false);
  auto replies = send({takeoverMessage, blockedMessage, bypassedMessage, "{}", "[1]"});
  ASSERT_EQ(5u, replies.size());
  EXPECT_EQ(std::vector<std::string>({takeoverMessage, "{}"}), inbox()) << "byte for byte, in frame order";
  ASSERT_TRUE(eventually([&] { return signals().size() == 2; }));
  EXPECT_EQ(std::vector<std::string>({"payload=" + takeoverMessage, "payload={}"}), signals());
  ASSERT_TRUE(eventually([&] { return starts() == 1; })) << "installed and not running: started once";
}

TEST_F(HandOff, LauncherStartsNothingWhenRunningOrNotInstalled) {
  struct Case {
    const char* name;
    bool installed;
    bool running;
  } cases[] = {{"not installed", false, false}, {"already running", true, true}};
  for (const Case& c : cases) {
    SetUp();
    startBus(c.installed);
    startApplication(c.running);
    send({takeoverMessage});
    ASSERT_TRUE(eventually([&] { return signals().size() == 1; })) << c.name;
    EXPECT_EQ(0, starts()) << c.name;
    EXPECT_EQ(1u, inbox().size()) << c.name;
    TearDown();
  }
}

TEST_F(HandOff, NoBusLeavesReplyAndInboxAlone) {
  auto withoutBus = send({takeoverMessage, takeoverMessage});
  ASSERT_EQ(2u, withoutBus.size());
  EXPECT_EQ(2u, inbox().size());
  startBus(true);
  EXPECT_EQ(withoutBus, send({takeoverMessage, takeoverMessage}));
}

TEST_F(HandOff, InboxThatIsNoListOfStringsIsReplaced) {
  for (const char* stored : {"\"a single string\"", "[\"a\", 1]", "{\"a\":[]}", "not json", "[]"}) {
    storeInboxValue(stored);
    send({"{}"});
    EXPECT_EQ(std::vector<std::string>({"{}"}), inbox()) << stored;
  }
  storeInboxValue(R"([ "kept \"as\" is" , "b" ])");
  send({"{}"});
  EXPECT_EQ(std::vector<std::string>({"kept \"as\" is", "b", "{}"}), inbox());
}

TEST_F(HandOff, StoreIsPrivateToTheUser) {
  ::umask(022);
  send({"{}"});
  struct stat status {};
  ASSERT_EQ(0, ::stat(databasePath().c_str(), &status));
  EXPECT_EQ(0600u, status.st_mode & 0777);
  ASSERT_EQ(0, ::stat(databasePath().parent_path().c_str(), &status));
  EXPECT_EQ(0700u, status.st_mode & 0777);
}

TEST_F(HandOff, ConcurrentHostsLoseNoCapture) {
  constexpr int hosts = 4, perHost = 100;
  std::vector<std::thread> threads;
  for (int h = 0; h < hosts; ++h) {
    threads.emplace_back([&, h] {
      std::vector<std::string> messages;
      for (int i = 0; i < perHost; ++i) messages.push_back(R"({"requestId":")" + std::to_string(h * perHost + i) + "\"}");
      send(messages);
    });
  }
  for (std::thread& thread : threads) thread.join();
  auto entries = inbox();
  EXPECT_EQ(static_cast<std::size_t>(hosts * perHost), entries.size());
  EXPECT_EQ(entries.size(), std::set<std::string>(entries.begin(), entries.end()).size());
}

TEST_F(HandOff, KilledHostLeavesOnlyWholeEntries) {
  send({"{}"});
  for (int round = 0; round < 5; ++round) {
    HostProcess host = startHost(environment_);
    std::string input;
    for (int i = 0; i < 200; ++i) input += frame(R"({"requestId":"k)" + std::to_string(i) + "\"}");
    sendBytes(host, input);
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + 7 * round));
    ::kill(host.pid, SIGKILL);
    finishHost(host);
  }
  for (const std::string& entry : inbox()) EXPECT_TRUE(entry == "{}" || entry.starts_with(R"({"requestId":"k)")) << entry;
}

}  // namespace
}  // namespace qorda::test
