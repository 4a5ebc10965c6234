// qorda_host_bench: plays the browser to the Qorda host, the static C limit
// and the usual Python and Node.js hosts, and prints how they compare.
//   qorda_host_bench run [--smoke] [--report-dir DIR] [--sections compare,handoff,memory] [--our-host PATH]
//   qorda_host_bench workload DIR [COUNT]   (files to profile a host by hand)
//   qorda_host_bench summary --report-dir DIR [--markdown FILE] [--machine TEXT] [--source TEXT] [--command
//   TEXT]
#include "modes.h"
#include "report.h"
#include "sections.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace qorda::bench {
namespace {

using Options = std::map<std::string, std::string>;

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 2; i < argc; ++i) {
    std::string name = argv[i];
    // Whole strings moved in: GCC 12 warns falsely on assigning a literal.
    if (name == "--smoke")
      options.insert_or_assign(name, std::string("1"));
    else if (i + 1 < argc)
      options.insert_or_assign(name, std::string(argv[++i]));
  }
  return options;
}

std::string option(const Options& options, const std::string& name, const std::string& fallback = "") {
  auto found = options.find(name);
  return found == options.end() ? fallback : found->second;
}

BenchPaths builtPaths() {
  return {QORDA_HOST_BINARY,
          QORDA_LIMIT_HOST,
          QORDA_BENCH_SOURCE_DIR "/hosts/python_host.py",
          QORDA_BENCH_SOURCE_DIR "/node/host.js",
          QORDA_STAND_IN,
          QORDA_HANDOFF_LIMIT};
}

int run(const Options& options) {
  bool smoke = options.contains("--smoke");
  RunSize size = smoke ? smokeRun() : fullRun();
  std::string reportDir = option(options, "--report-dir");
  std::string sections = option(options, "--sections", "compare,handoff,memory");
  std::fprintf(stderr, "qorda_host_bench: starting a private session bus and probing the hosts\n");
  BenchPaths paths = builtPaths();
  // Another build of the host, to compare it with the one built here.
  paths.ourHost = option(options, "--our-host", paths.ourHost);
  Session session = openSession(paths);
  try {
    if (sections.find("compare") != std::string::npos) compareHosts(session, size, reportDir);
    if (sections.find("handoff") != std::string::npos) measureHandOff(session, size, reportDir);
    if (sections.find("memory") != std::string::npos) measureMemory(session, size, reportDir);
  } catch (...) {
    closeSession(session);
    throw;
  }
  long signals = closeSession(session);
  std::printf("\nCapture signals the stand-in desktop application heard on the private bus: %ld\n", signals);
  return 0;
}

// The bench's policy and frames as files, to profile a host by hand:
//   XDG_RUNTIME_DIR=DIR/run perf record HOST < DIR/policy.frames
int writeWorkload(int argc, char** argv) {
  if (argc < 3) return 2;
  std::string dir = argv[2];
  std::size_t count = argc > 3 ? std::stoul(argv[3]) : 100000;
  std::filesystem::create_directories(dir + "/run");
  std::ofstream(dir + "/run/com.velmox.qorda.policy", std::ios::binary) << comparisonPolicyText();
  for (Mix mix : allMixes) {
    std::string name(mixName(mix));
    std::replace(name.begin(), name.end(), ' ', '-');
    std::ofstream(dir + "/" + name + ".frames", std::ios::binary) << batchOf(requestMessages(mix), count);
  }
  std::printf("wrote %s/run/com.velmox.qorda.policy and %zu frames per mix in %s/*.frames\n", dir.c_str(),
              count, dir.c_str());
  return 0;
}

Table verdictTable(const std::vector<TargetVerdict>& verdicts) {
  Table table{"Targets", {"area", "target", "measured", "verdict"}, {}, {}};
  for (const TargetVerdict& v : verdicts)
    table.rows.push_back({v.area, v.target, v.measured, v.holds ? "holds" : "MISSED"});
  return table;
}

int summary(const Options& options) {
  std::string reportDir = option(options, "--report-dir");
  std::string machine = option(options, "--machine", "unknown machine");
  std::string command = option(options, "--command", "scripts/bench");
  std::string source = option(options, "--source", "unknown");
  Table targets = verdictTable(readVerdicts(reportDir));
  std::printf("\n==> Summary\n\nMachine: %s\nSource: %s\nCommand: %s\n", machine.c_str(), source.c_str(),
              command.c_str());
  emitTable(targets, "");
  std::string markdownPath = option(options, "--markdown");
  if (markdownPath.empty()) return 0;
  std::ostringstream tables;
  tables << std::ifstream(reportDir + "/tables.md").rdbuf();
  std::ofstream(markdownPath) << "## Benchmarks\n\nMachine: " << machine << ". Source: " << source
                              << ". Made by `" << command << "`; figures are printed, never asserted.\n\n"
                              << renderMarkdown(targets) << '\n'
                              << tables.str();
  std::printf("\nWrote %s\n", markdownPath.c_str());
  return 0;
}

}  // namespace

RunSize fullRun() {
  return {.oneShotRounds = 200,
          .pingPongRounds = 6,
          .pingPongMessages = 2000,
          .takeoverPingPongMessages = 200,
          .pipelinedRounds = 6,
          .pipelinedMessages = 20000,
          .takeoverPipelinedMessages = 200,
          .inboxSizes = {0, 1000, 100000},
          .handOffRounds = 40,
          .handOffBatch = 200,
          .hugeFrameBytes = 64u << 20,
          .longRunMessages = 1'000'000};
}

RunSize smokeRun() {
  return {.oneShotRounds = 5,
          .pingPongRounds = 1,
          .pingPongMessages = 100,
          .takeoverPingPongMessages = 20,
          .pipelinedRounds = 1,
          .pipelinedMessages = 500,
          .takeoverPipelinedMessages = 20,
          .inboxSizes = {0, 1000},
          .handOffRounds = 3,
          .handOffBatch = 8,
          .hugeFrameBytes = 4u << 20,
          .longRunMessages = 11'000};
}

}  // namespace qorda::bench

int main(int argc, char** argv) {
  // A host that dies must not take the bench with it on the next write.
  std::signal(SIGPIPE, SIG_IGN);
  std::string mode = argc > 1 ? argv[1] : "";
  try {
    auto options = qorda::bench::parseOptions(argc, argv);
    if (mode == "run") return qorda::bench::run(options);
    if (mode == "summary") return qorda::bench::summary(options);
    if (mode == "workload") return qorda::bench::writeWorkload(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "qorda_host_bench: %s\n", error.what());
    return 1;
  }
  std::fprintf(stderr, "usage: qorda_host_bench run|workload|summary [options]\n");
  return 2;
}
