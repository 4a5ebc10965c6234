// The waiting captures of the Linux inbox, read as the desktop application
// is told to read them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qorda::tools {

struct InboxRow {
  std::int64_t id = 0;
  std::string text;
};

// The captures in order, read in one read transaction, which never holds a
// host's insert back. Throws with a one-line message when there is no inbox
// or it is not ours.
std::vector<InboxRow> readInbox();

// Removes the captures up to lastId in one short write transaction, once
// they are taken care of; those stored since stay. Throws as readInbox.
void removeFromInbox(std::int64_t lastId);

// One line per row: the id, and the request's URL and page when the text is
// a message, the raw text otherwise; or a JSON array of the same.
std::string inboxRowsText(const std::vector<InboxRow>& rows);
std::string inboxRowsJson(const std::vector<InboxRow>& rows);

}  // namespace qorda::tools
