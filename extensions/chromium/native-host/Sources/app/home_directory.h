// The user's home folder, found the same way by the host and its tools.
#pragma once

#include <optional>
#include <string>

namespace qorda {

// $HOME when it is an absolute path; otherwise the password database's entry
// for the user. A relative $HOME names no folder and is ignored.
std::optional<std::string> homeDirectory();

}  // namespace qorda
