#pragma once

#include "json/json_lookup.h"

#include <gtest/gtest.h>

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

}  // namespace qorda::test
