// The checks that decide a request, in the order they run, and what each
// decides: one row per check. A request is decided by the first check that
// applies; "no match" always does.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace qorda {

enum class Check {
  noIntent,         // the message has no payload.intent object
  drmHint,          // policyHints.drmSuspected
  transport,        // a custom WebSocket transport
  scheme,           // the resource URL is not http or https
  mimeType,         // a MIME type that is no media
  hardBlocked,      // hardBlockedHosts covers a candidate host
  userDenied,       // userDenyHosts covers one
  remoteBypass,     // remoteBypassHosts covers one
  hostAllRules,     // an enabled "hostAll" rule covers one
  directLinkRules,  // a direct-link rule matches the resource URL
  noMatch,
};

enum class Action { takeover, blocked, bypass };

struct CheckRow {
  Check check;
  Action action;
  std::string_view reason;     // the reply's "reason"; empty for a takeover
  std::string_view decidedBy;  // what qorda-policy explain names
  std::string_view listKey;    // the snapshot's host list, if the check reads one
};

inline constexpr std::array<CheckRow, 11> checkTable = {{
    {Check::noIntent, Action::takeover, "", "no_intent", ""},
    {Check::drmHint, Action::blocked, "drm_suspected", "drm_hint", ""},
    {Check::transport, Action::blocked, "websocket_transport", "transport", ""},
    {Check::scheme, Action::blocked, "unsupported_scheme", "scheme", ""},
    {Check::mimeType, Action::blocked, "non_media_mime", "mime_type", ""},
    {Check::hardBlocked, Action::blocked, "hard_blocked_site", "hardBlockedHosts", "hardBlockedHosts"},
    {Check::userDenied, Action::blocked, "user_denied_site", "userDenyHosts", "userDenyHosts"},
    {Check::remoteBypass, Action::bypass, "remote_bypass_site", "remoteBypassHosts", "remoteBypassHosts"},
    {Check::hostAllRules, Action::bypass, "user_bypass_rule", "hostAll_rules", ""},
    {Check::directLinkRules, Action::bypass, "user_bypass_rule", "direct_link_rules", ""},
    {Check::noMatch, Action::takeover, "", "no_match", ""},
}};

constexpr const CheckRow& rowOf(Check check) { return checkTable[static_cast<std::size_t>(check)]; }

constexpr bool rowsInOrder() {
  for (std::size_t i = 0; i < checkTable.size(); ++i) {
    if (static_cast<std::size_t>(checkTable[i].check) != i) return false;
    if ((checkTable[i].action == Action::takeover) != checkTable[i].reason.empty()) return false;
  }
  return true;
}
static_assert(rowsInOrder(), "one row per check, in the enum's order; a reason exactly when not a takeover");

constexpr std::string_view actionName(Action action) {
  constexpr std::array<std::string_view, 3> names = {"takeover", "blocked", "bypass"};
  return names[static_cast<std::size_t>(action)];
}

}  // namespace qorda
