// qorda-inbox: lists or takes the captures waiting in the Linux inbox, and
// follows the capture signals on the session bus.
#include "app/companion.h"
#include "inbox_rows.h"

#include <systemd/sd-bus.h>
#include <CLI/CLI.hpp>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>

namespace {

constexpr int exitFailed = 1;
constexpr int exitBadArguments = 2;

int onSignal(sd_bus_message* message, void*, sd_bus_error*) {
  if (sd_bus_message_enter_container(message, 'a', "{ss}") < 0) return 0;
  std::string payload, note;
  const char* key = nullptr;
  const char* value = nullptr;
  while (sd_bus_message_read(message, "{ss}", &key, &value) > 0) {
    if (std::strcmp(key, "payload") == 0)
      payload = value;
    else
      note += std::string(" [") + key + "=" + value + "]";
  }
  const char* sender = sd_bus_message_get_sender(message);
  std::cout << "capture from " << (sender ? sender : "?") << note << ": " << payload << std::endl;
  return 0;
}

// Prints each capture signal until interrupted.
int watch() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0)
    throw std::runtime_error("no session bus (is DBUS_SESSION_BUS_ADDRESS set?)");
  std::string_view name = qorda::notificationName;
  std::string interface(name.substr(0, name.rfind('.')));
  std::string member(name.substr(name.rfind('.') + 1));
  if (sd_bus_match_signal(bus, nullptr, nullptr, nullptr, interface.c_str(), member.c_str(), onSignal,
                          nullptr) < 0)
    throw std::runtime_error("the session bus refused the match rule");
  std::cout << "watching " << name << " on the session bus" << std::endl;
  for (;;) {
    int processed = sd_bus_process(bus, nullptr);
    if (processed < 0) throw std::runtime_error(std::string("session bus: ") + std::strerror(-processed));
    if (processed == 0 && sd_bus_wait(bus, UINT64_MAX) < 0)
      throw std::runtime_error("session bus connection lost");
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A closed output is a write error to report, not a death.
  std::signal(SIGPIPE, SIG_IGN);
  CLI::App app{"Reads the Qorda capture inbox and follows the capture signals."};
  app.name("qorda-inbox");
  app.set_version_flag("--version", "qorda-inbox " QORDA_VERSION);
  app.require_subcommand(1, 1);
  bool json = false;
  CLI::App* list = app.add_subcommand("list", "Print the waiting captures, oldest first.");
  list->add_flag("--json", json, "print them as JSON");
  CLI::App* take = app.add_subcommand(
      "take", "Print the waiting captures, then remove them once they are written out whole.");
  take->add_flag("--json", json, "print them as JSON");
  app.add_subcommand("watch", "Print each capture signal as it arrives, until interrupted.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);
    std::cerr << "qorda-inbox: " << error.what() << " (see --help)\n";
    return exitBadArguments;
  }
  try {
    if (!list->parsed() && !take->parsed()) return watch();
    auto rows = qorda::tools::readInbox();
    std::cout << (json ? qorda::tools::inboxRowsJson(rows) : qorda::tools::inboxRowsText(rows)) << std::flush;
    // Nothing is removed that was not handed on whole.
    if (!std::cout)
      throw std::runtime_error(std::string("cannot write the captures: ") + std::strerror(errno));
    if (take->parsed() && !rows.empty()) qorda::tools::removeFromInbox(rows.back().id);
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "qorda-inbox: " << error.what() << "\n";
    return exitFailed;
  }
}
