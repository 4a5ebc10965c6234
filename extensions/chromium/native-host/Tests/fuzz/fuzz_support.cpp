// The fuzzers' checks, and the desktop application's channels replaced: the
// policy comes from the target, and hand-offs are recorded instead of stored.
#include "fuzz_support.h"
#include "app/companion.h"
#include "matching/host_matching.h"
#include "matching/text.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

namespace qorda {
namespace {

// Hosts and rules of every scope, for targets whose input is a message.
const char* const fixedSnapshot = R"({
  "hardBlockedHosts": ["hard.example", " WWW.Blocked.Example\n", "", "xn--bcher-kva.example"],
  "userDenyHosts": ["denied.example", "both.example", "\u00c9cole.example"],
  "remoteBypassHosts": ["remote.example", "www.", "1.2"],
  "bypassRules": [{"scope": "hostAll", "pattern": "  WWW.HostRule.Example "},
    {"scope": "hostAll", "pattern": "off.example", "enabled": false},
    {"scope": "exactURL", "pattern": "https://files.example/a.mp4?x=1"},
    {"scope": "pathPrefix", "pattern": "https://files.example/free/"},
    {"scope": "pathPrefix", "pattern": "http://[::1]:8080/"}, {"scope": "PathPrefix", "pattern": ""},
    {"scope": "exactURL", "pattern": "https://user@files.example:443/p"}]})";

std::optional<std::string> publishedSnapshot = fixedSnapshot;
std::vector<std::string> inbox;
std::size_t launches = 0;

}  // namespace

std::optional<std::string> readPolicySnapshotText() {
  if (!publishedSnapshot) return std::nullopt;
  std::string text = *publishedSnapshot;
  // The same spare room the file reader leaves, so the in-place parse runs.
  text.reserve(text.size() + policyTextPadding);
  return text;
}

// Never provable here: the policy layer then compares the text itself.
bool isPolicySnapshotUnchanged() { return false; }

void appendToCaptureInbox(std::string_view messageText) { inbox.emplace_back(messageText); }

void ensureHostAppIsRunningInBackground() { ++launches; }

// The three steps run together and in order, for the same text.
void postCaptureNotification(std::string_view messageText) {
  if (inbox.empty() || inbox.back() != messageText || launches != inbox.size()) std::abort();
}

namespace fuzz {
namespace {

using Members = std::map<std::string_view, std::string_view>;

// Every policy action with each reason it may give.
const std::set<std::pair<std::string_view, std::string_view>> decisions = {{"takeover", ""},
                                                                           {"blocked", "drm_suspected"},
                                                                           {"blocked", "websocket_transport"},
                                                                           {"blocked", "unsupported_scheme"},
                                                                           {"blocked", "non_media_mime"},
                                                                           {"blocked", "hard_blocked_site"},
                                                                           {"blocked", "user_denied_site"},
                                                                           {"bypass", "remote_bypass_site"},
                                                                           {"bypass", "user_bypass_rule"}};

std::string_view valueOf(const Members& members, std::string_view key) {
  auto found = members.find(key);
  return found == members.end() ? "" : found->second;
}

}  // namespace

void fail(std::string_view what, std::string_view detail) {
  std::fprintf(stderr, "invariant broken: %.*s\n  %.*s\n", static_cast<int>(what.size()), what.data(),
               static_cast<int>(std::min<std::size_t>(detail.size(), 400)), detail.data());
  std::abort();
}

void checkAnswer(std::string_view body, std::string_view reply, const std::vector<std::string>& handOffs) {
  // The body read by a parser of our own. Parsers are kept from run to run:
  // megabyte frames would otherwise cost mostly page faults.
  static simdjson::dom::parser bodyParser, replyParser;
  simdjson::dom::element root;
  simdjson::dom::object message, answer;
  std::string_view json = body.starts_with("\xEF\xBB\xBF") ? body.substr(3) : body;
  bool isJson = !bodyParser.parse(json.data(), json.size(), false).get(root);
  bool object = isJson && !root.get(message);
  // The fallback for an echo too big for the browser: escaping makes a byte
  // of an echo at most six, so a small body never needs it.
  if (reply == "{}" && (!object || body.size() * 6 < 1'000'000))
    fail("fallback reply for a small body", body);
  if (reply == "{}") return;
  if (replyParser.parse(simdjson::padded_string(reply)).get(answer))
    fail("reply is not a JSON object", reply);
  Members members;
  for (auto [key, value] : answer) {
    std::string_view text = value.is_string() ? std::string_view(value) : "(no text)";
    if (value.is_bool()) text = bool(value) ? "true" : "false";
    if (!members.emplace(key, text).second) fail("reply repeats a member", reply);
  }
  Members expected = {
      {"accepted", object ? "true" : "false"}, {"host", "qorda-native-host"}, {"version", "0.0.1"}};
  std::string_view action = valueOf(members, "policyAction"), reason = valueOf(members, "reason"), echo;
  if (!object) expected["reason"] = isJson && root.is_array() ? "invalid_json_shape" : "invalid_json";
  if (object) {
    expected["messageType"] = message["messageType"].get(echo) ? "unknown" : echo;
    expected["requestId"] = message["requestId"].get(echo) ? "" : echo;
    expected["policyAction"] = action;
    if (action != "takeover") expected["reason"] = reason;
    if (!decisions.count({action, reason})) fail("no such decision", reply);
  }
  if (members != expected) fail("reply members differ from what the body asks for", reply);
  bool handedOff = handOffs.size() == 1 && handOffs[0] == body;
  if (object && action == "takeover" ? !handedOff : !handOffs.empty())
    fail("hand-off not one for a takeover", body);
}

void checkNormalisedHost(std::string_view source, std::string_view host) {
  if (host != normalizeHostValue(source)) fail("normalised host differs from normalizeHostValue", source);
  if (!isLowercase(host)) fail("normalised host is not lower-case", host);
  std::string_view inner = trimmed(host);
  if (inner.data() + inner.size() != host.data() + host.size())
    fail("normalised host ends with white space", host);
  std::string lowered = lowercased(source);
  std::string_view written = trimmed(lowered);
  if (inner.size() != host.size() && (!written.starts_with("www.") || written.substr(4) != host))
    fail("normalised host starts with white space", source);
}

void publishSnapshot(std::optional<std::string> text) { publishedSnapshot = std::move(text); }

std::vector<std::string> takeHandOffs() {
  launches = 0;
  return std::exchange(inbox, {});
}

}  // namespace fuzz
}  // namespace qorda
