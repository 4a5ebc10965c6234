// The policy layer: request classifiers, the ordered checks and what
// explain names, the snapshot reader and its findings, the reuse rule.
#include "app/policy_file_linux.h"
#include "policy/policy_evaluation.h"
#include "policy/request_classifiers.h"

#include <gtest/gtest.h>

#include <set>

namespace qorda {
namespace {

// (Signal types: the black-box decisions.)
TEST(RequestClassifiers, MimeTypes) {
  static const std::pair<std::optional<std::string_view>, bool> mimeTypes[] = {
      {std::nullopt, false},  // no type says nothing
      {"  \u00a0\u2028", false},
      {" Video/MP4\n", false},
      {"application/vnd.apple.mpegURL", false},
      {"APPLICATION/OCTET-STREAM; name=a.bin", false},
      {"x-video/mp4", true},
  };
  for (const auto& [type, nonMedia] : mimeTypes)
    EXPECT_EQ(isNonMediaMime(type), nonMedia) << type.value_or("-");
}

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
              expected);
  }
}

std::string listed(const HostList& list) {
  std::string out;
  for (std::string_view entry : list.entries) out += std::string(entry) + ",";
  return out;
}

// Each snapshot: the deny list (the three lists are read alike) and rules
// the host reads, and what qorda-policy check reports of it ("key[index]
// problem"; no key for the whole text).
TEST(PolicySnapshot, ListsRulesAndFindings) {
  const struct {
    std::string text;
    std::string_view deny, rules;
    std::multiset<std::string> findings;
  } cases[] = {
      {R"({"userDenyHosts":["  WWW.Example.COM\n","a.com"," WWW.A.com",""],"X":1})",
       "example.com,a.com,a.com,,",
       "",
       {"userDenyHosts[0] normalised_entry", "userDenyHosts[2] normalised_entry",
        "userDenyHosts[2] duplicate_entry", "userDenyHosts[3] empty_entry", "X[] ignored_key"}},
      {R"({"userDenyHosts":["a.com",1],"hardBlockedHosts":"b.com","UserDenyHosts":[]})",
       "",
       "",
       {"userDenyHosts[1] non_string_entry", "hardBlockedHosts[] not_an_array",
        "UserDenyHosts[] ignored_key"}},
      {"\xEF\xBB\xBF{\"bypassRules\":[{\"scope\":\"pathPrefix\",\"pattern\":\"p\",\"enabled\":false}]}",
       "",
       "pathPrefix p off,",
       {}},
      // Only a rule without a string scope or pattern is skipped; any other
      // "enabled" than a boolean counts as true.
      {R"({"bypassRules":[{"scope":"x","pattern":"p","enabled":"false"},{"scope":"hostAll"},{"scope":1,"pattern":"p"}]})",
       "",
       "x p on,",
       {"bypassRules[0] unknown_scope", "bypassRules[0] enabled_not_boolean", "bypassRules[1] rule_skipped",
        "bypassRules[2] rule_skipped"}},
      {R"({"bypassRules":[{"scope":"hostAll","pattern":"p"},5]})",
       "",
       "",
       {"bypassRules[1] non_object_rule"}},
      {R"([{"userDenyHosts":["a.com"]}])", "", "", {"[] not_an_object"}},
      {"{\"userDenyHosts\":[\"\xFF.com\"]}", "", "", {"[] not_json"}},
      {"{\"userDenyHosts\":[\"a.com\"]}" + std::string(largestPolicySnapshot, ' '), "", "", {"[] too_large"}},
  };
  for (const auto& c : cases) {
    std::vector<SnapshotFinding> found;
    AppGroupPolicy policy = policyFromSnapshotText(c.text, &found);
    std::string rules;
    for (const auto& rule : policy.bypassRules)
      rules += std::string(rule.scope) + " " + std::string(rule.pattern) + (rule.enabled ? " on," : " off,");
    std::multiset<std::string> findings;
    for (const auto& f : found)
      findings.insert(f.key + "[" + (f.index ? std::to_string(*f.index) : "") + "] " +
                      std::string(f.problem));
    EXPECT_EQ(listed(policy.userDenyHosts) + "|" + rules, std::string(c.deny) + "|" + std::string(c.rules))
        << c.text.substr(0, 80);
    EXPECT_EQ(findings, c.findings) << c.text.substr(0, 80);
    EXPECT_EQ(isUsableSnapshot(found), c.findings.empty() || !c.findings.begin()->starts_with("[]"));
  }
}

TEST(PolicySnapshot, OnlyStampsOlderThanTheirTickProveAFileUnchanged) {
  constexpr long long s = timestampGranularityNanoseconds;
  const FileStamps read{1, 2, 3, 10 * s, 9 * s};  // each time tested alone
  const struct {
    FileStamps now;
    long long readAt;
    bool unchanged;
  } cases[] = {
      {read, 12 * s, true},
      {read, 11 * s, false},  // a change in the same tick as the read keeps every stamp
      {{1, 2, 3, 10 * s, 11 * s}, 13 * s, false},
      {{1, 2, 3, 9 * s, 9 * s}, 13 * s, false},  // any one stamp differs
      {{1, 5, 3, 10 * s, 9 * s}, 13 * s, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(stampsProveUnchanged(c.now, read, c.readAt), c.unchanged) << c.now.inode << " " << c.readAt;
}

}  // namespace
}  // namespace qorda
