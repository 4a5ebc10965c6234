// Tables and target verdicts of one bench run: printed as Markdown and kept in
// a report folder, from which the summary and bench/results.md are made.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qorda::bench {

struct Table {
  std::string title;
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;
  std::string note;  // printed under the table
};

// One figure we aim for, as this run found it.
struct TargetVerdict {
  std::string area;
  std::string target;
  std::string measured;
  bool holds = false;
};

std::string renderMarkdown(const Table& table);

// Prints the table and appends it to REPORT_DIR/tables.md when reportDir is set.
void emitTable(const Table& table, const std::string& reportDir);

// Appends to REPORT_DIR/targets.tsv; prints nothing.
void recordVerdict(const TargetVerdict& verdict, const std::string& reportDir);
std::vector<TargetVerdict> readVerdicts(const std::string& reportDir);

std::string formatDuration(double seconds);
std::string formatRate(double perSecond);
std::string formatRatio(double ratio);
std::string formatMiB(double bytes);
std::string formatFixed(double value, int decimals);
std::string formatPercent(double fraction);  // signed, one decimal

}  // namespace qorda::bench
