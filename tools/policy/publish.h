// Publishing a policy snapshot the way the desktop application does.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qorda::tools {

// Replaces the published snapshot with text in one step; an error message
// when it could not.
std::optional<std::string> publishSnapshot(std::string_view text);

}  // namespace qorda::tools
