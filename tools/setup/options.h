// Command line of qorda-native-host-setup.
#pragma once

#include "browsers.h"
#include "error.h"
#include "manifest.h"

#include <string>
#include <string_view>
#include <vector>

namespace qorda::setup {

inline constexpr std::string_view commandName = "qorda-native-host-setup";

enum class Command { install, uninstall, status, manifest };

struct Options {
  Command command = Command::status;
  std::vector<std::string> extensionIds;
  std::string name{defaultHostName};
  std::string hostPath;  // empty: the host beside this program
  std::vector<Browser> browsers;
  std::vector<std::string> userDataDirs;
  bool system = false;
  bool force = false;
  bool json = false;
  std::string help;  // the help or version asked for: print it and stop
};

// The options, or a one-line message for a bad command line.
Result<Options> parseCommandLine(int argc, const char* const* argv);

}  // namespace qorda::setup
