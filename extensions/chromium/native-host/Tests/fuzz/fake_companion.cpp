#include "fake_companion.h"

#include "app/companion.h"

#include <cstdlib>

namespace qorda {
namespace {

std::optional<std::string> publishedSnapshot;
std::vector<std::string> inbox;
std::size_t launches = 0;
std::size_t notifications = 0;

}  // namespace

std::optional<std::string> readPolicySnapshotText() {
  if (!publishedSnapshot) return std::nullopt;
  std::string text = *publishedSnapshot;
  // The same spare room the file reader leaves, so the in-place parse runs.
  text.reserve(text.size() + policyTextPadding);
  return text;
}

void appendToCaptureInbox(std::string_view messageText) { inbox.emplace_back(messageText); }

void ensureHostAppIsRunningInBackground() { ++launches; }

void postCaptureNotification(std::string_view messageText) {
  ++notifications;
  // The three steps run together and in order, for the same text.
  if (inbox.empty() || inbox.back() != messageText || launches != notifications) std::abort();
}

namespace fuzz {

const char* const fixedSnapshot = R"({
  "hardBlockedHosts": ["hard.example", " WWW.Blocked.Example\n", "", "xn--bcher-kva.example"],
  "userDenyHosts": ["denied.example", "both.example", "\u00c9cole.example"],
  "remoteBypassHosts": ["remote.example", "www.", "1.2"],
  "bypassRules": [
    {"scope": "hostAll", "pattern": "  WWW.HostRule.Example "},
    {"scope": "hostAll", "pattern": "off.example", "enabled": false},
    {"scope": "exactURL", "pattern": "https://files.example/a.mp4?x=1"},
    {"scope": "pathPrefix", "pattern": "https://files.example/free/"},
    {"scope": "pathPrefix", "pattern": "http://[::1]:8080/"},
    {"scope": "PathPrefix", "pattern": ""},
    {"scope": "exactURL", "pattern": "https://user@files.example:443/p"}
  ]})";

void publishSnapshot(std::optional<std::string> text) { publishedSnapshot = std::move(text); }

std::vector<std::string> takeHandOffs() {
  std::vector<std::string> taken = std::move(inbox);
  inbox.clear();
  launches = notifications = 0;
  return taken;
}

}  // namespace fuzz
}  // namespace qorda
