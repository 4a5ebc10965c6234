#include "policy/policy_snapshot.h"

#include "test_support.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace qorda
