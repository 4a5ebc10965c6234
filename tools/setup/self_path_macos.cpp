#include "system.h"

#include <mach-o/dyld.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>

namespace qorda::setup {

std::optional<std::filesystem::path> selfExecutable() {
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);  // asks for the size it needs
  std::string buffer(size, '\0');
  if (_NSGetExecutablePath(buffer.data(), &size) != 0) return std::nullopt;
  buffer.resize(std::strlen(buffer.c_str()));
  // The loader may hand back a path through symlinks or "..".
  std::error_code ec;
  auto path = std::filesystem::canonical(buffer, ec);
  if (ec) return std::nullopt;
  return path;
}

}  // namespace qorda::setup
