#include "home_directory.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace qorda {

std::optional<std::string> homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home == '/') return std::string(home);
  // Fall back on the password database if no home directory is defined.
  if (const passwd* entry = ::getpwuid(::getuid());
      entry != nullptr && entry->pw_dir != nullptr && *entry->pw_dir == '/')
    return std::string(entry->pw_dir);
  return std::nullopt;
}

}  // namespace qorda
