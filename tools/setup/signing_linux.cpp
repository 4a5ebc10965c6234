#include "signing.h"

#include "manifest.h"

namespace qorda::setup {

std::filesystem::path hostBeside(const std::filesystem::path& setupFolder) {
  return setupFolder / hostProgramName;
}

// The Linux stores belong to the user, whatever the program.
std::optional<std::string> appGroupProblem(const std::filesystem::path&) { return std::nullopt; }

}  // namespace qorda::setup
