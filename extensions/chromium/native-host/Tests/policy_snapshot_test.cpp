#include "policy/policy_snapshot.h"

#include "app/policy_file_linux.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <tuple>

namespace qorda {
namespace {

using Hosts = std::set<std::string>;
using Rule = std::tuple<std::string, std::string, bool>;

Hosts hostsOf(const HostList& list) { return Hosts(list.entries.begin(), list.entries.end()); }

// Each snapshot: the lists and rules the host reads, and what qorda-policy
// check reports of it ("key[index] problem"; no key for the whole text).
TEST(PolicySnapshot, ListsRulesAndFindings) {
  static const struct {
    std::string_view text;
    Hosts deny, hard, remote;
    std::vector<Rule> rules;
    std::vector<std::string> findings;
  } cases[] = {
      {R"({"userDenyHosts":["  WWW.Example.COM\n", "www."], "bypassRules":[
          {"scope":"hostAll","pattern":" WWW.Example.COM "}, {"scope":"exactURL","pattern":"x","enabled":false}]})",
       {"example.com", "www."},
       {},
       {},
       {{"hostAll", " WWW.Example.COM ", true}, {"exactURL", "x", false}},
       {"userDenyHosts[0] normalised_entry"}},
      {R"({"remoteBypassHosts":["a.com", " WWW.A.com", "", " "]})",
       {},
       {},
       {"a.com", ""},
       {},
       {"remoteBypassHosts[1] normalised_entry", "remoteBypassHosts[1] duplicate_entry",
        "remoteBypassHosts[2] empty_entry", "remoteBypassHosts[3] empty_entry",
        "remoteBypassHosts[3] duplicate_entry"}},
      // One element that is not a string empties its list alone.
      {R"({"userDenyHosts":["a.com", 1], "hardBlockedHosts":["b.com"], "remoteBypassHosts":["c.com", null], "X":1})",
       {},
       {"b.com"},
       {},
       {},
       {"userDenyHosts[1] non_string_entry", "remoteBypassHosts[1] non_string_entry", "X[] ignored_key"}},
      {R"({"userDenyHosts":"a.com", "hardBlockedHosts":{"0":"b.com"}, "remoteBypassHosts":[["c.com"]],
           "bypassRules":{"scope":"hostAll","pattern":"a"}})",
       {},
       {},
       {},
       {},
       {"userDenyHosts[] not_an_array", "hardBlockedHosts[] not_an_array",
        "remoteBypassHosts[0] non_string_entry", "bypassRules[] not_an_array"}},
      // Keys are exact; of two equal keys the first wins.
      {R"({"userDenyHosts":["first.com"], "userDenyHosts":["second.com"], "UserDenyHosts":[], "userDenyHosts ":[]})",
       {"first.com"},
       {},
       {},
       {},
       {"UserDenyHosts[] ignored_key", "userDenyHosts [] ignored_key"}},
      {"\xEF\xBB\xBF{\"userDenyHosts\":[\"bom.com\"],\"bypassRules\":[{\"scope\":\"pathPrefix\",\"pattern\":"
       "\"p\"}]}",
       {"bom.com"},
       {},
       {},
       {{"pathPrefix", "p", true}}},
      // Only a rule without a string scope or pattern is skipped; any other
      // "enabled" than a boolean counts as true.
      {R"({"userDenyHosts":["kept.com"],"bypassRules":[{"scope":"x","pattern":"p","enabled":"false"}, {},
           {"scope":"hostAll"}, {"pattern":"p"}, {"scope":1,"pattern":"p"}, {"scope":"","pattern":"","enabled":0},
           {"scope":"hostAll","pattern":null}, {"scope":"hostAll","pattern":"a"}, {"scope":"hostAll","pattern":"a"}]})",
       {"kept.com"},
       {},
       {},
       {{"x", "p", true}, {"", "", true}, {"hostAll", "a", true}, {"hostAll", "a", true}},
       {"bypassRules[0] unknown_scope", "bypassRules[0] enabled_not_boolean", "bypassRules[1] rule_skipped",
        "bypassRules[2] rule_skipped", "bypassRules[3] rule_skipped", "bypassRules[4] rule_skipped",
        "bypassRules[5] unknown_scope", "bypassRules[5] enabled_not_boolean", "bypassRules[6] rule_skipped"}},
      {R"({"userDenyHosts":["kept.com"],"bypassRules":[{"scope":"hostAll","pattern":"p"}, 5]})",
       {"kept.com"},
       {},
       {},
       {},
       {"bypassRules[1] non_object_rule"}},
      {R"([{"userDenyHosts":["a.com"]}])", {}, {}, {}, {}, {"[] not_an_object"}},
      {"{\"userDenyHosts\":[\"\xFF.com\"]}", {}, {}, {}, {}, {"[] not_json"}},
      {"not json", {}, {}, {}, {}, {"[] not_json"}},
      {"", {}, {}, {}, {}, {"[] not_json"}},
  };
  for (const auto& c : cases) {
    AppGroupPolicy policy = policyFromSnapshotText(std::string(c.text));
    EXPECT_EQ(hostsOf(policy.userDenyHosts), c.deny) << c.text;
    EXPECT_EQ(hostsOf(policy.hardBlockedHosts), c.hard) << c.text;
    EXPECT_EQ(hostsOf(policy.remoteBypassHosts), c.remote) << c.text;
    std::vector<Rule> rules;
    for (const auto& rule : policy.bypassRules) rules.emplace_back(rule.scope, rule.pattern, rule.enabled);
    EXPECT_EQ(rules, c.rules) << c.text;
    std::vector<SnapshotFinding> found;
    policyFromSnapshotText(std::string(c.text), &found);
    std::multiset<std::string> findings, expected(c.findings.begin(), c.findings.end());
    for (const auto& f : found)
      findings.insert(f.key + "[" + (f.index ? std::to_string(*f.index) : "") + "] " +
                      std::string(f.problem));
    EXPECT_EQ(findings, expected) << c.text;
    bool usable = std::ranges::none_of(expected, [](const std::string& f) { return f.starts_with("[]"); });
    EXPECT_EQ(isUsableSnapshot(found), usable) << c.text;
  }
}

// New stamps on the same text keep the parsed snapshot (and its index).
TEST(PolicySnapshot, SameTextIsNotParsedAgain) {
  char folder[] = "/tmp/qorda-unit-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  ::setenv("XDG_RUNTIME_DIR", folder, 1);
  const std::string path = std::string(folder) + "/com.velmox.qorda.policy";
  std::ofstream(path) << R"({"userDenyHosts":["a.com"]})";
  const auto first = loadPolicyFromAppGroup().storage;  // held, so that a new parse cannot take its address
  std::ofstream(path) << R"({"userDenyHosts":["a.com"]})";
  EXPECT_EQ(loadPolicyFromAppGroup().storage, first);
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
      // Any one stamp differs.
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
