// qorda-policy: checks, publishes and shows the policy snapshot, and explains
// the host's decision for one request. Every rule it reports is the host's
// own code at work: the same snapshot reader, normalisation and evaluation.
#include "app/companion.h"
#include "json/json_decoding.h"
#include "policy/policy_evaluation.h"
#include "policy_report.h"
#include "publish.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace {

using namespace qorda;

constexpr int exitReported = 1;
constexpr int exitBadArguments = 2;

// The whole of a file, or of standard input for "-"; past the size the host
// reads, one byte more than it, which is enough to tell.
std::optional<std::string> readInput(const std::string& path) {
  std::FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  std::string text;
  std::size_t have = 0;
  while (have <= largestPolicySnapshot) {
    text.resize(std::min(std::max<std::size_t>(2 * have, 64 * 1024), largestPolicySnapshot + 1));
    std::size_t count = std::fread(text.data() + have, 1, text.size() - have, file);
    have += count;
    if (count == 0) break;
  }
  bool failed = std::ferror(file) != 0;
  if (file != stdin) std::fclose(file);
  if (failed) return std::nullopt;
  text.resize(have);
  return text;
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
  // The host never reads a snapshot this large, forced or not.
  if (text->size() > largestPolicySnapshot) {
    std::cerr << "qorda-policy: not published: the host does not read a snapshot over 256 MiB\n";
    return exitReported;
  }
  if (!isUsableSnapshot(checked.findings) && !force) {
    std::cerr
        << "qorda-policy: not published: the host would use the empty policy (--force publishes it anyway)\n";
    return exitReported;
  }
  if (auto error = tools::publishSnapshot(*text)) throw std::runtime_error(*error);
  return 0;
}

int runShow() {
  auto text = readPolicySnapshot().text;
  if (!text) {
    std::cerr << "qorda-policy: no policy snapshot is published\n";
    return exitReported;
  }
  std::cout << *text << (text->ends_with('\n') ? "" : "\n");
  return 0;
}

// The request that explain's flags describe.
struct RequestFlags {
  std::string url;
  std::optional<std::string> page, manifest, mime, signal, transport;
  bool drm = false;
};

struct ExplainOptions {
  std::string messageFile, policyFile;
  RequestFlags request;
  bool json = false;
};

std::optional<std::string_view> viewOf(const std::optional<std::string>& text) {
  return text ? std::optional<std::string_view>(*text) : std::nullopt;
}

RequestIntent intentOf(const RequestFlags& flags) {
  return {flags.url,
          viewOf(flags.mime),
          viewOf(flags.page),
          viewOf(flags.manifest),
          viewOf(flags.signal),
          viewOf(flags.transport),
          flags.drm};
}

void printRejected(HostError error, bool json) {
  std::string_view reason = error == HostError::invalidJSONShape ? "invalid_json_shape" : "invalid_json";
  std::cout << (json ? "{\"accepted\":false,\"reason\":\"" + std::string(reason) + "\"}\n"
                     : "rejected " + std::string(reason) + ": the message is not a JSON object\n");
}

int runExplain(const ExplainOptions& options) {
  std::optional<std::string> snapshot =
      options.policyFile.empty() ? readPolicySnapshot().text : readInput(options.policyFile);
  if (!snapshot && !options.policyFile.empty()) throw std::runtime_error("cannot read " + options.policyFile);
  AppGroupPolicy policy = snapshot ? policyFromSnapshotText(std::move(*snapshot)) : AppGroupPolicy{};
  std::optional<RequestIntent> intent = intentOf(options.request);
  JsonDecoder decoder;
  simdjson::padded_string body;
  if (!options.messageFile.empty()) {
    auto message = readInput(options.messageFile);
    if (!message) throw std::runtime_error("cannot read " + options.messageFile);
    body = simdjson::padded_string(*message);
    DecodedMessage decoded = decodeMessage(decoder, body);
    if (auto error = std::get_if<HostError>(&decoded)) {
      printRejected(*error, options.json);
      return 0;
    }
    intent = std::get<Message>(decoded).intent;
  }
  PolicyExplanation explanation = explainPolicyAction(intent, policy);
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
