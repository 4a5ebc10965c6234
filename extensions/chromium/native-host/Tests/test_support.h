#pragma once

#include "app/companion.h"
#include "json/json_lookup.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace qorda::test {

// Not movable: the object points into the parser.
class JsonText {
 public:
  explicit JsonText(std::string_view text) : text_(text) {
    if (parser_.parse(text_).get(object_)) ADD_FAILURE() << "not a JSON object: " << text;
  }
  JsonText(const JsonText&) = delete;
  JsonText& operator=(const JsonText&) = delete;
  operator JsonObject() const { return object_; }

 private:
  simdjson::padded_string text_;  // the parser reads past the end
  simdjson::dom::parser parser_;
  JsonObject object_;
};

inline std::string messageWithIntent(std::string_view intent) {
  return R"({"payload":{"intent":)" + std::string(intent) + "}}";
}

// XDG_RUNTIME_DIR pointed at a fresh directory for the life of the object.
class TemporaryRuntimeDirectory {
 public:
  TemporaryRuntimeDirectory() {
    char pattern[] = "/tmp/qorda-unit-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
    if (const char* old = std::getenv("XDG_RUNTIME_DIR")) previous_ = old;
    ::setenv("XDG_RUNTIME_DIR", pattern, 1);
  }
  TemporaryRuntimeDirectory(const TemporaryRuntimeDirectory&) = delete;
  TemporaryRuntimeDirectory& operator=(const TemporaryRuntimeDirectory&) = delete;
  ~TemporaryRuntimeDirectory() {
    if (previous_) ::setenv("XDG_RUNTIME_DIR", previous_->c_str(), 1);
    else ::unsetenv("XDG_RUNTIME_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  std::filesystem::path policyPath() const { return path_ / std::string(policyPasteboardName); }

  void writePolicy(std::string_view text) const {
    std::filesystem::remove_all(policyPath());
    std::ofstream(policyPath(), std::ios::binary) << text;
  }

 private:
  std::filesystem::path path_;
  std::optional<std::string> previous_;
};

}  // namespace qorda::test
