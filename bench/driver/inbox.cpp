#include "inbox.h"

#include "workload.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>

namespace qorda::bench {
namespace {

struct Connection {
  sqlite3* database = nullptr;
  explicit Connection(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &database, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK)
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
  execute(connection.database, "PRAGMA journal_mode=WAL");
  execute(connection.database,
          "CREATE TABLE IF NOT EXISTS capture_inbox_payloads("
          "id INTEGER PRIMARY KEY AUTOINCREMENT, payload TEXT NOT NULL)");
  execute(connection.database, "BEGIN IMMEDIATE");
  execute(connection.database, "DELETE FROM capture_inbox_payloads");
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(connection.database, "INSERT INTO capture_inbox_payloads(payload) VALUES (?1)", -1,
                     &insert, nullptr);
  std::vector<std::string> messages = requestMessages(Mix::takeover);
  for (std::size_t i = 0; i < entries; ++i) {
    const std::string& message = messages[i % messages.size()];
    sqlite3_bind_text64(insert, 1, message.data(), message.size(), SQLITE_STATIC, SQLITE_UTF8);
    if (sqlite3_step(insert) != SQLITE_DONE) break;
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  execute(connection.database, "COMMIT");
}

std::optional<std::size_t> inboxEntryCount(const std::string& databasePath) {
  Connection connection(databasePath);
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(connection.database, "SELECT count(*) FROM capture_inbox_payloads", -1, &statement,
                     nullptr);
  std::optional<std::size_t> count;
  if (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW)
    count = static_cast<std::size_t>(sqlite3_column_int64(statement, 0));
  sqlite3_finalize(statement);
  return count;
}

}  // namespace qorda::bench
