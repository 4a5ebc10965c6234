// The capture inbox on Linux: the row "capture_inbox_payloads" of a small
// SQLite key-value table, whose value is a JSON array of strings.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qorda {

// ${XDG_DATA_HOME:-$HOME/.local/share}/group.com.velmox.qorda/defaults.sqlite3,
// or nothing when no home directory is known.
std::optional<std::string> captureInboxDatabasePath();

// The inbox value after appending messageText to currentValue. A value that
// is absent or not a JSON array of strings gives way to a one-element array.
std::string inboxWithAppended(std::optional<std::string_view> currentValue, std::string_view messageText);

// Appends messageText to the inbox in the database at path, in one
// transaction. False when nothing was stored.
bool appendToInboxDatabase(const std::string& path, std::string_view messageText);

}  // namespace qorda
