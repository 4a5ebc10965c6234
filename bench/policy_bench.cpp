// Policy cost: one evaluation that reaches the host lists, under snapshots of
// growing size, beside simdjson alone parsing the same text: the floor, since
// the host reads and parses the snapshot afresh for every message.
//   qorda_policy_bench [--report-dir DIR] [Google Benchmark flags]
#include "app/companion.h"
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

// One published snapshot per size, each in its own runtime folder.
struct Snapshots {
  fs::path root;
  std::map<std::int64_t, std::string> texts;
};

Snapshots& snapshots() {
  static Snapshots published = [] {
    Snapshots s;
    s.root = fs::temp_directory_path() / ("qorda-policy-bench." + std::to_string(::getpid()));
    for (std::int64_t entries : hostEntryCounts) {
      fs::create_directories(s.root / std::to_string(entries));
      s.texts[entries] = snapshotText(static_cast<std::size_t>(entries), ruleCount);
      std::ofstream(s.root / std::to_string(entries) / std::string(policyPasteboardName), std::ios::binary)
          << s.texts[entries];
    }
    return s;
  }();
  return published;
}

void publish(std::int64_t entries) {
  ::setenv("XDG_RUNTIME_DIR", (snapshots().root / std::to_string(entries)).c_str(), 1);
}

void setBytes(benchmark::State& state, std::int64_t entries) {
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(snapshots().texts[entries].size()));
}

// The whole decision for a message that passes the request checks and no
// list covers: the file read, the parse, every host list and every rule.
void evaluation(benchmark::State& state) {
  std::int64_t entries = state.range(0);
  publish(entries);
  simdjson::padded_string body(policyProbeMessage());
  simdjson::dom::parser parser;
  JsonObject message = parser.parse(body).get_object().value();
  for (auto _ : state) {
    PolicyAction action = evaluatePolicyAction(message);
    benchmark::DoNotOptimize(action);
    if (action.action != takeoverAction) state.SkipWithError("the probe message was not taken over");
  }
  setBytes(state, entries);
}

// Parts of the evaluation: the file read alone, and the text made into the
// policy's lists (with the copy of the text it is handed).
void snapshotRead(benchmark::State& state) {
  std::int64_t entries = state.range(0);
  publish(entries);
  for (auto _ : state) benchmark::DoNotOptimize(readPolicySnapshotText());
  setBytes(state, entries);
}

void snapshotToPolicy(benchmark::State& state) {
  std::int64_t entries = state.range(0);
  const std::string& text = snapshots().texts[entries];
  for (auto _ : state) benchmark::DoNotOptimize(policyFromSnapshotText(text));
  setBytes(state, entries);
}

// The floor: simdjson's DOM parse of the same text, the parser reused.
void simdjsonParse(benchmark::State& state) {
  std::int64_t entries = state.range(0);
  simdjson::padded_string text(snapshots().texts[entries]);
  simdjson::dom::parser parser;
  for (auto _ : state) {
    simdjson::dom::element root;
    if (parser.parse(text).get(root)) state.SkipWithError("the snapshot did not parse");
    benchmark::DoNotOptimize(root);
  }
  setBytes(state, entries);
}

void registerAll() {
  for (auto [name, function] : {std::pair{"simdjson_parse", &simdjsonParse}, {"evaluation", &evaluation},
                                {"snapshot_read", &snapshotRead}, {"snapshot_to_policy", &snapshotToPolicy}}) {
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
  Table table{"Policy cost: one evaluation that reaches the host lists, against simdjson alone",
              {"host entries", "snapshot", "simdjson parse", "evaluation", "÷ parse", "eval ns/byte", "file read",
               "text → lists"},
              {},
              "Entries spread over the three host lists, plus " + std::to_string(ruleCount) +
                  " bypass rules in every snapshot. The evaluation reads the snapshot file, parses it and matches a "
                  "message that no list covers; \"text → lists\" includes copying the text. A constant ns/byte "
                  "is linear growth."};
  for (std::int64_t entries : hostEntryCounts) {
    double bytes = static_cast<double>(snapshots().texts.at(entries).size());
    double parse = secondsOf(recorder, "simdjson_parse", entries);
    double eval = secondsOf(recorder, "evaluation", entries);
    table.rows.push_back({std::to_string(entries), formatFixed(bytes / 1024.0, 0) + " KiB", formatDuration(parse),
                          formatDuration(eval), formatRatio(eval / parse), formatFixed(eval * 1e9 / bytes, 2),
                          formatDuration(secondsOf(recorder, "snapshot_read", entries)),
                          formatDuration(secondsOf(recorder, "snapshot_to_policy", entries))});
    if (entries >= 1000)
      recordVerdict({"policy cost", std::to_string(entries) + " host entries: ≤ 2× simdjson's parse",
                     formatDuration(eval) + " = " + formatRatio(eval / parse) + " parse", eval <= 2 * parse},
                    reportDir);
  }
  emitTable(table, reportDir);
  double small = secondsOf(recorder, "evaluation", 10'000), large = secondsOf(recorder, "evaluation", 100'000);
  double exponent = std::log(large / small) / std::log(10.0);
  std::printf("\nGrowth of the evaluation from 10,000 to 100,000 entries: time ∝ entries^%.2f (1.00 is linear)\n",
              exponent);
  recordVerdict({"policy cost", "grows linearly with the entries (10,000 → 100,000)",
                 "time ∝ entries^" + formatFixed(exponent, 2), exponent <= 1.15},
                reportDir);
}

}  // namespace
}  // namespace qorda::bench

int main(int argc, char** argv) {
  std::string reportDir;
  std::vector<char*> arguments;
  for (int i = 0; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--report-dir" && i + 1 < argc) reportDir = argv[++i];
    else arguments.push_back(argv[i]);
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
