#include "blackbox_fixtures.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace qorda::test {
namespace {

using Database = std::unique_ptr<sqlite3, decltype(&sqlite3_close_v2)>;

constexpr const char* inboxTable =
    "CREATE TABLE capture_inbox_payloads(id INTEGER PRIMARY KEY AUTOINCREMENT, payload TEXT NOT NULL)";

void check(bool succeeded, const std::string& what) {
  if (!succeeded) throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Starts words with descriptors 0 to 2 as given (-1: /dev/null).
pid_t spawnProcess(std::vector<std::string> words, const int (&descriptors)[3] = {-1, -1, -1}) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd < 3; ++fd)
    if (descriptors[fd] >= 0)
      posix_spawn_file_actions_adddup2(&actions, descriptors[fd], fd);
    else
      posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
  pid_t pid = -1;
  errno = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  check(errno == 0, "cannot start " + words[0]);
  return pid;
}

void stop(pid_t& pid) {
  if (pid > 0 && ::kill(pid, SIGCONT) == 0 && ::kill(pid, SIGTERM) == 0) ::waitpid(pid, nullptr, 0);
  pid = -1;
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(std::exchange(fd, -1));
}

unsigned modeOf(const fs::path& path) { return static_cast<unsigned>(fs::status(path).permissions()); }

// The body of the first frame in bytes, taken out of them once it is whole.
std::optional<std::string> takeFrame(std::string& bytes) {
  std::size_t length = 0;
  for (std::size_t i = std::min<std::size_t>(bytes.size(), 4); i-- > 0;)
    length = length << 8 | std::uint8_t(bytes[i]);
  if (bytes.size() < 4 || bytes.size() - 4 < length) return std::nullopt;
  std::string body = bytes.substr(4, length);
  bytes.erase(0, 4 + length);
  return body;
}

// A handle that fails every statement when the file cannot be opened.
Database openDatabase(const fs::path& path, int flags = SQLITE_OPEN_READWRITE) {
  sqlite3* handle = nullptr;
  sqlite3_open_v2(path.c_str(), &handle, flags, nullptr);
  sqlite3_busy_timeout(handle, 5000);
  return {handle, &sqlite3_close_v2};
}

void execute(const Database& database, const std::string& sql) {
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(database.get(), sql.c_str(), nullptr, nullptr, nullptr))
      << sql << ": " << sqlite3_errmsg(database.get());
}

// The first two columns of every row that sql selects, as integer and text.
std::vector<InboxRow> select(const Database& database, const std::string& sql) {
  std::vector<InboxRow> rows;
  auto add = [](void* out, int, char** values, char**) {
    static_cast<std::vector<InboxRow>*>(out)->push_back({std::atoll(values[0]), values[1] ? values[1] : ""});
    return 0;
  };
  sqlite3_exec(database.get(), sql.c_str(), add, &rows, nullptr);
  return rows;
}

}  // namespace

std::string frame(std::string_view body) {
  std::string bytes;
  for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(body.size() >> shift & 0xFF);
  return bytes.append(body);
}

std::string frames(const std::vector<std::string>& bodies) {
  std::string bytes;
  for (const std::string& body : bodies) bytes += frame(body);
  return bytes;
}

std::vector<std::string> framesIn(std::string bytes) {
  std::vector<std::string> bodies;
  while (auto body = takeFrame(bytes)) bodies.push_back(std::move(*body));
  return bodies;
}

Sandbox::Sandbox() {
  std::string pattern = (fs::temp_directory_path() / "qorda-blackbox-XXXXXX").string();
  check(::mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  root = pattern;
  for (const char* folder : {"run", "data", "records", "services"}) fs::create_directory(root / folder);
  policyPath = root / "run" / "com.velmox.qorda.policy";
  databasePath = root / "data" / "group.com.velmox.qorda" / "defaults.sqlite3";
  ::setenv("XDG_RUNTIME_DIR", (root / "run").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
  ::setenv("HOME", root.c_str(), 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (root / "bus").string()).c_str(), 1);
}

Sandbox::~Sandbox() {
  stopBus();
  if (store_ == Store::smallDisk) ::umount2((root / "data").c_str(), MNT_DETACH);
  std::error_code ignored;
  fs::permissions(root / "data", fs::perms::owner_all, ignored);
  fs::remove_all(root, ignored);
}

void Sandbox::startBus(Bus bus, std::string applicationMode) {
  if (bus == Bus::none) return;
  std::string records = (root / "records").string();
  if (bus != Bus::notInstalled)
    std::ofstream(root / "services" / "com.velmox.qorda.service")
        << "[D-BUS Service]\nName=com.velmox.qorda\nExec=" QORDA_STAND_IN " " << records << " activated\n";
  std::ofstream(root / "bus.conf")
      << "<busconfig><type>session</type><listen>unix:path=" << (root / "bus").string()
      << "</listen><servicedir>" << (root / "services").string()
      << "</servicedir><policy context=\"default\"><allow send_destination=\"*\"/>"
         "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>";
  fs::remove(root / "bus");
  bus_ = spawnProcess({"dbus-daemon", "--nofork", "--config-file=" + (root / "bus.conf").string()});
  check(eventually([&] { return fs::exists(root / "bus"); }), "dbus-daemon did not listen");
  if (bus == Bus::frozen) return (void)::kill(bus_, SIGSTOP);
  if (applicationMode.empty()) applicationMode = bus == Bus::running ? "own" : "listen";
  fs::remove(root / "records" / "ready");
  application_ = spawnProcess({QORDA_STAND_IN, records, applicationMode});
  check(eventually([&] { return !record("ready").empty(); }), "the stand-in application did not start");
}

void Sandbox::stopBus() {
  stop(application_);
  stop(bus_);
}

void Sandbox::makePolicy(PolicyFile kind, const std::string& text) {
  if (!text.empty()) publish(text);
  if (kind == PolicyFile::directory) fs::create_directory(policyPath);
  if (kind == PolicyFile::fifo) ::mkfifo(policyPath.c_str(), 0600);
  if (kind == PolicyFile::danglingLink) fs::create_symlink(root / "gone", policyPath);
  if (kind == PolicyFile::unreadable) fs::permissions(policyPath, fs::perms::none);
  if (kind == PolicyFile::sparseTiB || kind == PolicyFile::sparse2GiB)
    fs::resize_file(policyPath, std::uintmax_t{kind == PolicyFile::sparseTiB ? 1024u : 2u} << 30);
  if (kind == PolicyFile::noRuntimeDirectory) ::unsetenv("XDG_RUNTIME_DIR");
}

void Sandbox::publish(std::string_view text) {
  std::ofstream(root / "run" / "policy.tmp", std::ios::binary) << text;
  fs::rename(root / "run" / "policy.tmp", policyPath);
}

void Sandbox::rewriteInPlace(std::string_view text) {
  struct stat before {};
  ASSERT_TRUE(::stat(policyPath.c_str(), &before) == 0 && before.st_size == static_cast<off_t>(text.size()));
  std::ofstream(policyPath, std::ios::in | std::ios::out | std::ios::binary) << text;
  const timespec times[2] = {before.st_atim, before.st_mtim};
  EXPECT_EQ(0, ::utimensat(AT_FDCWD, policyPath.c_str(), times, 0));
}

bool Sandbox::makeStore(Store kind, const std::vector<std::string>& rows) {
  store_ = kind;
  fs::path data = root / "data", folder = databasePath.parent_path();
  if (kind == Store::smallDisk) return ::mount("tmpfs", data.c_str(), "tmpfs", 0, "size=1m,mode=0700") == 0;
  if (kind == Store::readOnly) fs::permissions(data, fs::perms::owner_read | fs::perms::owner_exec);
  if (kind == Store::readOnly || (kind == Store::fresh && rows.empty())) return true;
  fs::create_directory(folder);
  fs::permissions(folder, fs::perms::owner_all);
  if (kind == Store::notADatabase) return bool(std::ofstream(databasePath) << std::string(4096, 'n'));
  Database database = openDatabase(databasePath, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  fs::permissions(databasePath, fs::perms::owner_read | fs::perms::owner_write);
  execute(database,
          kind == Store::view         ? "CREATE VIEW capture_inbox_payloads AS SELECT 1 AS id, 'x' AS payload"
          : kind == Store::otherTable ? "CREATE TABLE capture_inbox_payloads(id INTEGER PRIMARY KEY, other)"
                                      : inboxTable);
  for (const std::string& row : rows)
    execute(database, "INSERT INTO capture_inbox_payloads(payload) VALUES ('" + row + "')");
  return true;
}

void Sandbox::repairStore() {
  fs::permissions(root / "data", fs::perms::owner_all);
  if (store_ == Store::notADatabase) fs::remove(databasePath);
  if (store_ == Store::otherTable || store_ == Store::view)
    execute(openDatabase(databasePath), std::string(store_ == Store::view ? "DROP VIEW" : "DROP TABLE") +
                                            " capture_inbox_payloads; " + inboxTable);
}

std::vector<std::string> Sandbox::signals(std::size_t count) const {
  std::vector<std::string> signals;
  eventually([&] { return std::ranges::count(record("signals"), '\x1e') >= static_cast<long>(count); });
  std::istringstream records(record("signals"));
  for (std::string text; std::getline(records, text, '\x1e');) signals.push_back(text);
  return signals;
}

std::string Sandbox::record(const char* name) const {
  return {std::istreambuf_iterator<char>(std::ifstream(root / "records" / name, std::ios::binary).rdbuf()),
          {}};
}

Host::Host() {
  ::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2];
  check(::pipe2(in, O_CLOEXEC) == 0 && ::pipe2(out, O_CLOEXEC) == 0, "pipe2");
  // Standard error goes to an unnamed file, read once the host has ended.
  check((errors_ = ::open(fs::temp_directory_path().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)) >= 0,
        "O_TMPFILE");
  // Root reads and writes past file modes; without these two capabilities
  // the host meets them as a user's host does.
  std::vector<std::string> words;
  if (::geteuid() == 0) words = {"setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"};
  // QORDA_HOST_PREFIX runs the host under another program, e.g. valgrind.
  std::istringstream prefix(std::getenv("QORDA_HOST_PREFIX") ? std::getenv("QORDA_HOST_PREFIX") : "");
  for (std::string word; prefix >> word;) words.push_back(word);
  // The browser passes the caller's origin; the host ignores it.
  words.insert(words.end(), {QORDA_HOST_BINARY, "chrome-extension://abcdefghijklmnopabcdefghijklmnop/"});
  pid = spawnProcess(words, {in[0], out[1], errors_});
  for (int end : {in[0], out[1]}) ::close(end);
  input_ = in[1], output_ = out[0];
  watchdog_ = std::jthread([this](std::stop_token stop) {
    if (!eventually([&] { return stop.stop_requested(); }, hostDeadlineSeconds)) ::kill(pid, SIGKILL);
  });
}

Host::~Host() {
  watchdog_ = {};
  if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
  for (int* fd : {&input_, &output_, &errors_}) closeFd(*fd);
}

void Host::send(std::string_view bytes) {
  for (ssize_t n = 0; !bytes.empty() && (n >= 0 || errno == EINTR);
       bytes.remove_prefix(std::max<ssize_t>(n, 0)))
    n = ::write(input_, bytes.data(), bytes.size());
}

std::optional<std::string> Host::reply() {
  std::optional<std::string> body;
  for (char buffer[1 << 16]; !(body = takeFrame(bytes_));) {
    ssize_t count = ::read(output_, buffer, sizeof buffer);
    if (count == 0 || (count < 0 && errno != EINTR)) return std::nullopt;
    bytes_.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
  }
  return body;
}

HostRun Host::finish(std::string_view input, const std::vector<std::size_t>& pieces) {
  std::thread writer([&] {
    for (std::size_t i = 0, size = 0; !input.empty(); input.remove_prefix(size), ++i)
      send(input.substr(
          0, size = std::min(pieces.empty() ? input.size() : pieces[i % pieces.size()], input.size())));
    closeFd(input_);
  });
  HostRun run;
  while (auto body = output_ >= 0 ? reply() : std::nullopt) run.replies.push_back(std::move(*body));
  writer.join();
  // Waited for without reaping, so that the watchdog cannot meet another
  // process under the same id.
  siginfo_t exit{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &exit, WEXITED | WNOWAIT) < 0 && errno == EINTR) continue;
  watchdog_ = {};
  ::waitpid(std::exchange(pid, -1), nullptr, 0);
  run.exitStatus = exit.si_code == CLD_EXITED ? exit.si_status : -1;
  run.errors.resize(static_cast<std::size_t>(::lseek(errors_, 0, SEEK_END)));
  EXPECT_LE(0, ::pread(errors_, run.errors.data(), run.errors.size(), 0));
  return run;
}

void Host::closeOutput() { closeFd(output_); }

long Host::peakKilobytes() const {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line) && !line.starts_with("VmHWM:")) continue;
  return line.starts_with("VmHWM:") ? std::stol(line.substr(6)) : -1;
}

std::vector<InboxRow> inboxRows(const Sandbox& sandbox) {
  if (!fs::exists(sandbox.databasePath)) return {};
  // The user's browsing history: a private folder, a private file.
  EXPECT_EQ(0700u, modeOf(sandbox.databasePath.parent_path()));
  EXPECT_EQ(0600u, modeOf(sandbox.databasePath));
  Database database = openDatabase(sandbox.databasePath);
  EXPECT_EQ("ok", select(database, "SELECT 0, * FROM pragma_integrity_check").at(0).payload);
  EXPECT_EQ("wal", select(database, "SELECT 0, * FROM pragma_journal_mode").at(0).payload);
  return select(database, "SELECT id, payload FROM capture_inbox_payloads ORDER BY id");
}

std::vector<InboxRow> drainInbox(const Sandbox& sandbox) {
  Database database = openDatabase(sandbox.databasePath);
  if (sqlite3_exec(database.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return {};
  std::vector<InboxRow> rows = select(database, "SELECT id, payload FROM capture_inbox_payloads ORDER BY id");
  if (!rows.empty())
    execute(database, "DELETE FROM capture_inbox_payloads WHERE id <= " + std::to_string(rows.back().id));
  execute(database, "COMMIT");
  return rows;
}

}  // namespace qorda::test
