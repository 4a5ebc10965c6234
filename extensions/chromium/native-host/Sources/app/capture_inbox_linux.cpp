#include "capture_inbox_linux.h"

#include "companion.h"
#include "host/json_writer.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <simdjson.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace qorda {
namespace {

// Several hosts and the desktop application may hold the lock in turn.
constexpr int busyTimeoutMilliseconds = 5000;

std::optional<std::string> homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home == '/') return std::string(home);
  // Fall back on the password database if no home directory is defined.
  if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr)
    return std::string(entry->pw_dir);
  return std::nullopt;
}

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

bool isJsonArrayOfStrings(std::string_view value) {
  // Reused from takeover to takeover, as the inbox is read again each time,
  // but not grown for the life of the host by one huge inbox.
  static simdjson::dom::parser reused;
  simdjson::dom::parser large;
  simdjson::dom::parser& parser = value.size() > 1024 * 1024 ? large : reused;
  simdjson::dom::array array;
  if (parser.parse(value.data(), value.size()).get(array)) return false;
  for (simdjson::dom::element element : array) {
    if (!element.is_string()) return false;
  }
  return true;
}

struct DatabaseCloser {
  void operator()(sqlite3* database) const { sqlite3_close_v2(database); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

Statement prepare(sqlite3* database, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(database, sql, -1, &statement, nullptr);
  return Statement(statement);
}

bool execute(sqlite3* database, const char* sql) {
  return sqlite3_exec(database, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

Database openDatabase(const std::string& path) {
  // Created by hand first so that the file, and the journals SQLite derives
  // from it, are the user's alone.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  ::close(fd);
  sqlite3* raw = nullptr;
  int status = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  Database database(raw);
  if (status != SQLITE_OK) return nullptr;
  sqlite3_busy_timeout(database.get(), busyTimeoutMilliseconds);
  // Large pages (set only while the file is new) and mapped reads, since the
  // whole inbox is one value read and rewritten by every append.
  execute(database.get(), "PRAGMA page_size=65536");
  execute(database.get(), "PRAGMA mmap_size=268435456");
  // A commit is then one write, not four fsyncs; it stays atomic, and a host
  // killed at any moment leaves the inbox whole. Only a power loss can take
  // back the last commits. Where WAL is not possible the default journal stays.
  execute(database.get(), "PRAGMA journal_mode=WAL");
  execute(database.get(), "PRAGMA synchronous=NORMAL");
  // Every host that opens the database first reads its log: keep it short.
  execute(database.get(), "PRAGMA journal_size_limit=4194304");
  execute(database.get(), "PRAGMA wal_autocheckpoint=64");
  if (!execute(database.get(), "CREATE TABLE IF NOT EXISTS defaults(key TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL)"))
    return nullptr;
  return database;
}

std::optional<std::string> currentInboxValue(sqlite3* database) {
  Statement select = prepare(database, "SELECT value FROM defaults WHERE key = ?1");
  if (!select) return std::nullopt;
  sqlite3_bind_text(select.get(), 1, appGroupInboxKey.data(), static_cast<int>(appGroupInboxKey.size()), SQLITE_STATIC);
  if (sqlite3_step(select.get()) != SQLITE_ROW) return std::nullopt;
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 0));
  if (text == nullptr) return std::nullopt;
  return std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(select.get(), 0)));
}

// Runs sql with the inbox key as ?1 and value as ?2.
bool runWithInboxValue(sqlite3* database, const char* sql, const std::string& value) {
  Statement statement = prepare(database, sql);
  if (!statement) return false;
  sqlite3_bind_text(statement.get(), 1, appGroupInboxKey.data(), static_cast<int>(appGroupInboxKey.size()),
                    SQLITE_STATIC);
  sqlite3_bind_text64(statement.get(), 2, value.data(), value.size(), SQLITE_STATIC, SQLITE_UTF8);
  return sqlite3_step(statement.get()) == SQLITE_DONE;
}

bool storeInboxValue(sqlite3* database, const std::string& value) {
  // Update before insert: in a table made without the key constraint, an
  // insert would add a second row while the next read still took the first,
  // and every capture after the first would be lost.
  if (!runWithInboxValue(database, "UPDATE defaults SET value = ?2 WHERE key = ?1", value)) return false;
  return sqlite3_changes(database) > 0 ||
         runWithInboxValue(database, "INSERT INTO defaults(key, value) VALUES (?1, ?2)", value);
}

// The read, append and store in one transaction, so that hosts handing off
// at the same moment never drop each other's captures.
bool appendInTransaction(sqlite3* database, std::string_view messageText) {
  if (!execute(database, "BEGIN IMMEDIATE")) return false;
  auto current = currentInboxValue(database);
  std::optional<std::string_view> currentView;
  if (current) currentView = *current;
  if (storeInboxValue(database, inboxWithAppended(currentView, messageText)) && execute(database, "COMMIT"))
    return true;
  execute(database, "ROLLBACK");
  return false;
}

Database openInbox() {
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

std::string inboxWithAppended(std::optional<std::string_view> currentValue, std::string_view messageText) {
  std::string value;
  if (currentValue && isJsonArrayOfStrings(*currentValue)) {
    // Splice before the closing bracket: the entries already stored are kept
    // byte for byte, and need not be decoded and encoded again.
    std::string_view existing = *currentValue;
    std::size_t close = existing.rfind(']');
    std::size_t lastContent = existing.find_last_not_of(" \t\n\r", close - 1);
    value.reserve(existing.size() + jsonStringSize(messageText) + 2);
    value.append(existing.substr(0, close));
    if (existing[lastContent] != '[') value += ',';
  } else {
    value.reserve(jsonStringSize(messageText) + 2);
    value += '[';
  }
  appendJsonString(value, messageText);
  value += ']';
  return value;
}

bool appendToInboxDatabase(const std::string& path, std::string_view messageText) {
  Database database = openDatabase(path);
  return database && appendInTransaction(database.get(), messageText);
}

void appendToCaptureInbox(std::string_view messageText) {
  // Opened at the first takeover and tried again at the next while it cannot
  // be opened. Never closed: closing checkpoints and syncs the log, a cost
  // every one-shot host would pay, and the committed log survives the
  // process just as the database does.
  static sqlite3* database = nullptr;
  if (database == nullptr) database = openInbox().release();
  if (database != nullptr) appendInTransaction(database, messageText);
}

}  // namespace qorda
