#include "policy/policy_evaluation.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

RequestIntent media(std::string_view url, std::optional<std::string_view> page = {},
                    std::optional<std::string_view> signal = {}) {
  return {url, "video/mp4", page, std::nullopt, signal};
}

// What explain reports must name the entry or rule that the host's own
// matching found, at its published position: "decidedBy|source|host|entry|form|index".
TEST(PolicyEvaluation, ExplainNamesWhatDecided) {
  const AppGroupPolicy policy = policyFromSnapshotText(R"({"hardBlockedHosts":["x.org"," WWW.Example.com"],
      "bypassRules":[{"scope":"hostAll"},{"scope":"hostAll","pattern":"B.com"},
                     {"scope":"pathPrefix","pattern":"https://files.example:99999/free/"}]})");
  const std::pair<std::optional<RequestIntent>, std::string_view> cases[] = {
      {std::nullopt, "no_intent|||||-"},
      {RequestIntent{}, "scheme|||||-"},
      {media("https://a.net/v.mp4", "https://cdn.example.com:099999/"),
       "hardBlockedHosts|page|cdn.example.com|example.com||1"},
      {media("https://www.www.b.com/v.mp4"), "hostAll_rules|resource|b.com|B.com||1"},
      {media("https://files.example:0099999/free/a.mp4", {}, "direct_url"),
       "direct_link_rules|||https://files.example:99999/free/|https://files.example:99999/free/a.mp4|2"},
      {media("https://files.example/free/a.mp4"), "no_match|||||-"},
  };
  for (const auto& [intent, expected] : cases) {
    PolicyExplanation why = explainPolicyAction(intent, policy);
    EXPECT_EQ(std::string(rowOf(why.decidedBy).decidedBy) + "|" + std::string(why.hostSource) + "|" +
                  why.host + "|" + std::string(why.entry) + "|" + why.matchedForm + "|" +
                  (why.index ? std::to_string(*why.index) : "-"),
              expected)
        << expected;
  }
}

}  // namespace
}  // namespace qorda
