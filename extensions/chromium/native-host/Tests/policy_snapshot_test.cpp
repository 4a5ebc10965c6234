#include "policy/policy_snapshot.h"

#include "app/policy_file_linux.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <fcntl.h>

#include <algorithm>
#include <set>
#include <tuple>

namespace qorda {
namespace {

using Hosts = std::set<std::string>;
using Rule = std::tuple<std::string, std::string, bool>;

Hosts hostsOf(const HostList& list) { return Hosts(list.entries.begin(), list.entries.end()); }

std::vector<Rule> rulesOf(const AppGroupPolicy& policy) {
  std::vector<Rule> rules;
  for (const auto& rule : policy.bypassRules) rules.emplace_back(rule.scope, rule.pattern, rule.enabled);
  return rules;
}

bool isEmpty(const AppGroupPolicy& policy) {
  return policy.userDenyHosts.entries.empty() && policy.hardBlockedHosts.entries.empty() &&
         policy.remoteBypassHosts.entries.empty() &&
         policy.bypassRules.empty();
}

TEST(PolicySnapshot, HostLists) {
  static const struct {
    std::string_view text;
    Hosts deny, hard, remote;
  } cases[] = {
      {R"({"userDenyHosts":["  WWW.Example.COM\n", "www.", "www.www.a.com", "www. b.com"]})",
       {"example.com", "www.", "www.a.com", " b.com"}},
      {R"({"hardBlockedHosts":["Example.com", " example.com\t", "www.example.com"]})", {}, {"example.com"}},
      {R"({"remoteBypassHosts":["", "  ", "\u2028"]})", {}, {}, {""}},
      {R"({"userDenyHosts":["*.Example.com", ".Example.com", "HTTPS://Example.com:8080/Path"]})",
       {"*.example.com", ".example.com", "https://example.com:8080/path"}},
      {R"({"userDenyHosts":["\u00a0WWW.\u00c9xample.com", "\u0130.com"]})", {"\xC3\xA9xample.com", "i\xCC\x87.com"}},
      {R"({"userDenyHosts":["a.com", 1], "hardBlockedHosts":["b.com"], "remoteBypassHosts":["c.com", null]})",
       {}, {"b.com"}},
      {R"({"userDenyHosts":"a.com", "hardBlockedHosts":{"0":"b.com"}, "remoteBypassHosts":[["c.com"]]})"},
      {R"({"UserDenyHosts":["a.com"], "userDenyHosts ":["c.com"]})"},
      {R"({"userDenyHosts":["first.com"], "userDenyHosts":["second.com"]})", {"first.com"}},
      {"\xEF\xBB\xBF{\"userDenyHosts\":[\"bom.com\"]}", {"bom.com"}},
      {R"([{"userDenyHosts":["a.com"]}])"},
      {"{\"userDenyHosts\":[\"\xFF.com\"]}"},
      {"not json"},
      {""},
  };
  for (const auto& c : cases) {
    AppGroupPolicy policy = policyFromSnapshotText(std::string(c.text));
    EXPECT_EQ(isEmpty(policy), c.deny.empty() && c.hard.empty() && c.remote.empty()) << c.text;
    EXPECT_EQ(hostsOf(policy.userDenyHosts), c.deny) << c.text;
    EXPECT_EQ(hostsOf(policy.hardBlockedHosts), c.hard) << c.text;
    EXPECT_EQ(hostsOf(policy.remoteBypassHosts), c.remote) << c.text;
  }
}

TEST(PolicySnapshot, Rules) {
  static const struct {
    std::string_view rules;  // the value of "bypassRules"
    std::vector<Rule> expected;
  } cases[] = {
      {R"([{"scope":"hostAll","pattern":" WWW.Example.COM "}])", {{"hostAll", " WWW.Example.COM ", true}}},
      {R"([{"scope":"exactURL","pattern":"x","enabled":false}])", {{"exactURL", "x", false}}},
      {R"([{"scope":"x","pattern":"x","enabled":"false"},{"scope":"","pattern":"","enabled":0}])",
       {{"x", "x", true}, {"", "", true}}},
      {R"([{}, {"scope":"hostAll"}, {"pattern":"p"}, {"scope":1,"pattern":"p"}, {"scope":"pathPrefix","pattern":"b"},
           {"scope":"hostAll","pattern":null}, {"scope":"hostAll","pattern":"a"}, {"scope":"hostAll","pattern":"a"}])",
       {{"pathPrefix", "b", true}, {"hostAll", "a", true}, {"hostAll", "a", true}}},
      {R"(["s", {"scope":"hostAll","pattern":"a"}])", {}},
      {R"({"scope":"hostAll","pattern":"a"})", {}},
  };
  for (const auto& c : cases) {
    AppGroupPolicy policy =
        policyFromSnapshotText(R"({"userDenyHosts":["kept.com"],"bypassRules":)" + std::string(c.rules) + "}");
    EXPECT_EQ(rulesOf(policy), c.expected) << c.rules;
    EXPECT_EQ(hostsOf(policy.userDenyHosts), Hosts{"kept.com"}) << c.rules;
  }
}

TEST(PolicySnapshot, Findings) {
  static const struct {
    std::string_view text;
    std::vector<std::string_view> findings;  // "key[index] problem"
  } cases[] = {
      {R"({"userDenyHosts":["a.com"],"bypassRules":[{"scope":"exactURL","pattern":"https://a.com/"}]})", {}},
      {"nope", {"[] not_json"}},
      {"[]", {"[] not_an_object"}},
      {R"({"userDenyHosts":["a.com", 5], "Extra":1})", {"userDenyHosts[1] non_string_entry", "Extra[] ignored_key"}},
      {R"({"hardBlockedHosts":" a.com"})", {"hardBlockedHosts[] not_an_array"}},
      {R"({"hardBlockedHosts":["a.com"," WWW.A.com",""," "]})",
       {"hardBlockedHosts[1] normalised_entry", "hardBlockedHosts[1] duplicate_entry", "hardBlockedHosts[2] empty_entry",
        "hardBlockedHosts[3] empty_entry",
        "hardBlockedHosts[3] duplicate_entry"}},
      {R"({"bypassRules":[{"scope":"x","pattern":"p"},{"pattern":"p"},{"scope":"hostAll","pattern":"p","enabled":1}]})",
       {"bypassRules[0] unknown_scope", "bypassRules[1] rule_skipped", "bypassRules[2] enabled_not_boolean"}},
      {R"({"bypassRules":[{"scope":"hostAll","pattern":"p"}, 5]})", {"bypassRules[1] non_object_rule"}},
  };
  for (const auto& c : cases) {
    std::vector<SnapshotFinding> findings;
    policyFromSnapshotText(std::string(c.text), &findings);
    std::vector<std::string> got;
    for (const auto& f : findings)
      got.push_back(f.key + "[" + (f.index ? std::to_string(*f.index) : "") + "] " + std::string(f.problem));
    std::sort(got.begin(), got.end());
    std::vector<std::string> expected(c.findings.begin(), c.findings.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected) << c.text;
    EXPECT_EQ(isUsableSnapshot(findings), !c.text.starts_with("nope") && !c.text.starts_with("[")) << c.text;
  }
}

// The snapshot is parsed again exactly when its text changed, however the
// publisher changed it.
TEST(PolicySnapshot, PublishedSnapshotIsReusedOnlyWhileUnchanged) {
  test::TemporaryRuntimeDirectory runtime;
  auto published = [] { return hostsOf(loadPolicyFromAppGroup().userDenyHosts); };
  auto rewriteInPlace = [&](std::string_view text) {
    struct stat before {};
    ::stat(runtime.policyPath().c_str(), &before);
    std::ofstream(runtime.policyPath(), std::ios::in | std::ios::out | std::ios::binary) << text;
    timespec times[2] = {before.st_atim, before.st_mtim};
    ::utimensat(AT_FDCWD, runtime.policyPath().c_str(), times, 0);
  };
  runtime.writePolicy(R"({"userDenyHosts":["a.com"]})");
  const PolicyStorage* first = loadPolicyFromAppGroup().storage.get();
  ::utimensat(AT_FDCWD, runtime.policyPath().c_str(), nullptr, 0);
  EXPECT_EQ(loadPolicyFromAppGroup().storage.get(), first) << "a touch reuses the parsed snapshot";
  // Same size, same modification time, and on kernels with coarse stamps
  // the same clock tick.
  for (int round = 0; round < 3; ++round) {
    rewriteInPlace(R"({"userDenyHosts":["b.com"]})");
    EXPECT_EQ(published(), Hosts{"b.com"}) << round;
    rewriteInPlace(R"({"userDenyHosts":["a.com"]})");
    EXPECT_EQ(published(), Hosts{"a.com"}) << round;
  }
  std::ofstream(runtime.policyPath().string() + ".new") << R"({"userDenyHosts":["c.com"]})";
  std::filesystem::rename(runtime.policyPath().string() + ".new", runtime.policyPath());
  EXPECT_EQ(published(), Hosts{"c.com"});
  std::filesystem::remove(runtime.policyPath());
  std::filesystem::create_directory(runtime.policyPath());
  EXPECT_EQ(published(), Hosts{});
}

TEST(PolicySnapshot, OnlyStampsOlderThanTheirTickProveAFileUnchanged) {
  constexpr long long second = timestampGranularityNanoseconds;
  const FileStamps read{1, 2, 3, 10 * second, 10 * second};
  const struct {
    FileStamps now;
    long long readAt;
    bool unchanged;
  } cases[] = {
      {read, 12 * second, true},
      {read, 11 * second, false},  // a change in the same tick as the read keeps every stamp
      {{1, 2, 3, 10 * second, 11 * second}, 13 * second, false},
      {{1, 2, 3, 9 * second, 10 * second}, 13 * second, false},
      {{1, 2, 4, 10 * second, 10 * second}, 13 * second, false},
      {{1, 5, 3, 10 * second, 10 * second}, 13 * second, false},
      {{6, 2, 3, 10 * second, 10 * second}, 13 * second, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(stampsProveUnchanged(c.now, read, c.readAt), c.unchanged) << c.now.inode << " " << c.readAt;
  }
}

}  // namespace
}  // namespace qorda
