#include "json/json_decoding.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

enum class Outcome { object, shapeError, parseError };

TEST(JsonMessage, DecodeMessage) {
  const std::string deep(100000, '[');
  const struct {
    std::string body;
    Outcome outcome;
  } cases[] = {
      {" \n{\"a\":[1,{\"b\":null}]}\t", Outcome::object},
      {"[1,2]", Outcome::shapeError},
      {"[]", Outcome::shapeError},
      {"", Outcome::parseError},
      {"\"s\"", Outcome::parseError},
      {"5", Outcome::parseError},
      {"true", Outcome::parseError},
      {"null", Outcome::parseError},
      {"{\"a\":1", Outcome::parseError},
      {"{} {}", Outcome::parseError},
      {"{\"a\":\"\xFF\"}", Outcome::parseError},
      {"\xEF\xBB\xBF{}", Outcome::object},
      {"\xEF\xBB\xBF[1]", Outcome::shapeError},
      {"\xEF\xBB\xBF", Outcome::parseError},
      {"\xEF\xBB\xBF\xEF\xBB\xBF{}", Outcome::parseError},
      {"\xFF\xFE{}", Outcome::parseError},
      {deep, Outcome::parseError},
      {"{\"a\":" + deep, Outcome::parseError},
      // simdjson takes integers from -2^63 to 2^64-1 and refuses the rest
      // with NUMBER_ERROR, as it does a double that overflows.
      {R"({"n":18446744073709551615,"m":-9223372036854775808})", Outcome::object},
      {R"({"n":18446744073709551616})", Outcome::parseError},
      {R"({"n":-9223372036854775809})", Outcome::parseError},
      {R"({"n":1e400})", Outcome::parseError},
  };
  simdjson::dom::parser parser;  // reused, as by the main loop
  for (const auto& c : cases) {
    auto result = decodeMessage(parser, simdjson::padded_string(c.body));
    Outcome outcome = Outcome::object;
    if (auto error = std::get_if<HostError>(&result))
      outcome = *error == HostError::invalidJSONShape ? Outcome::shapeError : Outcome::parseError;
    EXPECT_EQ(outcome, c.outcome) << c.body.substr(0, 40);
  }
}

}  // namespace
}  // namespace qorda
