// Where the Linux capture inbox lives, for the host and the tools that read it.
#pragma once

#include <optional>
#include <string>

namespace qorda {

// ${XDG_DATA_HOME:-$HOME/.local/share}/group.com.velmox.qorda/defaults.sqlite3,
// or nothing when no home directory is known.
std::optional<std::string> captureInboxDatabasePath();

}  // namespace qorda
