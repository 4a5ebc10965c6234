#include "policy/policy_evaluation.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

std::string intent(std::string_view json) { return R"({"payload":{"intent":)" + std::string(json) + "}}"; }

// A media request on host, with more members of the intent after it.
std::string media(std::string_view host, std::string_view more = "") {
  return intent(R"({"resource":{"url":"https://)" + std::string(host) + R"(/v.mp4","mimeType":"video/mp4"})" +
                std::string(more) + "}");
}

// What explain reports must name the entry or rule that the host's own
// matching found, at its published position: "decidedBy|source|host|entry|form|index".
TEST(PolicyEvaluation, ExplainNamesWhatDecided) {
  const AppGroupPolicy policy = policyFromSnapshotText(R"({"hardBlockedHosts":["x.org"," WWW.Example.com"],
      "bypassRules":[{"scope":"hostAll"},{"scope":"hostAll","pattern":"B.com"},
                     {"scope":"pathPrefix","pattern":"https://files.example:99999/free/"}]})");
  const std::pair<std::string, std::string_view> cases[] = {
      {R"({})", "no_intent|||||-"},
      {intent("{}"), "scheme|||||-"},
      {media("a.net", R"(,"sourceContext":{"pageUrl":"https://cdn.example.com:099999/"})"),
       "hardBlockedHosts|page|cdn.example.com|example.com||1"},
      {media("www.www.b.com"), "hostAll_rules|resource|b.com|B.com||1"},
      {media("files.example:0099999/free/a.mp4", R"(,"detection":{"signalType":"direct_url"})"),
       "direct_link_rules|||https://files.example:99999/free/|https://files.example:99999/free/a.mp4/"
       "v.mp4|2"},
      {media("files.example/free/a.mp4"), "no_match|||||-"},
  };
  for (const auto& [message, expected] : cases) {
    PolicyExplanation why = explainPolicyAction(test::JsonText(message), policy);
    EXPECT_EQ(std::string(why.decidedBy) + "|" + std::string(why.hostSource) + "|" + why.host + "|" +
                  std::string(why.entry) + "|" + why.matchedForm + "|" +
                  (why.index ? std::to_string(*why.index) : "-"),
              expected)
        << message;
  }
}

}  // namespace
}  // namespace qorda
