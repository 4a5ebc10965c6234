// qorda-policy: checks, publishes and shows the policy snapshot, and explains
// the host's decision for one request. Every rule it reports is the host's
// own code at work: the same snapshot reader, normalisation and evaluation.
#include "app/companion.h"
#include "explain_message.h"
#include "json/json_decoding.h"
#include "policy/policy_evaluation.h"
#include "policy_report.h"
#include "publish.h"

#include <CLI/CLI.hpp>

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace {

using namespace qorda;

constexpr int exitReported = 1;
constexpr int exitBadArguments = 2;

// The whole of a file, or of standard input for "-".
std::optional<std::string> readInput(const std::string& path) {
  std::ostringstream text;
  if (path == "-") {
    text << std::cin.rdbuf();
    return text.str();
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  text << file.rdbuf();
  return text.str();
}

const CLI::Validator inputFile(
    [](std::string& path) { return path == "-" ? std::string() : CLI::ExistingFile(path); }, "FILE or -");

struct CheckedSnapshot {
  AppGroupPolicy policy;
  std::vector<SnapshotFinding> findings;
};

CheckedSnapshot checkSnapshot(std::string text) {
  CheckedSnapshot checked;
  checked.policy = policyFromSnapshotText(std::move(text), &checked.findings);
  return checked;
}

int runCheck(const std::string& file, bool json) {
  auto text = readInput(file);
  if (!text) throw std::runtime_error("cannot read " + file);
  CheckedSnapshot checked = checkSnapshot(std::move(*text));
  std::cout << (json ? tools::checkReportJson(checked.findings, checked.policy)
                     : tools::checkReportText(checked.findings));
  return checked.findings.empty() ? 0 : exitReported;
}

int runPublish(const std::string& file, bool force) {
  auto text = readInput(file);
  if (!text) throw std::runtime_error("cannot read " + file);
  CheckedSnapshot checked = checkSnapshot(*text);
  std::cerr << tools::checkReportText(checked.findings);
  if (!isUsableSnapshot(checked.findings) && !force) {
    std::cerr
        << "qorda-policy: not published: the host would use the empty policy (--force publishes it anyway)\n";
    return exitReported;
  }
  if (auto error = tools::publishSnapshot(*text)) throw std::runtime_error(*error);
  return 0;
}

int runShow() {
  auto text = readPolicySnapshotText();
  if (!text) {
    std::cerr << "qorda-policy: no policy snapshot is published\n";
    return exitReported;
  }
  std::cout << *text << (text->ends_with('\n') ? "" : "\n");
  return 0;
}

struct ExplainOptions {
  std::string messageFile, policyFile;
  tools::RequestFlags request;
  bool json = false;
};

int runExplain(const ExplainOptions& options) {
  std::optional<std::string> message =
      options.messageFile.empty() ? tools::messageFromFlags(options.request) : readInput(options.messageFile);
  if (!message) throw std::runtime_error("cannot read " + options.messageFile);
  std::optional<std::string> snapshot =
      options.policyFile.empty() ? readPolicySnapshotText() : readInput(options.policyFile);
  if (!snapshot && !options.policyFile.empty()) throw std::runtime_error("cannot read " + options.policyFile);
  AppGroupPolicy policy = snapshot ? policyFromSnapshotText(std::move(*snapshot)) : AppGroupPolicy{};

  simdjson::padded_string body(*message);
  simdjson::dom::parser parser;
  DecodedMessage decoded = decodeMessage(parser, body);
  if (auto error = std::get_if<HostError>(&decoded)) {
    std::string_view reason = *error == HostError::invalidJSONShape ? "invalid_json_shape" : "invalid_json";
    std::cout << (options.json ? "{\"accepted\":false,\"reason\":\"" + std::string(reason) + "\"}\n"
                               : "rejected " + std::string(reason) + ": the message is not a JSON object\n");
    return 0;
  }
  PolicyExplanation explanation = explainPolicyAction(std::get<JsonObject>(decoded), policy);
  std::cout << (options.json ? tools::explanationJson(explanation) : tools::explanationText(explanation));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Checks, publishes and shows the Qorda policy snapshot, and explains the host's decisions."};
  app.set_version_flag("--version", "qorda-policy " QORDA_VERSION);
  app.name("qorda-policy");
  app.require_subcommand(1, 1);

  std::string file;
  bool json = false, force = false;
  CLI::App* check =
      app.add_subcommand("check", "Report how the host would read a snapshot (exit 1 if it differs).");
  check->add_option("FILE", file, "snapshot file, or - for standard input")->required()->check(inputFile);
  check->add_flag("--json", json, "print the report as JSON");

  CLI::App* publish = app.add_subcommand("publish", "Check a snapshot, then publish it in one step.");
  publish->add_option("FILE", file, "snapshot file, or - for standard input")->required()->check(inputFile);
  publish->add_flag("--force", force, "publish even what the host would read as the empty policy");

  CLI::App* show = app.add_subcommand("show", "Print the snapshot in force.");

  ExplainOptions explain;
  CLI::App* explainCommand =
      app.add_subcommand("explain", "Show the host's decision for one request, and why.");
  auto* message =
      explainCommand->add_option("--message", explain.messageFile, "a message as the extension sends it")
          ->check(inputFile);
  auto* url = explainCommand->add_option("--url", explain.request.url, "the resource URL");
  explainCommand->add_option("--page", explain.request.page, "the page URL");
  explainCommand->add_option("--manifest", explain.request.manifest, "the manifest URL");
  explainCommand->add_option("--mime", explain.request.mime, "the resource's MIME type");
  explainCommand->add_option("--signal", explain.request.signal, "the detection signal type");
  explainCommand->add_option("--transport", explain.request.transport, "the classification's delivery type");
  explainCommand->add_flag("--drm", explain.request.drm, "DRM protection is suspected");
  explainCommand->add_option("--policy", explain.policyFile, "a snapshot file instead of the published one")
      ->check(inputFile);
  explainCommand->add_flag("--json", explain.json, "print the explanation as JSON");
  message->excludes(url);

  try {
    app.parse(argc, argv);
    if (explainCommand->parsed() && explain.messageFile.empty() && url->count() == 0)
      throw CLI::RequiredError("--url or --message");
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);
    std::cerr << "qorda-policy: " << error.what() << " (see --help)\n";
    return exitBadArguments;
  }
  try {
    if (check->parsed()) return runCheck(file, json);
    if (publish->parsed()) return runPublish(file, force);
    if (show->parsed()) return runShow();
    return runExplain(explain);
  } catch (const std::exception& error) {
    std::cerr << "qorda-policy: " << error.what() << "\n";
    return exitReported;
  }
}
