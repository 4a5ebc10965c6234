// Arbitrary text as the published policy snapshot: the reader never fails,
// text that is no JSON object gives the empty policy, and a set of requests
// is decided alike whether the policy is walked (explain) or indexed (the
// host from its second message on), each answer passing the reply's rules.
#include "fuzz_support.h"
#include "policy/policy_evaluation.h"

#include <cstdint>

namespace {

// Requests whose hosts and URLs meet the dictionary's entries and rules.
const char* const requests[] = {
    R"({"payload":{"intent":{"resource":{"url":"https://video.example/a.mp4","mimeType":"video/mp4"},
        "sourceContext":{"pageUrl":"https://www.page.example/watch"},"detection":{"signalType":"direct_url"}}}})",
    R"({"payload":{"intent":{"resource":{"url":"https://files.example/free/a.mp4?x=1#t"},
        "manifest":{"url":"http://[::1]:8080/m.m3u8"},"detection":{"signalType":"media_mime"}}}})",
    R"({"payload":{"intent":{"resource":{"url":"http://user@host.example:443/p/q"},
        "detection":{"signalType":"Content_Disposition"}}}})",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text.shrink_to_fit();  // no spare room: the reader must copy, not overread
  std::vector<qorda::SnapshotFinding> findings;
  qorda::AppGroupPolicy policy = qorda::policyFromSnapshotText(text, &findings);
  bool empty = policy.hardBlockedHosts.entries.empty() && policy.userDenyHosts.entries.empty() &&
               policy.remoteBypassHosts.entries.empty() && policy.bypassRules.empty();
  if (!qorda::isUsableSnapshot(findings) && !empty) qorda::fuzz::fail("unusable text gave a policy", text);
  qorda::fuzz::publishSnapshot(text);
  static qorda::JsonDecoder decoder, requestDecoder;
  qorda::PolicyCache cache;
  std::string replyText;
  for (const char* request : requests) {
    for (int again = 0; again < 2; ++again) {
      simdjson::padded_string body{std::string_view(request)};
      auto intent = std::get<qorda::Message>(qorda::decodeMessage(requestDecoder, body)).intent;
      if (qorda::evaluatePolicyAction(intent, cache) != qorda::explainPolicyAction(intent, policy).decidedBy)
        qorda::fuzz::fail("indexed and walked differ", text);
      std::string_view reply =
          qorda::fuzz::answerFrame(decoder, cache, {body.data(), body.size()}, replyText);
      qorda::fuzz::checkAnswer({body.data(), body.size()}, reply);
    }
  }
  return 0;
}
