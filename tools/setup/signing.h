// What the platform asks of the host program beyond being an executable file:
// on macOS, a bundle signed into the application group. Per platform, in
// signing_*.cpp.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace qorda::setup {

// The host found from setup's own folder when --host-path is not given.
std::filesystem::path hostBeside(const std::filesystem::path& setupFolder);

// Why the host cannot reach the desktop application's store, or nothing.
std::optional<std::string> appGroupProblem(const std::filesystem::path& host);

}  // namespace qorda::setup
