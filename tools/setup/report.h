// How status shows what it found: an aligned table for people, JSON for tools.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qorda::setup {

struct StatusRow {
  std::string browser;
  std::string level;   // user, system
  std::string folder;  // "-" when the browser has none at this level
  std::string state;   // ok, absent, missing, invalid, unreadable, n/a
  std::vector<std::string> problems;
  std::vector<std::string> notes;
};

std::string renderStatusTable(const std::vector<StatusRow>& rows);

// Always valid JSON: a byte that is not part of well-formed UTF-8 (a path can
// hold any byte but '\0') is written as U+FFFD.
std::string renderStatusJson(const std::vector<StatusRow>& rows);

}  // namespace qorda::setup
