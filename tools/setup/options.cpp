#include "options.h"

#include <algorithm>
#include <optional>

namespace qorda::setup {

namespace {

struct OptionRule {
    std::string_view option;
    bool takesValue;
    bool install, uninstall, status;  // commands that accept it
};

constexpr OptionRule optionTable[] = {
    {"--extension-id", true, true, false, true},
    {"--name", true, true, true, true},
    {"--host-path", true, true, false, false},
    {"--browser", true, true, true, true},
    {"--user-data-dir", true, true, true, true},
    {"--system", false, true, true, true},
    {"--force", false, true, true, false},
    {"--json", false, false, false, true},
};

const OptionRule* findRule(std::string_view option) {
    for (const auto& rule : optionTable)
        if (rule.option == option) return &rule;
    return nullptr;
}

std::optional<Command> commandFromWord(std::string_view word) {
    if (word == "install") return Command::install;
    if (word == "uninstall") return Command::uninstall;
    if (word == "status") return Command::status;
    return std::nullopt;
}

std::string_view commandWord(Command command) {
    switch (command) {
        case Command::install: return "install";
        case Command::uninstall: return "uninstall";
        case Command::status: return "status";
    }
    return "";
}

bool accepts(const OptionRule& rule, Command command) {
    switch (command) {
        case Command::install: return rule.install;
        case Command::uninstall: return rule.uninstall;
        case Command::status: return rule.status;
    }
    return false;
}

// Stores one option's value; returns an error message or "".
std::string apply(Options& options, std::string_view option, std::string_view value) {
    if (option == "--extension-id") {
        if (!isValidExtensionId(value))
            return "bad extension ID '" + std::string(value) + "': it must be 32 letters a to p";
        if (std::find(options.extensionIds.begin(), options.extensionIds.end(), value) ==
            options.extensionIds.end())
            options.extensionIds.emplace_back(value);
    } else if (option == "--name") {
        if (!isValidHostName(value))
            return "bad host name '" + std::string(value) +
                   "': use lower-case letters, digits, '_' and '.', with no leading, trailing or "
                   "doubled '.'";
        options.name = std::string(value);
    } else if (option == "--host-path") {
        if (value.empty()) return "--host-path needs a non-empty path";
        options.hostPath = std::string(value);
    } else if (option == "--browser") {
        const auto browser = browserFromKey(value);
        if (!browser)
            return "unknown browser '" + std::string(value) +
                   "': use chrome, chromium, edge, brave or vivaldi";
        if (std::find(options.browsers.begin(), options.browsers.end(), *browser) ==
            options.browsers.end())
            options.browsers.push_back(*browser);
    } else if (option == "--user-data-dir") {
        if (value.empty()) return "--user-data-dir needs a non-empty path";
        options.userDataDirs.emplace_back(value);
    } else if (option == "--system") {
        options.system = true;
    } else if (option == "--force") {
        options.force = true;
    } else if (option == "--json") {
        options.json = true;
    }
    return "";
}

// Options are checked against the command once it is known, wherever it appears.
std::string checkCombination(const Options& options, const std::vector<std::string_view>& seen) {
    for (auto option : seen) {
        if (!accepts(*findRule(option), options.command))
            return std::string(option) + " does not apply to " +
                   std::string(commandWord(options.command));
    }
    if (options.command == Command::install && options.extensionIds.empty())
        return "install needs at least one --extension-id";
    if (!options.userDataDirs.empty() && (options.system || !options.browsers.empty()))
        return "--user-data-dir cannot be combined with --browser or --system";
    return "";
}

}  // namespace

ParsedOptions parseOptions(const std::vector<std::string_view>& args) {
    ParsedOptions parsed;
    Options& options = parsed.options;
    std::optional<Command> command;
    std::vector<std::string_view> seen;

    // Asking for help is never an error, whatever else is on the line.
    for (auto arg : args) {
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            return parsed;
        }
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (!arg.starts_with("-")) {
            if (command) return {options, "unexpected argument '" + std::string(arg) + "'"};
            command = commandFromWord(arg);
            if (!command) return {options, "unknown command '" + std::string(arg) + "'"};
            continue;
        }
        std::string_view option = arg;
        std::optional<std::string_view> value;
        if (const auto eq = arg.find('='); eq != std::string_view::npos) {
            option = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        const OptionRule* rule = findRule(option);
        if (!rule) return {options, "unknown option '" + std::string(option) + "'"};
        if (rule->takesValue && !value) {
            if (i + 1 >= args.size()) return {options, std::string(option) + " needs a value"};
            value = args[++i];
        }
        if (!rule->takesValue && value)
            return {options, std::string(option) + " does not take a value"};
        if (auto error = apply(options, option, value.value_or("")); !error.empty())
            return {options, error};
        seen.push_back(rule->option);
    }
    if (!command) return {options, "no command given: use install, uninstall or status"};
    options.command = *command;
    parsed.error = checkCombination(options, seen);
    return parsed;
}

std::string usageText() {
    return R"(Usage: qorda-native-host-setup COMMAND [OPTIONS]

Registers QordaNativeMessagingHost with Chromium-family browsers.

Commands:
  install     write the host manifest for each browser
  uninstall   remove the manifests that install wrote
  status      check each browser's manifest; exit 0 when all is sound

Options:
  --extension-id ID    extension allowed to start the host (32 letters a-p);
                       repeatable; required by install, checked by status
  --browser NAME       chrome, chromium, edge, brave or vivaldi; repeatable;
                       default: the browsers found on this machine
  --system             use the system-wide folders instead of the user's
  --user-data-dir DIR  use DIR/NativeMessagingHosts, for a browser started
                       with --user-data-dir=DIR; repeatable
  --name NAME          host name (default com.velmox.qorda.native_host)
  --host-path PATH     the host program (default: QordaNativeMessagingHost
                       beside this program)
  --force              replace or remove manifests that are not ours
  --json               status: print the result as JSON
  -h, --help           show this help

Exit status: 0 success, 1 failure or problems found, 2 bad arguments.
)";
}

std::string usageHint() {
    return "Usage: qorda-native-host-setup install|uninstall|status [OPTIONS] (see --help)";
}

}  // namespace qorda::setup
