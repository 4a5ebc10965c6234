#include "fuzz_support.h"

#include "host/capture_handoff.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace qorda {
namespace {

std::string published = R"({"hardBlockedHosts":["hard.example"," WWW.Blocked.Example\n",""],
  "userDenyHosts":["denied.example"],"remoteBypassHosts":["remote.example","www."],
  "bypassRules":[{"scope":"hostAll","pattern":"  WWW.HostRule.Example "},
    {"scope":"pathPrefix","pattern":"https://files.example/free/"}]})";
std::string handedOff;

}  // namespace

PublishedSnapshot readPolicySnapshot() {
  std::string text = published;
  text.reserve(text.size() + jsonTextPadding);  // the file reader's spare room
  return {std::move(text), std::nullopt};
}

bool isPolicySnapshotUnchanged(const SnapshotVersion&) { return false; }
void appendToCaptureInbox(std::string_view messageText) { handedOff += messageText; }
void ensureHostAppIsRunningInBackground() {}
void postCaptureNotification(std::string_view) {}

namespace fuzz {

void fail(std::string_view what, std::string_view detail) {
  std::fprintf(stderr, "invariant broken: %.*s\n  %.*s\n", static_cast<int>(what.size()), what.data(),
               static_cast<int>(std::min<std::size_t>(detail.size(), 400)), detail.data());
  std::abort();
}

void answerAndCheck(std::string_view body) {
  // Parsers of our own, kept too: megabyte frames would otherwise cost
  // mostly page faults.
  static JsonDecoder decoder;
  static PolicyCache policy;
  static simdjson::dom::parser bodyParser, replyParser;
  static std::string reply;
  Reply answered = replyTo(decodeMessage(decoder, body), policy);
  encodeReply(answered, reply);
  giveBackLargeBuffers(decoder);
  if (isTakeover(answered)) handOffCapture(body);
  simdjson::dom::element root;
  simdjson::dom::object message, answer;
  std::string_view json = withoutByteOrderMark(body), echo;
  bool isJson = !bodyParser.parse(json.data(), json.size(), false).get(root);
  bool object = isJson && !root.get(message);
  std::string handOff = std::exchange(handedOff, {});
  // Escaping makes a byte of an echo at most six: only a large body may
  // need the fallback.
  if (reply == "{}")
    return body.size() * 6 < 1'000'000 ? fail("fallback reply for a small body", body) : void();
  if (reply.size() > maxReplySize || replyParser.parse(simdjson::padded_string(reply)).get(answer))
    fail("reply is no JSON object within the cap", reply);
  std::map<std::string_view, std::string_view> members,
      expected = {
          {"accepted", object ? "true" : "false"}, {"host", "qorda-native-host"}, {"version", "0.0.1"}};
  for (auto [key, value] : answer) {
    std::string_view text = value.is_string() ? std::string_view(value) : "(no text)";
    if (value.is_bool()) text = bool(value) ? "true" : "false";
    if (!members.emplace(key, text).second) fail("reply repeats a member", reply);
  }
  if (!object) expected["reason"] = isJson && root.is_array() ? "invalid_json_shape" : "invalid_json";
  auto valueOf = [&](std::string_view key) { return members.contains(key) ? members[key] : ""; };
  if (object) {
    expected["messageType"] = message["messageType"].get(echo) ? "unknown" : echo;
    expected["requestId"] = message["requestId"].get(echo) ? "" : echo;
    auto row = std::ranges::find_if(checkTable, [&](const CheckRow& r) {
      return actionName(r.action) == valueOf("policyAction") && r.reason == valueOf("reason");
    });
    if (row == checkTable.end()) fail("no such decision", reply);
    expected["policyAction"] = actionName(row->action);
    if (!row->reason.empty()) expected["reason"] = row->reason;
  }
  if (members != expected) fail("reply members differ from what the body asks for", reply);
  if (handOff != (valueOf("policyAction") == "takeover" ? body : ""))
    fail("hand-off not the takeover's", body);
}

void publishSnapshot(std::string text) { published = std::move(text); }

}  // namespace fuzz
}  // namespace qorda
