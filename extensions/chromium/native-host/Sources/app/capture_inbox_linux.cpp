// The capture inbox on Linux: one row per capture in a SQLite table, in the
// order the captures arrived.
#include "capture_inbox_linux.h"

#include "companion.h"
#include "home_directory.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace qorda {
namespace {

// Several hosts and the desktop application may hold the lock in turn.
constexpr int busyTimeoutMilliseconds = 5000;

// Creates path and its missing parents; private, since what lies below is the
// user's browsing history.
bool makeDirectories(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string prefix = path.substr(0, slash);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool execute(sqlite3* database, const char* sql) {
  return sqlite3_exec(database, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

sqlite3* openDatabase(const std::string& path) {
  // Created by hand first so that the file, and the journals SQLite derives
  // from it, are the user's alone.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return nullptr;
  ::close(fd);
  sqlite3* raw = nullptr;
  int status = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  std::unique_ptr<sqlite3, decltype(&sqlite3_close_v2)> database(raw, &sqlite3_close_v2);
  if (status != SQLITE_OK) return nullptr;
  sqlite3_busy_timeout(database.get(), busyTimeoutMilliseconds);
  // A commit is then one write, not four fsyncs; it stays atomic, and a host
  // killed at any moment leaves the inbox whole. Only a power loss can take
  // back the last commits. Where WAL is not possible the default journal stays.
  execute(database.get(), "PRAGMA journal_mode=WAL");
  execute(database.get(), "PRAGMA synchronous=NORMAL");
  // Every host that opens the database first reads its log: keep it short.
  execute(database.get(), "PRAGMA journal_size_limit=4194304");
  // AUTOINCREMENT: an id is never handed out again after the desktop
  // application has taken and deleted the rows up to it.
  if (!execute(database.get(),
               "CREATE TABLE IF NOT EXISTS capture_inbox_payloads("
               "id INTEGER PRIMARY KEY AUTOINCREMENT, payload TEXT NOT NULL)"))
    return nullptr;
  return database.release();
}

sqlite3* openInbox() {
  auto path = captureInboxDatabasePath();
  if (!path || !makeDirectories(path->substr(0, path->rfind('/')))) return nullptr;
  return openDatabase(*path);
}

}  // namespace

std::optional<std::string> captureInboxDatabasePath() {
  std::string dataHome;
  const char* xdgDataHome = std::getenv("XDG_DATA_HOME");
  // A relative XDG_DATA_HOME is invalid and ignored.
  if (xdgDataHome != nullptr && *xdgDataHome == '/') {
    dataHome = xdgDataHome;
  } else if (auto home = homeDirectory()) {
    dataHome = *home + "/.local/share";
  } else {
    return std::nullopt;
  }
  return dataHome + "/" + std::string(appGroupID) + "/defaults.sqlite3";
}

void appendToCaptureInbox(std::string_view messageText) {
  // Opened at the first takeover and tried again at the next while it cannot
  // be opened. Never closed: closing checkpoints and syncs the log, a cost
  // every one-shot host would pay, and the committed log survives the
  // process just as the database does.
  static sqlite3* database = nullptr;
  static sqlite3_stmt* insert = nullptr;
  if (database == nullptr) database = openInbox();
  if (database == nullptr) return;
  if (insert == nullptr &&
      sqlite3_prepare_v3(database, "INSERT INTO capture_inbox_payloads(payload) VALUES (?1)", -1,
                         SQLITE_PREPARE_PERSISTENT, &insert, nullptr) != SQLITE_OK) {
    // Something else stands where the table should be. The connection may
    // keep its view of that schema after it is repaired: open anew next time.
    sqlite3_close_v2(database);
    database = nullptr;
    return;
  }
  // One statement is one transaction: the capture is stored whole or not at
  // all, and nothing already in the inbox is read or rewritten.
  // Never a null pointer, which SQLite would store as NULL.
  const char* text = messageText.empty() ? "" : messageText.data();
  sqlite3_bind_text64(insert, 1, text, messageText.size(), SQLITE_STATIC, SQLITE_UTF8);
  sqlite3_step(insert);
  sqlite3_reset(insert);
  sqlite3_clear_bindings(insert);
}

}  // namespace qorda
