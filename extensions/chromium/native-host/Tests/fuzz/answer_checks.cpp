#include "answer_checks.h"

#include <simdjson.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

namespace qorda::fuzz {
namespace {

const std::set<std::string_view> blockedReasons = {"drm_suspected",  "websocket_transport", "unsupported_scheme",
                                                   "non_media_mime", "hard_blocked_site",   "user_denied_site"};
const std::set<std::string_view> bypassReasons = {"remote_bypass_site", "user_bypass_rule"};

// The reply's members; a member that is neither string nor boolean fails.
std::map<std::string, std::string> membersOf(std::string_view reply) {
  simdjson::dom::parser parser;
  simdjson::dom::object object;
  if (parser.parse(simdjson::padded_string(reply)).get(object)) fail("reply is not a JSON object", reply);
  std::map<std::string, std::string> members;
  for (auto [key, value] : object) {
    std::string text;
    if (value.is_bool()) text = bool(value) ? "true" : "false";
    else if (value.is_string()) text = std::string(std::string_view(value));
    else fail("reply member is neither string nor boolean", reply);
    if (!members.emplace(std::string(key), text).second) fail("reply repeats a member", reply);
  }
  return members;
}

// What the message itself says, read by a parser of our own.
struct Expected {
  bool object = false;
  bool array = false;
  std::string messageType = "unknown";
  std::string requestId;
};

Expected expectationsOf(std::string_view body) {
  if (body.starts_with("\xEF\xBB\xBF")) body.remove_prefix(3);
  Expected expected;
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  if (parser.parse(simdjson::padded_string(body)).get(root)) return expected;
  expected.array = root.is_array();
  simdjson::dom::object message;
  if (root.get(message)) return expected;
  expected.object = true;
  std::string_view text;
  if (!message["messageType"].get(text)) expected.messageType = text;
  if (!message["requestId"].get(text)) expected.requestId = text;
  return expected;
}

}  // namespace

void fail(std::string_view what, std::string_view detail) {
  std::fprintf(stderr, "invariant broken: %.*s\n  %.*s\n", static_cast<int>(what.size()), what.data(),
               static_cast<int>(std::min<std::size_t>(detail.size(), 400)), detail.data());
  std::abort();
}

void checkAnswer(std::string_view body, std::string_view reply, const std::vector<std::string>& handOffs) {
  Expected expected = expectationsOf(body);
  // The fallback for an echo too big for the browser: escaping makes a byte
  // of an echo at most six, so a small body never needs it.
  if (reply == "{}") {
    if (body.size() * 6 < 1'000'000) fail("fallback reply for a small body", body);
    return;
  }
  auto members = membersOf(reply);
  if (!members.count("accepted")) fail("reply without \"accepted\"", reply);
  if (members["host"] != "qorda-native-host" || members["version"] != "0.0.1") fail("host or version", reply);
  if (members["accepted"] == "false") {
    std::string reason = expected.array ? "invalid_json_shape" : "invalid_json";
    if (expected.object) fail("a JSON object was refused", reply);
    if (members.size() != 4 || members["reason"] != reason) fail("error reply", reply);
    if (!handOffs.empty()) fail("an undecodable frame was handed off", reply);
    return;
  }
  if (!expected.object) fail("accepted a body that is no JSON object", body);
  if (members["messageType"] != expected.messageType || members["requestId"] != expected.requestId)
    fail("echoed messageType or requestId", reply);
  std::string_view action = members["policyAction"];
  bool hasReason = members.count("reason") != 0;
  if (members.size() != (hasReason ? 7u : 6u)) fail("reply members", reply);
  if (action == "takeover") {
    if (hasReason) fail("takeover with a reason", reply);
    if (handOffs.size() != 1 || handOffs[0] != body) fail("takeover not handed off exactly once as received", body);
    return;
  }
  if (!handOffs.empty()) fail("handed off without a takeover", reply);
  const auto& reasons = action == "blocked" ? blockedReasons : bypassReasons;
  if (action != "blocked" && action != "bypass") fail("unknown policyAction", reply);
  if (!hasReason || !reasons.count(members["reason"])) fail("reason missing or not one of its action's", reply);
}

}  // namespace qorda::fuzz
