#include "json/json_decoding.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

enum Outcome { object, shapeError, parseError };

// Edge cases beyond the black-box decoding row: what may surround the value,
// the byte order mark, nesting inside an object, the integer range.
TEST(JsonMessage, DecodeMessage) {
  const std::pair<std::string, Outcome> cases[] = {
      {" \n{\"a\":[1,{\"b\":null}]}\t", object},
      {"[1,2]", shapeError},
      {"null", parseError},
      {"{} {}", parseError},
      {"\xEF\xBB\xBF{}", object},
      {"\xEF\xBB\xBF[1]", shapeError},
      {"\xEF\xBB\xBF", parseError},
      {"\xEF\xBB\xBF\xEF\xBB\xBF{}", parseError},
      {"\xFF\xFE{}", parseError},
      {"{\"a\":" + std::string(100000, '['), parseError},
      // simdjson takes integers from -2^63 to 2^64-1 and refuses the rest
      // with NUMBER_ERROR, as it does a double that overflows.
      {R"({"n":18446744073709551615,"m":-9223372036854775808})", object},
      {R"({"n":18446744073709551616})", parseError},
      {R"({"n":-9223372036854775809})", parseError},
      {R"({"n":1e400})", parseError},
  };
  simdjson::dom::parser parser;  // reused, as by the main loop
  for (const auto& [body, outcome] : cases) {
    auto result = decodeMessage(parser, simdjson::padded_string(body));
    auto error = std::get_if<HostError>(&result);
    EXPECT_EQ(!error                                  ? object
              : *error == HostError::invalidJSONShape ? shapeError
                                                      : parseError,
              outcome)
        << body.substr(0, 40);
  }
}

}  // namespace
}  // namespace qorda
