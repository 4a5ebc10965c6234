// qorda-native-host-setup: registers QordaNativeMessagingHost with the browsers.
#include "commands.h"
#include "options.h"

#include <iostream>

int main(int argc, char** argv) {
  using namespace qorda::setup;
  const auto parsed = parseCommandLine(argc, argv);
  if (parsed.error) {
    std::cerr << commandName << ": " << *parsed.error << " (see --help)\n";
    return 2;
  }
  if (!parsed.value.help.empty()) {
    std::cout << parsed.value.help;
    return 0;
  }
  return runCommand(parsed.value, std::cout, std::cerr);
}
