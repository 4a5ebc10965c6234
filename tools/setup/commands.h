// install, uninstall and status, given parsed options.
#pragma once

#include "options.h"

#include <iosfwd>

namespace qorda::setup {

// Exit status: 0 success, 1 failure or problems found.
int runCommand(const Options& options, std::ostream& out, std::ostream& err);

}  // namespace qorda::setup
