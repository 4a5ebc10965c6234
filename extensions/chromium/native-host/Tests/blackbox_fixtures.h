// What the black-box tests need around the built host: a private world in a
// temporary folder (runtime, data and home folders, a private session bus
// with the stand-in desktop application), real pipes, frames, and the inbox
// as the desktop application reads it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace qorda::test {

namespace fs = std::filesystem;
using Database = std::unique_ptr<sqlite3, decltype(&sqlite3_close_v2)>;
using Rows = std::vector<std::pair<std::int64_t, std::string>>;

inline std::string frames(const std::vector<std::string>& bodies) {
  std::string bytes;
  for (const std::string& body : bodies)
    bytes += std::string{char(body.size()), char(body.size() >> 8), char(body.size() >> 16),
                         char(body.size() >> 24)} +
             body;
  return bytes;
}
inline std::string frame(const std::string& body) { return frames({body}); }

// The body of the first frame in bytes, taken out of them once it is whole.
inline std::optional<std::string> takeFrame(std::string& bytes) {
  std::size_t length = 0;
  for (std::size_t i = std::min<std::size_t>(bytes.size(), 4); i-- > 0;)
    length = length << 8 | std::uint8_t(bytes[i]);
  if (bytes.size() < 4 || bytes.size() - 4 < length) return std::nullopt;
  std::string body = bytes.substr(4, length);
  bytes.erase(0, 4 + length);
  return body;
}

// Polls condition for up to the given seconds.
template <typename Condition>
bool eventually(Condition condition, int seconds = 5) {
  for (int i = 0; i < seconds * 100 && !condition(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return condition();
}

// Starts words with descriptors 0 to 2 as given (-1: /dev/null).
inline pid_t spawnProcess(std::vector<std::string> words, const int (&descriptors)[3] = {-1, -1, -1}) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd < 3; ++fd)
    if (descriptors[fd] < 0 || posix_spawn_file_actions_adddup2(&actions, descriptors[fd], fd) != 0)
      posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
  pid_t pid = -1;
  EXPECT_EQ(0, posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ)) << words[0];
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// A handle that fails every statement when the file cannot be opened.
inline Database openDatabase(const fs::path& path) {
  sqlite3* handle = nullptr;
  sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr);
  sqlite3_busy_timeout(handle, 5000);
  return {handle, &sqlite3_close_v2};
}

// Runs sql; each row's first two columns, as id and text.
inline Rows execute(const Database& database, const std::string& sql) {
  Rows rows;
  auto add = [](void* out, int, char** values, char**) {
    static_cast<Rows*>(out)->emplace_back(std::atoll(values[0]), values[1] ? values[1] : "");
    return 0;
  };
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(database.get(), sql.c_str(), add, &rows, nullptr)) << sql;
  return rows;
}

enum class Bus { none, notRunning, running, frozen };

// A temporary folder with everything a host reaches, named by the process
// environment while it lives (one sandbox at a time); removed, and its bus
// and stand-in application stopped, when it goes.
struct Sandbox {
  Sandbox() {
    for (const char* folder : {"run", "data", "records"}) fs::create_directory(root / folder);
    ::setenv("XDG_RUNTIME_DIR", (root / "run").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
    ::setenv("HOME", root.c_str(), 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (root / "bus").string()).c_str(), 1);
  }
  ~Sandbox() {
    stopBus();
    fs::remove_all(root);
  }

  // A private session bus, which activates from XDG_DATA_HOME; unless frozen,
  // the stand-in application listens on it, in the mode given or the one the
  // bus says.
  void startBus(Bus kind, const char* mode = nullptr) {
    if (kind == Bus::none) return;
    fs::create_directories(root / "data" / "dbus-1" / "services");
    std::ofstream(root / "data" / "dbus-1" / "services" / "app.service")
        << "[D-BUS Service]\nName=com.velmox.qorda\nExec=" QORDA_STAND_IN " " << records() << " activated\n";
    fs::remove(root / "bus");
    bus = spawnProcess(
        {"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + (root / "bus").string()});
    EXPECT_TRUE(eventually([&] { return fs::exists(root / "bus"); })) << "dbus-daemon did not listen";
    if (kind == Bus::frozen) return (void)::kill(bus, SIGSTOP);
    startApplication(mode ? mode : kind == Bus::running ? "own" : "listen");
  }
  void startApplication(const char* mode) {
    fs::remove(root / "records" / "ready");
    application = spawnProcess({QORDA_STAND_IN, records(), mode});
    EXPECT_TRUE(eventually([&] { return !record("ready").empty(); })) << "the stand-in did not start";
  }
  void stopBus() {
    for (pid_t* pid : {&application, &bus})
      if (*pid > 0 && ::kill(*pid, SIGCONT) == 0 && ::kill(*pid, SIGTERM) == 0)
        ::waitpid(std::exchange(*pid, -1), nullptr, 0);
  }
  // Writes a temporary file and renames it over the policy file.
  void publish(std::string_view text) const {
    std::ofstream(root / "run" / "policy.tmp", std::ios::binary) << text;
    fs::rename(root / "run" / "policy.tmp", policyPath);
  }
  std::string records() const { return (root / "records").string(); }
  std::string record(const char* name) const {
    std::ostringstream text;
    text << std::ifstream(root / "records" / name, std::ios::binary).rdbuf();
    return text.str();
  }
  // Each capture signal the stand-in heard: its entries ("payload=…", then
  // "payloadAltered=…") joined by \x1f; waits until there are at least count.
  std::vector<std::string> signals(std::size_t count = 0) const {
    std::vector<std::string> signals;
    eventually([&] { return std::ranges::count(record("signals"), '\x1e') >= static_cast<long>(count); });
    std::istringstream all(record("signals"));
    for (std::string text; std::getline(all, text, '\x1e');) signals.push_back(text);
    return signals;
  }
  // The rows in id order, after checking the store as a reader would; with
  // drain, then deleted as the desktop application does, in a short write
  // transaction.
  Rows inbox(bool drain = false) const {
    if (!fs::exists(databasePath)) return {};
    // The user's browsing history: a private folder, a private file.
    EXPECT_EQ(fs::perms::owner_all, fs::status(databasePath.parent_path()).permissions());
    EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write, fs::status(databasePath).permissions());
    Database database = openDatabase(databasePath);
    Rows rows = execute(database, "SELECT id, payload FROM capture_inbox_payloads ORDER BY id");
    if (rows.empty()) return rows;
    // AUTOINCREMENT, named in sqlite_sequence: no id is handed out again after a drain.
    EXPECT_EQ(Rows({{0, "ok"}, {0, "wal"}, {0, "capture_inbox_payloads"}}),
              execute(database,
                      "SELECT 0, * FROM pragma_integrity_check; SELECT 0, * FROM pragma_journal_mode; "
                      "SELECT 0, name FROM sqlite_sequence"));
    if (drain)
      execute(database, "BEGIN IMMEDIATE; DELETE FROM capture_inbox_payloads WHERE id <= " +
                            std::to_string(rows.back().first) + "; COMMIT");
    return rows;
  }

  fs::path root = [] {
    std::string pattern = fs::temp_directory_path() / "qorda-blackbox-XXXXXX";
    return fs::path(::mkdtemp(pattern.data()));
  }();
  fs::path policyPath = root / "run" / "com.velmox.qorda.policy",
           databasePath = root / "data" / "group.com.velmox.qorda" / "defaults.sqlite3";
  pid_t bus = -1, application = -1;
};

// The built host with pipes for input and output. A host that has not
// answered within its deadline is killed, which ends every wait for it.
struct Host {
  explicit Host(int deadlineSeconds = 20)
      : deadline(std::chrono::steady_clock::now() + std::chrono::seconds(deadlineSeconds)) {
    std::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    EXPECT_TRUE(::pipe2(in, O_CLOEXEC) == 0 && ::pipe2(out, O_CLOEXEC) == 0);
    // Standard error goes to an unnamed file, read once the host has ended.
    errors = ::open(fs::temp_directory_path().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    // Root reads and writes past file modes; without these two capabilities
    // the host meets them as a user's host does.
    std::vector<std::string> words;
    if (::geteuid() == 0) words = {"setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"};
    // QORDA_HOST_PREFIX runs the host under another program, e.g. valgrind.
    std::istringstream prefix(std::getenv("QORDA_HOST_PREFIX") ? std::getenv("QORDA_HOST_PREFIX") : "");
    for (std::string word; prefix >> word;) words.push_back(word);
    // The browser passes the caller's origin; the host ignores it.
    words.insert(words.end(), {QORDA_HOST_BINARY, "chrome-extension://abcdefghijklmnopabcdefghijklmnop/"});
    pid = spawnProcess(words, {in[0], out[1], errors});
    ::close(in[0]), ::close(out[1]);
    input = in[1], output = out[0];
  }
  ~Host() {
    if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
    for (int fd : {input, output, errors}) ::close(fd);
  }
  void send(std::string_view bytes) {
    for (ssize_t n = 0; !bytes.empty() && (n >= 0 || errno == EINTR);
         bytes.remove_prefix(std::max<ssize_t>(n, 0)))
      n = ::write(input, bytes.data(), bytes.size());
  }
  // The next reply; nothing when the output ends first.
  std::optional<std::string> reply() {
    std::optional<std::string> body;
    for (char buffer[1 << 16]; !(body = takeFrame(pending));) {
      pollfd ready{output, POLLIN, 0};
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (::poll(&ready, 1, static_cast<int>(std::max<long>(left.count(), 0))) == 0) ::kill(pid, SIGKILL);
      ssize_t count = ::read(output, buffer, sizeof buffer);
      if (count == 0 || (count < 0 && errno != EINTR)) return std::nullopt;
      pending.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
    }
    return body;
  }
  // Writes input and closes it, while it collects the replies (reads in
  // pieces of any size: the frame-stream fuzzer); then expects a clean exit.
  std::vector<std::string> finish(std::string_view bytesIn = {}) {
    std::thread writer([&] {
      send(bytesIn);
      ::close(std::exchange(input, -1));
    });
    std::vector<std::string> replies;
    while (auto body = output >= 0 ? reply() : std::nullopt) replies.push_back(std::move(*body));
    writer.join();
    int status = -1;
    ::waitpid(std::exchange(pid, -1), &status, 0);
    std::string errorText(static_cast<std::size_t>(::lseek(errors, 0, SEEK_END)), '\0');
    EXPECT_TRUE(::pread(errors, errorText.data(), errorText.size(), 0) >= 0 && errorText.empty())
        << errorText;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    return replies;
  }
  long peakKilobytes() const {  // resident, from /proc
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line) && !line.starts_with("VmHWM:")) continue;
    return line.starts_with("VmHWM:") ? std::stol(line.substr(6)) : -1;
  }

  std::chrono::steady_clock::time_point deadline;
  pid_t pid = -1;
  int input = -1, output = -1, errors = -1;
  std::string pending;  // output not yet taken as replies
};

}  // namespace qorda::test
