#include "report.h"

#include "json/json_writer.h"
#include "manifest.h"

#include <algorithm>
#include <array>

namespace qorda::setup {
namespace {

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
  std::string text;
  for (const auto& part : parts) text += (text.empty() ? "" : std::string(separator)) + part;
  return text;
}

// The text with every byte outside well-formed UTF-8 replaced by U+FFFD: a
// character is the shortest prefix of one to four bytes that validates.
std::string withValidUtf8(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    std::size_t length = 1;
    while (length < 4 && length < text.size() && !isValidUtf8(text.substr(0, length))) ++length;
    if (isValidUtf8(text.substr(0, length))) {
      out += text.substr(0, length);
    } else {
      out += "\xef\xbf\xbd";
      length = 1;
    }
    text.remove_prefix(length);
  }
  return out;
}

std::string jsonString(std::string_view text) {
  std::string out;
  qorda::appendJsonString(out, withValidUtf8(text));
  return out;
}

std::string jsonArray(const std::vector<std::string>& items) {
  std::string text = "[";
  for (std::size_t i = 0; i < items.size(); ++i) text += (i ? ", " : "") + jsonString(items[i]);
  return text + "]";
}

std::string padded(std::string text, std::size_t width) {
  text.resize(std::max(width, text.size()), ' ');
  return text;
}

}  // namespace

std::string renderStatusTable(const std::vector<StatusRow>& rows) {
  using Cells = std::array<std::string, 5>;
  std::vector<Cells> lines{{"BROWSER", "LEVEL", "FOLDER", "STATE", "PROBLEM"}};
  for (const auto& row : rows)
    lines.push_back({row.browser, row.level, row.folder, row.state, joined(row.problems, "; ")});

  std::array<std::size_t, 4> widths{};
  for (const auto& cells : lines)
    for (std::size_t c = 0; c < widths.size(); ++c) widths[c] = std::max(widths[c], cells[c].size());

  std::string text;
  for (const auto& cells : lines) {
    std::string line;
    for (std::size_t c = 0; c < widths.size(); ++c) line += padded(cells[c], widths[c] + 2);
    line += cells[4];
    while (!line.empty() && line.back() == ' ') line.pop_back();
    text += line + "\n";
  }
  // A note concerns a browser, not a folder: say it once.
  std::vector<std::string> notes;
  for (const auto& row : rows)
    for (const auto& note : row.notes)
      if (std::find(notes.begin(), notes.end(), note) == notes.end()) notes.push_back(note);
  for (const auto& note : notes) text += "note: " + note + "\n";
  return text;
}

std::string renderStatusJson(const std::vector<StatusRow>& rows) {
  std::string text = "[";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto& row = rows[i];
    text += i ? ",\n  " : "\n  ";
    text += "{\"browser\": " + jsonString(row.browser) + ", \"level\": " + jsonString(row.level) +
            ", \"folder\": " + jsonString(row.folder) + ", \"state\": " + jsonString(row.state) +
            ", \"problems\": " + jsonArray(row.problems) + ", \"notes\": " + jsonArray(row.notes) + "}";
  }
  return text + (rows.empty() ? "]\n" : "\n]\n");
}

}  // namespace qorda::setup
