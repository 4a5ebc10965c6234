#include "policy/policy_evaluation.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace qorda {
namespace {

using test::messageWithIntent;

// A media request on host, with more members of the intent after it.
std::string media(std::string_view host, std::string_view more = "") {
  return messageWithIntent(R"({"resource":{"url":"https://)" + std::string(host) +
                           R"(/v.mp4","mimeType":"video/mp4"})" + std::string(more) + "}");
}

// What explain reports must name the entry or rule that the host's own
// matching found, at its published position.
TEST(PolicyEvaluation, ExplainNamesWhatDecided) {
  const std::string policyText = R"({"hardBlockedHosts":["x.org"," WWW.Example.com"],"bypassRules":[
      {"scope":"hostAll"},{"scope":"hostAll","pattern":"B.com"},
      {"scope":"pathPrefix","pattern":"https://files.example:99999/free/"}]})";
  const AppGroupPolicy policy = policyFromSnapshotText(policyText);
  const struct {
    std::string message;
    std::string_view decidedBy, hostSource, host, entry, form;
    std::optional<std::size_t> index;
  } cases[] = {
      {R"({})", "no_intent"},
      {messageWithIntent("{}"), "scheme"},
      {media("a.net", R"(,"sourceContext":{"pageUrl":"https://cdn.example.com:099999/"})"), "hardBlockedHosts", "page",
       "cdn.example.com", "example.com", "", 1},
      {media("www.www.b.com"), "hostAll_rules", "resource", "b.com", "B.com", "", 1},
      {media("files.example:0099999/free/a.mp4", R"(,"detection":{"signalType":"direct_url"})"), "direct_link_rules",
       "", "", "https://files.example:99999/free/", "https://files.example:99999/free/a.mp4/v.mp4", 2},
      {media("files.example/free/a.mp4"), "no_match"},
  };
  for (const auto& c : cases) {
    PolicyExplanation why = explainPolicyAction(test::JsonText(c.message), policy);
    EXPECT_EQ(why.decidedBy, c.decidedBy) << c.message;
    EXPECT_EQ(why.hostSource, c.hostSource) << c.message;
    EXPECT_EQ(why.host, c.host) << c.message;
    EXPECT_EQ(why.entry, c.entry) << c.message;
    EXPECT_EQ(why.matchedForm, c.form) << c.message;
    EXPECT_EQ(why.index, c.index) << c.message;
  }
}

}  // namespace
}  // namespace qorda
