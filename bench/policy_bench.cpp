// Policy cost: one evaluation that reaches the host lists, under snapshots of
// growing size, beside simdjson alone reading and parsing the same file: the
// first message after a snapshot is published pays for reading, parsing and
// normalising it; every later one only for proving it unchanged and a lookup.
//   qorda_policy_bench [--report-dir DIR] [Google Benchmark flags]
#include "app/companion.h"
#include "json/json_decoding.h"
#include "policy/policy_evaluation.h"
#include "policy/policy_snapshot.h"
#include "report.h"
#include "workload.h"

#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include <unistd.h>

namespace qorda::bench {
namespace {

namespace fs = std::filesystem;

constexpr std::array<std::int64_t, 4> hostEntryCounts = {0, 1'000, 10'000, 100'000};
constexpr std::size_t ruleCount = 1'000;

// Each snapshot published twice, in two runtime folders: alternating between
// them makes every message a first one.
struct Snapshots {
  fs::path root;
  std::map<std::int64_t, std::string> texts;
};

fs::path folderOf(std::int64_t entries, int copy) {
  return fs::temp_directory_path() / ("qorda-policy-bench." + std::to_string(::getpid())) /
         (std::to_string(entries) + "-" + std::to_string(copy));
}

Snapshots& snapshots() {
  static Snapshots published = [] {
    Snapshots s;
    s.root = folderOf(0, 0).parent_path();
    for (std::int64_t entries : hostEntryCounts) {
      s.texts[entries] = snapshotText(static_cast<std::size_t>(entries), ruleCount);
      for (int copy : {0, 1}) {
        fs::create_directories(folderOf(entries, copy));
        std::ofstream(folderOf(entries, copy) / std::string(policyPasteboardName), std::ios::binary)
            << s.texts[entries];
      }
    }
    // File stamps within a clock tick of a read prove nothing; past it, an
    // unchanged snapshot is proved by one stat.
    ::usleep(1'100'000);
    return s;
  }();
  return published;
}

void publish(std::int64_t entries, int copy) {
  ::setenv("XDG_RUNTIME_DIR", folderOf(entries, copy).c_str(), 1);
}

void setBytes(benchmark::State& state, std::int64_t entries) {
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(snapshots().texts[entries].size()));
}

// A message that passes the request checks and that no list covers, so that
// every host list and every rule is tried.
template <bool firstMessage>
void evaluation(benchmark::State& state) {
  std::int64_t entries = state.range(0);
  simdjson::padded_string body(policyProbeMessage());
  JsonDecoder decoder;
  std::optional<RequestIntent> intent = std::get<Message>(decodeMessage(decoder, body)).intent;
  PolicyCache cache;
  int copy = 0;
  publish(entries, copy);
  evaluatePolicyAction(intent, cache);
  for (auto _ : state) {
    if (firstMessage) publish(entries, copy ^= 1);
    Check decision = evaluatePolicyAction(intent, cache);
    benchmark::DoNotOptimize(decision);
    if (rowOf(decision).action != Action::takeover)
      state.SkipWithError("the probe message was not taken over");
  }
  setBytes(state, entries);
}

// The floor: simdjson reading the file and parsing it, the parser reused.
void simdjsonReadAndParse(benchmark::State& state) {
  std::int64_t entries = state.range(0);
  fs::path file = folderOf(entries, 0) / std::string(policyPasteboardName);
  simdjson::dom::parser parser;
  for (auto _ : state) {
    simdjson::dom::element root;
    if (parser.load(file.string()).get(root)) state.SkipWithError("the snapshot did not parse");
    benchmark::DoNotOptimize(root);
  }
  setBytes(state, entries);
}

void registerAll() {
  for (auto [name, function] : {std::pair{"simdjson_read_parse", &simdjsonReadAndParse},
                                {"first_message", &evaluation<true>},
                                {"unchanged", &evaluation<false>}}) {
    auto* b = benchmark::RegisterBenchmark(name, function)->Unit(benchmark::kMicrosecond);
    for (std::int64_t entries : hostEntryCounts) b->Arg(entries);
  }
}

// Keeps each run's time per iteration beside the usual console output.
class Recorder : public benchmark::ConsoleReporter {
 public:
  // Colours only for a terminal, not for a log.
  Recorder() : ConsoleReporter(::isatty(1) ? OO_Defaults : OO_Tabular) {}

  std::map<std::string, double> seconds;  // "evaluation/1000" -> seconds per iteration

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      seconds[run.benchmark_name()] = run.GetAdjustedRealTime() * 1e-6;  // reported in microseconds
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

double secondsOf(const Recorder& recorder, const std::string& name, std::int64_t entries) {
  auto found = recorder.seconds.find(name + "/" + std::to_string(entries));
  return found == recorder.seconds.end() ? NAN : found->second;
}

void report(const Recorder& recorder, const std::string& reportDir) {
  Table table{
      "Policy cost: a message that reaches the host lists, against simdjson reading and parsing the snapshot",
      {"host entries", "snapshot", "simdjson read+parse", "first message", "÷ read+parse", "unchanged",
       "÷ read+parse"},
      {},
      "Entries spread over the three host lists, plus " + std::to_string(ruleCount) +
          " bypass rules in every snapshot; the message is covered by none. \"First message\" reads, "
          "parses and normalises the snapshot and walks the lists, as a one-shot host does; \"unchanged\" "
          "proves the snapshot unchanged with one stat and looks the hosts up in the lists' index."};
  for (std::int64_t entries : hostEntryCounts) {
    double bytes = static_cast<double>(snapshots().texts.at(entries).size());
    double parse = secondsOf(recorder, "simdjson_read_parse", entries);
    double first = secondsOf(recorder, "first_message", entries);
    double unchanged = secondsOf(recorder, "unchanged", entries);
    table.rows.push_back({std::to_string(entries), formatFixed(bytes / 1024.0, 0) + " KiB",
                          formatDuration(parse), formatDuration(first), formatRatio(first / parse),
                          formatDuration(unchanged), formatRatio(unchanged / parse)});
    if (entries != 10'000) continue;
    recordVerdict({"policy cost", "10,000 hosts + 1,000 rules, first message: ≤ 2× simdjson's read and parse",
                   formatDuration(first) + " = " + formatRatio(first / parse), first <= 2 * parse},
                  reportDir);
    recordVerdict(
        {"policy cost", "10,000 hosts + 1,000 rules, unchanged: ≤ 0.1× simdjson's read and parse",
         formatDuration(unchanged) + " = " + formatRatio(unchanged / parse), unchanged <= 0.1 * parse},
        reportDir);
  }
  emitTable(table, reportDir);
}

}  // namespace
}  // namespace qorda::bench

int main(int argc, char** argv) {
  std::string reportDir;
  std::vector<char*> arguments;
  for (int i = 0; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--report-dir" && i + 1 < argc)
      reportDir = argv[++i];
    else
      arguments.push_back(argv[i]);
  }
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 2;
  qorda::bench::snapshots();
  qorda::bench::registerAll();
  qorda::bench::Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  benchmark::Shutdown();
  qorda::bench::report(recorder, reportDir);
  std::error_code ignored;
  std::filesystem::remove_all(qorda::bench::snapshots().root, ignored);
  return 0;
}
