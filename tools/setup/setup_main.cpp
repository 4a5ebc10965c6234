// qorda-native-host-setup: registers QordaNativeMessagingHost with the browsers.
#include "commands.h"
#include "options.h"

#include <iostream>

int main(int argc, char** argv) {
    using namespace qorda::setup;
    std::vector<std::string_view> args(argv + 1, argv + argc);
    const ParsedOptions parsed = parseOptions(args);
    if (parsed.options.help) {
        std::cout << usageText();
        return 0;
    }
    if (!parsed.error.empty()) {
        std::cerr << commandName << ": " << parsed.error << "\n" << usageHint() << "\n";
        return 2;
    }
    return runCommand(parsed.options, std::cout, std::cerr);
}
