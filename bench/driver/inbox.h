// The capture inbox as the bench prepares and checks it between runs, when
// no host is alive.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace qorda::bench {

// Makes the inbox hold exactly `entries` captured messages.
void seedInbox(const std::string& databasePath, std::size_t entries);

// The number of entries in the inbox, or nothing when it cannot be read.
std::optional<std::size_t> inboxEntryCount(const std::string& databasePath);

}  // namespace qorda::bench
