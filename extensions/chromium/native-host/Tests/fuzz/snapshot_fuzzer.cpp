// Arbitrary text as the published policy snapshot: the reader never fails,
// every host it keeps is a normalised host of the entry as written, and the
// policy it gives decides a set of requests by the reply's rules, the same
// whether its host lists are walked or indexed.
#include "fuzz_support.h"
#include "policy/policy_snapshot.h"

#include <cstdint>

namespace {

using qorda::fuzz::fail;

// Requests whose hosts and URLs meet the dictionary's entries and rules.
const char* const requests[] = {
    R"({"payload":{"intent":{"resource":{"url":"https://video.example/a.mp4","mimeType":"video/mp4"},
        "sourceContext":{"pageUrl":"https://www.page.example/watch"},"detection":{"signalType":"direct_url"}}}})",
    R"({"payload":{"intent":{"resource":{"url":"https://files.example/free/a.mp4?x=1#t"},
        "manifest":{"url":"http://[::1]:8080/m.m3u8"},"detection":{"signalType":"media_mime"}}}})",
    R"({"payload":{"intent":{"resource":{"url":"HTTPS://WWW.Example.COM/a.mp4"},"detection":{"signalType":"x"}}}})",
    R"({"payload":{"intent":{"resource":{"url":"http://user@host.example:443/p/q"},
        "detection":{"signalType":"Content_Disposition"}}}})",
};

// Each host-list entry against the string it came from; one element that is
// not a string empties the list.
void checkHostList(simdjson::dom::object snapshot, const char* key, const qorda::HostList& hosts) {
  std::vector<std::string_view> sources;
  simdjson::dom::array entries;
  std::string_view text;
  bool strings = true;
  if (!snapshot[key].get(entries)) {
    for (auto entry : entries) {
      strings = strings && !entry.get(text);
      sources.push_back(text);
    }
  }
  if (!strings) sources.clear();
  if (sources.size() != hosts.entries.size()) fail("host list has another length than the snapshot's", key);
  for (std::size_t i = 0; i < sources.size(); ++i)
    qorda::fuzz::checkNormalisedHost(sources[i], hosts.entries[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text.shrink_to_fit();  // no spare room: the reader must copy, not overread
  qorda::AppGroupPolicy policy = qorda::policyFromSnapshotText(text);
  simdjson::dom::parser parser;
  simdjson::dom::object snapshot;
  std::string_view json =
      std::string_view(text).starts_with("\xEF\xBB\xBF") ? std::string_view(text).substr(3) : text;
  if (!parser.parse(simdjson::padded_string(json)).get(snapshot)) {
    checkHostList(snapshot, "userDenyHosts", policy.userDenyHosts);
    checkHostList(snapshot, "hardBlockedHosts", policy.hardBlockedHosts);
    checkHostList(snapshot, "remoteBypassHosts", policy.remoteBypassHosts);
  } else if (!policy.hardBlockedHosts.entries.empty() || !policy.userDenyHosts.entries.empty() ||
             !policy.remoteBypassHosts.entries.empty() || !policy.bypassRules.empty()) {
    fail("text that is no JSON object gave a policy", text);
  }
  // The host reads the published text with spare room, and indexes it from
  // its second message on; policy is read without spare room and walked.
  qorda::fuzz::publishSnapshot(text);
  static simdjson::dom::parser requestParser, hostParser;
  std::string replyText;
  for (const char* request : requests) {
    simdjson::padded_string body{std::string_view(request)};
    qorda::JsonObject message = requestParser.parse(body).get_object().value();
    qorda::PolicyAction loaded = qorda::evaluatePolicyAction(message);
    qorda::PolicyAction walked = qorda::explainPolicyAction(message, policy).policyAction;
    if (loaded.action != walked.action || loaded.reason != walked.reason)
      fail("indexed and walked differ", text);
    std::string_view reply = qorda::fuzz::answerFrame(hostParser, {body.data(), body.size()}, replyText);
    qorda::fuzz::checkAnswer({body.data(), body.size()}, reply, qorda::fuzz::takeHandOffs());
  }
  return 0;
}
