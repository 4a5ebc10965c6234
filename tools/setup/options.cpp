#include "options.h"

#include <CLI/CLI.hpp>

#include <algorithm>

namespace qorda::setup {
namespace {

// Checks a value with test; the message says what the value is not.
CLI::Validator validator(bool (*test)(std::string_view), const std::string& notWhat,
                         const std::string& name) {
  return CLI::Validator(
      [=](const std::string& value) {
        return test(value) ? std::string() : "'" + value + "' is not " + notWhat;
      },
      "", name);
}

const CLI::Validator extensionId = validator(isValidExtensionId, "an extension ID (32 letters a to p)", "ID");
const CLI::Validator hostName = validator(
    isValidHostName,
    "a host name (lower-case letters, digits, '_' and '.'; no leading, trailing or doubled '.')", "NAME");
const CLI::Validator browserName =
    validator([](std::string_view key) { return browserFromKey(key).has_value(); },
              "a browser (chrome, chromium, edge, brave or vivaldi)", "NAME");
const CLI::Validator path = validator([](std::string_view text) { return !text.empty(); }, "a path", "PATH");

template <typename T>
void appendOnce(std::vector<T>& list, const T& item) {
  if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
}

// Every option each command takes, declared once; --help is made from these.
void declareOptions(CLI::App& command, Command which, Options& options, std::vector<std::string>& browserKeys,
                    std::vector<std::string>& extensionIds) {
  if (which != Command::uninstall) {
    auto* ids = command.add_option("--extension-id", extensionIds,
                                   "extension allowed to start the host (32 letters a-p); repeatable; "
                                   "required by install and manifest, checked by status");
    ids->type_name("ID")->check(extensionId)->allow_extra_args(false)->required(which != Command::status);
  }
  if (which == Command::manifest) {
    command.add_option("--name", options.name, "host name (default com.velmox.qorda.native_host)")
        ->type_name("NAME")
        ->check(hostName);
    command.add_option("--host-path", options.hostPath, "the host program, as the manifest will name it")
        ->type_name("PATH")
        ->check(path)
        ->required();
    return;
  }
  auto* browser = command.add_option("--browser", browserKeys,
                                     "chrome, chromium, edge, brave or vivaldi; repeatable; "
                                     "default: the browsers found on this machine");
  browser->type_name("NAME")->check(browserName)->allow_extra_args(false);
  auto* system =
      command.add_flag("--system", options.system, "use the system-wide folders instead of the user's");
  command
      .add_option("--user-data-dir", options.userDataDirs,
                  "use DIR/NativeMessagingHosts, for a browser started with --user-data-dir=DIR; repeatable")
      ->type_name("DIR")
      ->check(path)
      ->allow_extra_args(false)
      ->excludes(browser)
      ->excludes(system);
  command.add_option("--name", options.name, "host name (default com.velmox.qorda.native_host)")
      ->type_name("NAME")
      ->check(hostName);
  if (which == Command::install)
    command
        .add_option("--host-path", options.hostPath,
                    "the host program (default: QordaNativeMessagingHost beside this program, else in "
                    "../lib/qorda-native-host from it)")
        ->type_name("PATH")
        ->check(path);
  if (which != Command::status)
    command.add_flag("--force", options.force, "replace or remove manifests that are not ours");
  if (which == Command::status) command.add_flag("--json", options.json, "print the result as JSON");
}

}  // namespace

Result<Options> parseCommandLine(int argc, const char* const* argv) {
  Options options;
  std::vector<std::string> browserKeys, extensionIds;
  CLI::App app("Registers QordaNativeMessagingHost with Chromium-family browsers.", std::string(commandName));
  app.require_subcommand(0, 1);
  app.set_version_flag("--version", std::string(commandName) + " " + QORDA_VERSION);
  app.footer("'" + std::string(commandName) + " COMMAND --help' lists the options of a command.\n" +
             "Exit status: 0 success, 1 failure or problems found, 2 bad arguments.");
  const struct {
    Command command;
    const char* name;
    const char* description;
  } commands[] = {
      {Command::install, "install", "write the host manifest for each browser"},
      {Command::uninstall, "uninstall", "remove the manifests that install wrote"},
      {Command::status, "status",
       "check each browser's manifest, and the system-wide ones; exit 0 when all is sound"},
      {Command::manifest, "manifest", "print the manifest that install would write, for packages to ship"},
  };
  for (const auto& command : commands)
    declareOptions(*app.add_subcommand(command.name, command.description), command.command, options,
                   browserKeys, extensionIds);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    // The whole command line at once, so that its manual page has every option.
    options.help =
        app.help("", app.get_subcommands().empty() ? CLI::AppFormatMode::All : CLI::AppFormatMode::Normal);
    return {std::move(options), std::nullopt};
  } catch (const CLI::CallForVersion& version) {
    options.help = version.what() + std::string("\n");
    return {std::move(options), std::nullopt};
  } catch (const CLI::ParseError& error) {
    return {{}, error.what()};
  }
  if (app.get_subcommands().empty())
    return {{}, "no command given: use install, uninstall, status or manifest"};
  for (const auto& command : commands)
    if (app.got_subcommand(command.name)) options.command = command.command;
  for (const auto& key : browserKeys) appendOnce(options.browsers, *browserFromKey(key));
  for (const auto& id : extensionIds) appendOnce(options.extensionIds, id);
  return {std::move(options), std::nullopt};
}

}  // namespace qorda::setup
