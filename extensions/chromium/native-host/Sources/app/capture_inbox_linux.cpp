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
#include <utility>

namespace qorda {
namespace {

// Several hosts and the desktop application may hold the lock in turn.
constexpr int busyTimeoutMilliseconds = 5000;
// A host that is the only connection rebuilds the log's index from the whole
// log when it opens the store, and forgets what was checkpointed, so the log
// is never restarted: one-shot hosts would grow it with every capture, and
// every open would read it all. So a log past this many frames (about
// 256 KiB) at a connection's first commit, or past the second many later,
// is copied into the database and emptied, unless a reader still needs it.
// The second is SQLite's own default, since a host that goes on keeps the
// index in shared memory and each emptying costs two syncs; it bounds what
// the next host to open the store alone reads (about 4 MiB, once).
constexpr int largestLogFrames = 64, largestLogFramesLater = 1000;

// Frames in the log after the last commit.
int logFrames = 0;

int onCommit(void*, sqlite3*, const char*, int frames) {
  logFrames = frames;
  return SQLITE_OK;
}

// Never waits: a reader that still needs the log keeps it for now.
void emptyLogIfLong(sqlite3* database, bool firstCommit) {
  if (logFrames < (firstCommit ? largestLogFrames : largestLogFramesLater)) return;
  sqlite3_busy_timeout(database, 0);
  sqlite3_wal_checkpoint_v2(database, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  sqlite3_busy_timeout(database, busyTimeoutMilliseconds);
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

bool execute(sqlite3* database, const char* sql) {
  return sqlite3_exec(database, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

constexpr const char* insertStatement = "INSERT INTO capture_inbox_payloads(payload) VALUES (?1)";

// Creates the file when it is missing, private, so that it and the journals
// SQLite derives from it are the user's alone; makes the folders only then.
bool createPrivateFile(const std::string& path) {
  for (bool madeFolders = false;; madeFolders = true) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
      ::close(fd);
      return true;
    }
    if (errno != ENOENT || madeFolders || !makeDirectories(path.substr(0, path.rfind('/')))) return false;
  }
}

// A store the host has written before is in WAL mode with the table in
// place: the prepare alone reads the schema, and nothing is written.
sqlite3_stmt* prepareInsert(sqlite3* database) {
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v3(database, insertStatement, -1, SQLITE_PREPARE_PERSISTENT, &insert, nullptr);
  return insert;
}

// A new store: a commit is then one write, not four fsyncs; it stays atomic,
// and a host killed at any moment leaves the inbox whole. Only a power loss
// can take back the last commits. Where WAL is not possible the default
// journal stays. AUTOINCREMENT: an id is never handed out again after the
// desktop application has taken and deleted the rows up to it.
sqlite3_stmt* setUpAndPrepareInsert(sqlite3* database) {
  execute(database, "PRAGMA journal_mode=WAL");
  execute(database,
          "CREATE TABLE IF NOT EXISTS capture_inbox_payloads("
          "id INTEGER PRIMARY KEY AUTOINCREMENT, payload TEXT NOT NULL)");
  return prepareInsert(database);
}

bool isWriteAheadLogged(sqlite3* database) {
  sqlite3_stmt* mode = nullptr;
  sqlite3_prepare_v2(database, "PRAGMA journal_mode", -1, &mode, nullptr);
  bool wal = sqlite3_step(mode) == SQLITE_ROW &&
             sqlite3_stricmp(reinterpret_cast<const char*>(sqlite3_column_text(mode, 0)), "wal") == 0;
  sqlite3_finalize(mode);
  return wal;
}

// The open store and its prepared insert, kept for the life of the process:
// closing checkpoints and syncs the log, a cost every one-shot host would
// pay, and the committed log survives the process just as the database does.
struct Inbox {
  sqlite3* database = nullptr;
  sqlite3_stmt* insert = nullptr;
  bool committed = false;
};

void close(Inbox& inbox) {
  sqlite3_finalize(inbox.insert);
  sqlite3_close_v2(inbox.database);
  inbox = {};
}

Inbox open(const std::string& path) {
  if (!createPrivateFile(path)) return {};
  Inbox inbox;
  if (sqlite3_open_v2(path.c_str(), &inbox.database, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    close(inbox);
    return {};
  }
  sqlite3_busy_timeout(inbox.database, busyTimeoutMilliseconds);
  sqlite3_wal_hook(inbox.database, onCommit, nullptr);
  execute(inbox.database, "PRAGMA synchronous=NORMAL");
  // Every host that opens the database first reads its log: keep it short.
  execute(inbox.database, "PRAGMA journal_size_limit=4194304");
  inbox.insert = prepareInsert(inbox.database);
  if (inbox.insert == nullptr || !isWriteAheadLogged(inbox.database)) {
    sqlite3_finalize(std::exchange(inbox.insert, nullptr));
    inbox.insert = setUpAndPrepareInsert(inbox.database);
  }
  if (inbox.insert == nullptr) close(inbox);
  return inbox;
}

// True unless the open file is no longer the one at the inbox path (deleted,
// or replaced by another).
bool isStillAtPath(sqlite3* database) {
  int moved = 0;
  return sqlite3_file_control(database, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK && moved == 0;
}

int insert(Inbox& inbox, std::string_view messageText) {
  // Never a null pointer, which SQLite would store as NULL.
  const char* text = messageText.empty() ? "" : messageText.data();
  sqlite3_bind_text64(inbox.insert, 1, text, messageText.size(), SQLITE_STATIC, SQLITE_UTF8);
  int status = sqlite3_step(inbox.insert);
  sqlite3_reset(inbox.insert);
  sqlite3_clear_bindings(inbox.insert);
  return status;
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
  static const std::optional<std::string> path = captureInboxDatabasePath();
  static Inbox inbox;
  if (!path) return;
  if (inbox.database != nullptr && !isStillAtPath(inbox.database)) close(inbox);
  // One statement is one transaction: the capture is stored whole or not at
  // all, and nothing already in the inbox is read or rewritten. Any failure
  // but a lock held past the busy timeout may be this connection's alone (a
  // schema it keeps from before a repair, a file gone): the capture is tried
  // once more on a connection opened anew.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (inbox.database == nullptr) inbox = open(*path);
    if (inbox.database == nullptr) return;
    int status = insert(inbox, messageText);
    if (status == SQLITE_DONE) emptyLogIfLong(inbox.database, !std::exchange(inbox.committed, true));
    if (status == SQLITE_DONE || status == SQLITE_BUSY) return;
    close(inbox);
  }
}

}  // namespace qorda
