// Arbitrary text as the published policy snapshot: the reader never fails,
// every host it keeps is a normalised host of the entry as written, and the
// policy it gives decides a set of requests by the reply's rules.
#include "answer_checks.h"
#include "fake_companion.h"
#include "host/frame_answer.h"
#include "host_checks.h"
#include "app/companion.h"
#include "policy/policy_snapshot.h"

#include <simdjson.h>

#include <cstdint>

namespace {

using qorda::fuzz::fail;

// The request bodies every snapshot is tried against, each with the padding
// the frame reader gives.
std::vector<simdjson::padded_string> requests() {
  const char* texts[] = {
      R"({"payload":{"intent":{"resource":{"url":"https://video.example/a.mp4","mimeType":"video/mp4"},
          "sourceContext":{"pageUrl":"https://www.page.example/watch"},"detection":{"signalType":"direct_url"}}}})",
      R"({"payload":{"intent":{"resource":{"url":"https://files.example/free/a.mp4?x=1#t"},
          "manifest":{"url":"http://[::1]:8080/m.m3u8"},"detection":{"signalType":"media_mime"}}}})",
      R"({"payload":{"intent":{"resource":{"url":"HTTPS://WWW.Example.COM/a.mp4"},"detection":{"signalType":"x"}}}})",
      R"({"payload":{"intent":{"resource":{"url":"http://user@host.example:443/p/q"},
          "detection":{"signalType":"Content_Disposition"}}}})",
  };
  std::vector<simdjson::padded_string> bodies;
  for (const char* text : texts) bodies.emplace_back(std::string_view(text));
  return bodies;
}

// Each host-list entry against the normalisation of the string it came from.
void checkHostSet(simdjson::dom::object snapshot, const char* key, const qorda::HostSet& hosts) {
  simdjson::dom::array entries;
  std::vector<std::string_view> sources;
  if (!snapshot[key].get(entries)) {
    for (auto entry : entries) {
      if (!entry.is_string()) {
        sources.clear();
        break;
      }
      sources.push_back(std::string_view(entry));
    }
  }
  if (sources.size() != hosts.size()) fail("host list has another length than the snapshot's", key);
  for (std::size_t i = 0; i < hosts.size(); ++i) qorda::fuzz::checkNormalisedHost(sources[i], hosts[i]);
}

bool samePolicy(const qorda::AppGroupPolicy& a, const qorda::AppGroupPolicy& b) {
  if (a.bypassRules.size() != b.bypassRules.size()) return false;
  for (std::size_t i = 0; i < a.bypassRules.size(); ++i) {
    const auto &x = a.bypassRules[i], &y = b.bypassRules[i];
    if (x.scope != y.scope || x.pattern != y.pattern || x.enabled != y.enabled) return false;
  }
  return a.hardBlockedHosts == b.hardBlockedHosts && a.userDenyHosts == b.userDenyHosts &&
         a.remoteBypassHosts == b.remoteBypassHosts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text.shrink_to_fit();  // no spare room: the reader must copy, not overread
  qorda::AppGroupPolicy policy = qorda::policyFromSnapshotText(text);
  std::string padded = text;
  padded.reserve(size + qorda::policyTextPadding);
  if (!samePolicy(policy, qorda::policyFromSnapshotText(padded))) fail("padding changed the policy", text);

  simdjson::dom::parser parser;
  simdjson::dom::object snapshot;
  std::string_view json = qorda::withoutByteOrderMark(text);
  if (parser.parse(simdjson::padded_string(json)).get(snapshot)) {
    if (!samePolicy(policy, {})) fail("text that is no JSON object gave a policy", text);
  } else {
    checkHostSet(snapshot, "userDenyHosts", policy.userDenyHosts);
    checkHostSet(snapshot, "hardBlockedHosts", policy.hardBlockedHosts);
    checkHostSet(snapshot, "remoteBypassHosts", policy.remoteBypassHosts);
  }

  static const auto bodies = requests();
  static simdjson::dom::parser hostParser;
  qorda::fuzz::publishSnapshot(text);
  std::string replyText;
  for (const auto& body : bodies) {
    std::string_view message(body.data(), body.size());
    qorda::fuzz::checkAnswer(message, qorda::answerFrame(hostParser, message, replyText), qorda::fuzz::takeHandOffs());
  }
  return 0;
}
