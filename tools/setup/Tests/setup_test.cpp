// Names and manifest checks; options and disk effects are in setup_cli_test.
#include "manifest.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace qorda::setup {
namespace {

const std::string idA = "abcdefghijklmnopabcdefghijklmnop";
const std::string idB = "pppppppppppppppppppppppppppppppp";

TEST(Names, ExtensionIdsAndHostNames) {
  // 32 letters from a to p: q is one too far.
  const std::pair<std::string, bool> ids[] = {
      {idA, true},
      {idB, true},
      {idA.substr(1), false},
      {idA + "a", false},
      {"", false},
      {"qbcdefghijklmnopabcdefghijklmnop", false},
      {"Abcdefghijklmnopabcdefghijklmnop", false},
  };
  for (const auto& [id, valid] : ids) EXPECT_EQ(isValidExtensionId(id), valid) << "'" << id << "'";
  const std::pair<std::string_view, bool> names[] = {
      {defaultHostName, true}, {"a", true},     {"_a.b_1.c9", true}, {"", false},    {".a", false},
      {"a.", false},           {"a..b", false}, {"Com.a", false},    {"a-b", false}, {"a/b", false},
  };
  for (const auto& [name, valid] : names) EXPECT_EQ(isValidHostName(name), valid) << "'" << name << "'";
}

const std::string origin = "\"chrome-extension://" + idA + "/\"";
const std::string sound = R"({"name": "com.velmox.qorda.native_host", "description": "d", "type": "stdio", )"
                          R"("path": "/usr/bin/QordaNativeMessagingHost", "allowed_origins": [)" +
                          origin + "]}";

// The sound manifest with the first `from` replaced by `to`.
std::string soundWith(const std::string& from, const std::string& to) {
  std::string text = sound;
  return text.replace(text.find(from), from.size(), to);
}

TEST(Manifest, ProblemsFound) {
  const struct {
    std::string text;
    std::vector<std::string> requiredIds;  // extensions status was asked about
    std::string problem;                   // part of a reported problem; "" when sound
  } cases[] = {
      {sound, {idA}, ""},
      {sound, {idB}, "extension " + idB + " is not allowed"},
      {"{\"name\": ", {}, "not valid JSON"},
      {"[1, 2]", {}, "not a JSON object"},
      {soundWith("com.velmox", "com.other"), {}, "does not match"},
      {soundWith("\"description\": \"d\", ", ""), {}, "\"description\" is missing"},
      {soundWith("\"d\"", "\"\""), {}, "\"description\" is empty"},
      {soundWith("\"/usr/bin/", "\""), {}, "path is not absolute"},
      {soundWith("\"stdio\"", "\"pipe\""), {}, "not \"stdio\""},
      {soundWith(origin, ""), {}, "\"allowed_origins\" is empty"},
      {soundWith("[" + origin + "]", origin), {}, "not an array"},
      {soundWith(origin, "3"), {}, "not a string"},
      {soundWith("/\"]", "p\"]"), {}, "malformed origin"},  // no trailing slash
  };
  for (const auto& c : cases) {
    const auto check = checkManifestText(c.text, defaultHostName, c.requiredIds);
    std::string problems;
    for (const auto& p : check.problems) problems += p + "; ";
    EXPECT_TRUE(c.problem.empty() ? problems.empty() : problems.find(c.problem) != std::string::npos)
        << c.text << "\nwanted: " << c.problem << "\ngot: " << problems;
  }
}

}  // namespace
}  // namespace qorda::setup
