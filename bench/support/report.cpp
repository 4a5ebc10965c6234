#include "report.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace qorda::bench {
namespace {

// Columns line up by characters, not bytes: "µs" and "×" take two bytes each.
std::size_t displayWidth(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(
      text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string paddedRow(const std::vector<std::string>& cells, const std::vector<std::size_t>& widths) {
  std::string line = "|";
  for (std::size_t i = 0; i < widths.size(); ++i) {
    std::string cell = i < cells.size() ? cells[i] : "";
    line += ' ' + cell + std::string(widths[i] - std::min(widths[i], displayWidth(cell)), ' ') + " |";
  }
  return line + '\n';
}

std::vector<std::size_t> columnWidths(const Table& table) {
  std::vector<std::size_t> widths(table.header.size(), 3);
  auto widen = [&](const std::vector<std::string>& cells) {
    for (std::size_t i = 0; i < cells.size() && i < widths.size(); ++i)
      widths[i] = std::max(widths[i], displayWidth(cells[i]));
  };
  widen(table.header);
  for (const auto& row : table.rows) widen(row);
  return widths;
}

// Tabs and line breaks would break the TSV record apart.
std::string flattened(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\t' || c == '\n'; }, ' ');
  return text;
}

std::string formatScaled(double value, const char* unit, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f %s", decimals, value, unit);
  return text;
}

}  // namespace

std::string renderMarkdown(const Table& table) {
  std::vector<std::size_t> widths = columnWidths(table);
  std::string text = "### " + table.title + "\n\n" + paddedRow(table.header, widths) + "|";
  for (std::size_t width : widths) text += std::string(width + 2, '-') + "|";
  text += '\n';
  for (const auto& row : table.rows) text += paddedRow(row, widths);
  if (!table.note.empty()) text += '\n' + table.note + '\n';
  return text;
}

void emitTable(const Table& table, const std::string& reportDir) {
  std::string text = renderMarkdown(table);
  std::fputs(('\n' + text).c_str(), stdout);
  std::fflush(stdout);
  if (!reportDir.empty()) std::ofstream(reportDir + "/tables.md", std::ios::app) << text << '\n';
}

void recordVerdict(const TargetVerdict& verdict, const std::string& reportDir) {
  if (reportDir.empty()) return;
  std::ofstream(reportDir + "/targets.tsv", std::ios::app)
      << flattened(verdict.area) << '\t' << flattened(verdict.target) << '\t' << flattened(verdict.measured)
      << '\t' << (verdict.holds ? "holds" : "missed") << '\n';
}

std::vector<TargetVerdict> readVerdicts(const std::string& reportDir) {
  std::vector<TargetVerdict> verdicts;
  std::ifstream file(reportDir + "/targets.tsv");
  for (std::string line; std::getline(file, line);) {
    std::istringstream fields(line);
    TargetVerdict verdict;
    std::string holds;
    std::getline(fields, verdict.area, '\t');
    std::getline(fields, verdict.target, '\t');
    std::getline(fields, verdict.measured, '\t');
    std::getline(fields, holds, '\t');
    verdict.holds = holds == "holds";
    verdicts.push_back(std::move(verdict));
  }
  return verdicts;
}

std::string formatDuration(double seconds) {
  if (seconds >= 1.0) return formatScaled(seconds, "s", 2);
  if (seconds >= 1e-3) return formatScaled(seconds * 1e3, "ms", 2);
  if (seconds >= 1e-6) return formatScaled(seconds * 1e6, "µs", 1);
  return formatScaled(seconds * 1e9, "ns", 0);
}

std::string formatRate(double perSecond) {
  if (perSecond >= 1e6) return formatScaled(perSecond / 1e6, "M/s", 2);
  if (perSecond >= 1e3) return formatScaled(perSecond / 1e3, "k/s", 1);
  return formatScaled(perSecond, "/s", 0);
}

std::string formatRatio(double ratio) { return formatFixed(ratio, 2) + "×"; }

std::string formatMiB(double bytes) { return formatScaled(bytes / (1024.0 * 1024.0), "MiB", 1); }

std::string formatFixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string formatPercent(double fraction) {
  char text[64];
  std::snprintf(text, sizeof text, "%+.1f %%", fraction * 100.0);
  return text;
}

}  // namespace qorda::bench
