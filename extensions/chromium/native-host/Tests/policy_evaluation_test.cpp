#include "policy/policy_evaluation.h"

#include "test_support.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace qorda {
namespace {

using test::messageWithIntent;

constexpr std::string_view noFile = "<no policy file>";
constexpr std::optional<std::string_view> none;

// A media request on host, with more members of the intent after it.
std::string media(std::string_view host, std::string_view more = "") {
  return messageWithIntent(R"({"resource":{"url":"https://)" + std::string(host) +
                           R"(/v.mp4","mimeType":"video/mp4"})" + std::string(more) + "}");
}

// The cases the black-box decision table does not already make.
TEST(PolicyEvaluation, DecisionOrder) {
  const std::string hostAll = R"({"bypassRules":[{"scope":"hostAll","pattern":"  WWW.EXAMPLE.COM "}]})";
  const std::string exactRule = R"({"bypassRules":[{"scope":"exactURL","pattern":"https://example.com/v.mp4"}]})";
  const std::string directUrl = R"(,"detection":{"signalType":"DIRECT_URL"})";
  const struct {
    std::string_view policy;
    std::string message;
    std::string_view action;
    std::optional<std::string_view> reason;
  } cases[] = {
      {noFile, R"({"payload":{"intent":[]}})", "takeover", none},
      {R"({"hardBlockedHosts":["blocked.example"]})",
       media("a.net", R"(,"sourceContext":{"pageUrl":"https://blocked.example:99999/p"})"), "blocked",
       "hard_blocked_site"},
      {noFile, media("a.net:99999"), "takeover", none},
      {noFile, media("a.com", R"(,"policyHints":{"drmSuspected":"true"})"), "takeover", none},
      {noFile, media("a.com", R"(,"classification":"websocket_custom_transport")"), "takeover", none},
      {noFile, messageWithIntent(R"({"resource":{"url":"blob:https://a.com/1","mimeType":"text/html"}})"), "blocked",
       "unsupported_scheme"},
      {R"({"hardBlockedHosts":["example.com"]})",
       messageWithIntent(R"({"resource":{"url":"https://example.com/","mimeType":"text/html"}})"), "blocked",
       "non_media_mime"},
      {R"({"remoteBypassHosts":["example.com"],"bypassRules":[{"scope":"hostAll","pattern":"example.com"}]})",
       media("cdn.example.com"), "bypass", "remote_bypass_site"},
      {hostAll, media("cdn.example.com"), "bypass", "user_bypass_rule"},  // host lists also cover subdomains
      {R"({"bypassRules":[{"scope":"hostAll","pattern":"example.com","enabled":false},
                          {"scope":"HostAll","pattern":"example.com"}]})", media("example.com"), "takeover", none},
      {exactRule, media("WWW.example.com", directUrl), "bypass", "user_bypass_rule"},
      {exactRule, media("example.com", R"(,"detection":{"signalType":"network_request"})"), "takeover", none},
      {R"({"bypassRules":[{"scope":"pathPrefix","pattern":"https://example.com/"}]})",
       media("example.com", R"(,"detection":{"signalType":"media_mime"})"), "bypass", "user_bypass_rule"},
      {R"({"bypassRules":[{"scope":"exactURL","pattern":"https://page.net/"}]})",
       media("example.com", directUrl + R"(,"sourceContext":{"pageUrl":"https://page.net/"})"), "takeover", none},
  };
  test::TemporaryRuntimeDirectory runtime;
  for (const auto& c : cases) {
    if (c.policy == noFile) std::filesystem::remove(runtime.policyPath());
    else runtime.writePolicy(c.policy);
    PolicyAction result = evaluatePolicyAction(test::JsonText(c.message));
    EXPECT_EQ(result.action, c.action) << c.policy << " / " << c.message;
    EXPECT_EQ(result.reason, c.reason) << c.policy << " / " << c.message;
  }
}

TEST(PolicyEvaluation, RequestChecksLeaveThePolicyUnread) {
  test::TemporaryRuntimeDirectory runtime;
  runtime.writePolicy(R"({"hardBlockedHosts":["example.com"]})");
  int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, runtime.policyPath().c_str(), IN_OPEN), 0);
  auto policyWasOpened = [watch] {
    alignas(inotify_event) char events[4096];
    bool opened = false;
    while (::read(watch, events, sizeof events) > 0) opened = true;
    return opened;
  };
  for (std::string_view intent : {
           R"({"policyHints":{"drmSuspected":true},"resource":{"url":"https://example.com/v.mp4"}})",
           R"({"classification":{"deliveryType":"websocket_custom_transport"}})",
           R"({"resource":{"url":"ftp://example.com/v.mp4"}})",
           R"({"resource":{"url":"https://example.com/","mimeType":"text/html"}})",
       }) {
    EXPECT_EQ(evaluatePolicyAction(test::JsonText(messageWithIntent(intent))).action, "blocked") << intent;
    EXPECT_FALSE(policyWasOpened()) << intent;
  }
  EXPECT_EQ(evaluatePolicyAction(test::JsonText(media("example.com"))).reason, "hard_blocked_site");
  EXPECT_TRUE(policyWasOpened()) << "the watch sees a read";
  ::close(watch);
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
