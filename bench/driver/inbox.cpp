#include "inbox.h"

#include "workload.h"

#include <simdjson.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>

namespace qorda::bench {
namespace {

// The same JSON text the host would have stored for these captures.
std::string inboxValue(std::size_t entries) {
  std::vector<std::string> messages = requestMessages(Mix::takeover);
  std::string value = "[";
  for (std::size_t i = 0; i < entries; ++i) {
    if (i > 0) value += ',';
    value += '"';
    for (char c : messages[i % messages.size()]) {
      if (c == '"' || c == '\\') value += '\\';
      value += c;
    }
    value += '"';
  }
  return value + "]";
}

struct Connection {
  sqlite3* database = nullptr;
  explicit Connection(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &database, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
      throw std::runtime_error("cannot open the capture inbox at " + path);
    sqlite3_busy_timeout(database, 5000);
  }
  ~Connection() { sqlite3_close_v2(database); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
};

void execute(sqlite3* database, const char* sql) {
  if (sqlite3_exec(database, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
    throw std::runtime_error(std::string("capture inbox: ") + sqlite3_errmsg(database));
}

}  // namespace

void seedInbox(const std::string& databasePath, std::size_t entries) {
  std::filesystem::path folder = std::filesystem::path(databasePath).parent_path();
  std::filesystem::create_directories(folder);
  ::chmod(folder.c_str(), 0700);
  Connection connection(databasePath);
  ::chmod(databasePath.c_str(), 0600);
  execute(connection.database,
          "CREATE TABLE IF NOT EXISTS defaults(key TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL)");
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(connection.database, "INSERT OR REPLACE INTO defaults(key, value) VALUES (?1, ?2)", -1,
                     &statement, nullptr);
  std::string value = inboxValue(entries);
  sqlite3_bind_text(statement, 1, "capture_inbox_payloads", -1, SQLITE_STATIC);
  sqlite3_bind_text64(statement, 2, value.data(), value.size(), SQLITE_STATIC, SQLITE_UTF8);
  int status = sqlite3_step(statement);
  sqlite3_finalize(statement);
  if (status != SQLITE_DONE) throw std::runtime_error("cannot seed the capture inbox");
}

std::optional<std::size_t> inboxEntryCount(const std::string& databasePath) {
  Connection connection(databasePath);
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(connection.database, "SELECT value FROM defaults WHERE key = 'capture_inbox_payloads'", -1,
                     &statement, nullptr);
  std::optional<std::size_t> count;
  if (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
    simdjson::padded_string value(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)),
                                  static_cast<std::size_t>(sqlite3_column_bytes(statement, 0)));
    simdjson::dom::parser parser;
    simdjson::dom::array array;
    if (!parser.parse(value).get(array)) count = array.size();
  }
  sqlite3_finalize(statement);
  return count;
}

}  // namespace qorda::bench
