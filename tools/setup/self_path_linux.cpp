#include "system.h"

#include <system_error>

namespace qorda::setup {

std::optional<std::filesystem::path> selfExecutable() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::nullopt;
  return path;
}

}  // namespace qorda::setup
