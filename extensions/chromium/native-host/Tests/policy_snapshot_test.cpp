#include "app/policy_file_linux.h"
#include "policy/policy_cache.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace qorda {
namespace {

std::string listed(const HostList& list) {
  std::string out;
  for (std::string_view entry : list.entries) out += std::string(entry) + ",";
  return out;
}

// Each snapshot: the deny list and rules the host reads, and what
// qorda-policy check reports of it ("key[index] problem"; no key for the
// whole text). Lists are read alike; the deny list stands for the three.
TEST(PolicySnapshot, ListsRulesAndFindings) {
  const struct {
    std::string text;
    std::string_view deny, rules;
    std::multiset<std::string> findings;
  } cases[] = {
      {R"({"userDenyHosts":["  WWW.Example.COM\n","www.","a.com"," WWW.A.com",""," "],"X":1})",
       "example.com,www.,a.com,a.com,,,",
       "",
       {"userDenyHosts[0] normalised_entry", "userDenyHosts[3] normalised_entry",
        "userDenyHosts[3] duplicate_entry", "userDenyHosts[4] empty_entry", "userDenyHosts[5] empty_entry",
        "userDenyHosts[5] duplicate_entry", "X[] ignored_key"}},
      {R"({"userDenyHosts":["a.com",1],"hardBlockedHosts":"b.com","remoteBypassHosts":[["c.com"]]})",
       "",
       "",
       {"userDenyHosts[1] non_string_entry", "hardBlockedHosts[] not_an_array",
        "remoteBypassHosts[0] non_string_entry"}},
      {R"({"userDenyHosts":["first.com"],"userDenyHosts":["second.com"],"UserDenyHosts":[]})",
       "first.com,",
       "",
       {"UserDenyHosts[] ignored_key"}},
      {"\xEF\xBB\xBF{\"bypassRules\":[{\"scope\":\"pathPrefix\",\"pattern\":\"p\",\"enabled\":false}]}",
       "",
       "pathPrefix p off,",
       {}},
      // Only a rule without a string scope or pattern is skipped; any other
      // "enabled" than a boolean counts as true.
      {R"({"bypassRules":[{"scope":"x","pattern":"p","enabled":"false"},{},{"scope":"hostAll"},{"pattern":"p"},
           {"scope":1,"pattern":"p"},{"scope":"hostAll","pattern":"a","enabled":0}]})",
       "",
       "x p on,hostAll a on,",
       {"bypassRules[0] unknown_scope", "bypassRules[0] enabled_not_boolean", "bypassRules[1] rule_skipped",
        "bypassRules[2] rule_skipped", "bypassRules[3] rule_skipped", "bypassRules[4] rule_skipped",
        "bypassRules[5] enabled_not_boolean"}},
      {R"({"bypassRules":[{"scope":"hostAll","pattern":"p"},5]})",
       "",
       "",
       {"bypassRules[1] non_object_rule"}},
      {R"({"bypassRules":{"scope":"hostAll","pattern":"a"}})", "", "", {"bypassRules[] not_an_array"}},
      {R"([{"userDenyHosts":["a.com"]}])", "", "", {"[] not_an_object"}},
      {"{\"userDenyHosts\":[\"\xFF.com\"]}", "", "", {"[] not_json"}},
      {"", "", "", {"[] not_json"}},
      {"{\"userDenyHosts\":[\"a.com\"]}" + std::string(largestPolicySnapshot, ' '), "", "", {"[] too_large"}},
  };
  for (const auto& c : cases) {
    std::vector<SnapshotFinding> found;
    AppGroupPolicy policy = policyFromSnapshotText(c.text, &found);
    EXPECT_EQ(listed(policy.userDenyHosts), c.deny) << c.text.substr(0, 80);
    std::string rules;
    for (const auto& rule : policy.bypassRules)
      rules += std::string(rule.scope) + " " + std::string(rule.pattern) + (rule.enabled ? " on," : " off,");
    EXPECT_EQ(rules, c.rules) << c.text.substr(0, 80);
    std::multiset<std::string> findings;
    for (const auto& f : found)
      findings.insert(f.key + "[" + (f.index ? std::to_string(*f.index) : "") + "] " +
                      std::string(f.problem));
    EXPECT_EQ(findings, c.findings) << c.text.substr(0, 80);
    EXPECT_EQ(isUsableSnapshot(found), c.findings.empty() || !c.findings.begin()->starts_with("[]"));
  }
}

// Republished text that is byte-identical keeps the parsed policy; other
// text, no file, and a relative runtime directory do not.
TEST(PolicySnapshot, CacheKeepsOnlyTheSameText) {
  char folder[] = "/tmp/qorda-unit-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/com.velmox.qorda.policy";
  const struct {
    const char* runtimeDirectory;
    const char* text;  // written anew, by rename; nothing: the file removed
    std::string_view deny;
    bool sameParse;
  } steps[] = {
      {folder, R"({"userDenyHosts":["a.com"]})", "a.com,", false},
      {folder, R"({"userDenyHosts":["a.com"]})", "a.com,", true},
      {folder, R"({"userDenyHosts":["b.com"]})", "b.com,", false},
      {".", R"({"userDenyHosts":["b.com"]})", "", false},  // relative: ignored
      {folder, nullptr, "", false},
  };
  ASSERT_EQ(::chdir(folder), 0);
  PolicyCache cache;
  std::shared_ptr<const PolicyStorage> last;  // held, so that a new parse cannot take its address
  for (const auto& step : steps) {
    ::setenv("XDG_RUNTIME_DIR", step.runtimeDirectory, 1);
    if (step.text) std::ofstream(path + ".new") << step.text;
    std::filesystem::rename(step.text ? path + ".new" : path, path + (step.text ? "" : ".gone"));
    const AppGroupPolicy& policy = currentPolicy(cache);
    EXPECT_EQ(listed(policy.userDenyHosts), step.deny) << step.runtimeDirectory;
    EXPECT_EQ(policy.storage && policy.storage == last, step.sameParse) << step.text;
    last = policy.storage;
  }
  ASSERT_EQ(::chdir("/"), 0);
  std::filesystem::remove_all(folder);
}

TEST(PolicySnapshot, OnlyStampsOlderThanTheirTickProveAFileUnchanged) {
  constexpr long long s = timestampGranularityNanoseconds;
  const FileStamps read{1, 2, 3, 10 * s, 10 * s};
  const struct {
    FileStamps now;
    long long readAt;
    bool unchanged;
  } cases[] = {
      {read, 12 * s, true},
      {read, 11 * s, false},  // a change in the same tick as the read keeps every stamp
      {{1, 2, 3, 10 * s, 11 * s}, 13 * s, false},
      {{1, 2, 3, 9 * s, 10 * s}, 13 * s, false},
      {{1, 2, 4, 10 * s, 10 * s}, 13 * s, false},
      {{1, 5, 3, 10 * s, 10 * s}, 13 * s, false},
      {{6, 2, 3, 10 * s, 10 * s}, 13 * s, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(stampsProveUnchanged(c.now, read, c.readAt), c.unchanged) << c.now.inode << " " << c.readAt;
}

}  // namespace
}  // namespace qorda
