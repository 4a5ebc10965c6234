#include "inbox_rows.h"

#include "app/capture_inbox_linux.h"
#include "json/json_decoding.h"
#include "json/json_writer.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <memory>
#include <stdexcept>

namespace qorda::tools {
namespace {

using Database = std::unique_ptr<sqlite3, decltype(&sqlite3_close_v2)>;

Database openInbox(std::string& path) {
  auto found = captureInboxDatabasePath();
  if (!found) throw std::runtime_error("no home folder, so no inbox");
  path = *found;
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0)
    throw std::runtime_error("no inbox yet: " + path + " does not exist");
  sqlite3* raw = nullptr;
  int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  Database database(raw, &sqlite3_close_v2);
  if (opened != SQLITE_OK) throw std::runtime_error("cannot open " + path + ": " + sqlite3_errmsg(raw));
  // The hosts hold the lock only for one insert each.
  sqlite3_busy_timeout(raw, 5000);
  return database;
}

void execute(sqlite3* database, const char* sql, const std::string& path) {
  if (sqlite3_exec(database, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
    throw std::runtime_error(path + ": " + sqlite3_errmsg(database));
}

// The request's URL and page, when the text is a message that names them.
std::pair<std::string, std::string> urlAndPage(const std::string& text) {
  JsonDecoder decoder;
  simdjson::padded_string body(text);
  auto decoded = decodeMessage(decoder, body);
  auto message = std::get_if<Message>(&decoded);
  if (!message || !message->intent) return {};
  return {std::string(message->intent->resourceUrl.value_or("")),
          std::string(message->intent->pageUrl.value_or(""))};
}

}  // namespace

std::vector<InboxRow> readInbox() {
  std::string path;
  Database database = openInbox(path);
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(database.get(), "SELECT id, payload FROM capture_inbox_payloads ORDER BY id", -1,
                         &raw, nullptr) != SQLITE_OK)
    throw std::runtime_error(path + " is not a capture inbox: " + sqlite3_errmsg(database.get()));
  std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> select(raw, &sqlite3_finalize);
  std::vector<InboxRow> rows;
  int status = SQLITE_ROW;
  while ((status = sqlite3_step(select.get())) == SQLITE_ROW) {
    auto text = reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 1));
    rows.push_back(
        {sqlite3_column_int64(select.get(), 0),
         std::string(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(select.get(), 1)))});
  }
  if (status != SQLITE_DONE) throw std::runtime_error(path + ": " + sqlite3_errmsg(database.get()));
  return rows;
}

void removeFromInbox(std::int64_t lastId) {
  std::string path;
  Database database = openInbox(path);
  std::string remove =
      "BEGIN IMMEDIATE; DELETE FROM capture_inbox_payloads WHERE id <= " + std::to_string(lastId) +
      "; COMMIT";
  execute(database.get(), remove.c_str(), path);
}

std::string inboxRowsText(const std::vector<InboxRow>& rows) {
  std::string out;
  for (const InboxRow& row : rows) {
    auto [url, page] = urlAndPage(row.text);
    out += std::to_string(row.id) + "\t";
    out += url.empty() ? row.text : url + (page.empty() ? "" : "\tpage " + page);
    out += "\n";
  }
  return out;
}

std::string inboxRowsJson(const std::vector<InboxRow>& rows) {
  std::string out = "[";
  for (const InboxRow& row : rows) {
    auto [url, page] = urlAndPage(row.text);
    out += out.size() > 1 ? ",{\"id\":" : "{\"id\":";
    out += std::to_string(row.id);
    if (!url.empty()) appendJsonString(out += ",\"url\":", url);
    if (!page.empty()) appendJsonString(out += ",\"page\":", page);
    appendJsonString(out += ",\"text\":", row.text);
    out += "}";
  }
  return out + "]\n";
}

}  // namespace qorda::tools
