// Command line of qorda-native-host-setup.
#pragma once

#include "manifest.h"

#include <string>
#include <string_view>
#include <vector>

namespace qorda::setup {

inline constexpr std::string_view commandName = "qorda-native-host-setup";

enum class Command { install, uninstall, status };

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
    bool help = false;
};

// Either options or a one-line error message.
struct ParsedOptions {
    Options options;
    std::string error;
};

ParsedOptions parseOptions(const std::vector<std::string_view>& args);

std::string usageText();
std::string usageHint();  // one line, printed after an argument error

}  // namespace qorda::setup
