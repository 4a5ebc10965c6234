// Arbitrary text as the published policy snapshot: the reader never fails,
// and a set of requests is decided alike whether the policy is walked
// (explain) or indexed (the host from its second message on).
#include "fuzz_support.h"
#include "policy/policy_evaluation.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text.shrink_to_fit();  // no spare room: the reader must copy, not overread
  qorda::AppGroupPolicy policy = qorda::policyFromSnapshotText(text);
  qorda::fuzz::publishSnapshot(text);
  static qorda::JsonDecoder decoder;
  qorda::PolicyCache cache;  // indexes the policy from its second message on
  // Requests whose hosts and URLs meet the corpus's entries and rules.
  for (const char* request : {
           R"({"payload":{"intent":{"resource":{"url":"https://video.example/a.mp4","mimeType":"video/mp4"},
        "sourceContext":{"pageUrl":"https://www.page.example/watch"},"detection":{"signalType":"direct_url"}}}})",
           R"({"payload":{"intent":{"resource":{"url":"https://files.example/free/a.mp4?x=1#t"},
        "manifest":{"url":"http://[::1]:8080/m.m3u8"},"detection":{"signalType":"media_mime"}}}})"}) {
    simdjson::padded_string body{std::string_view(request)};
    auto intent = std::get<qorda::Message>(qorda::decodeMessage(decoder, body)).intent;
    for (int again = 0; again < 2; ++again) {
      if (qorda::evaluatePolicyAction(intent, cache) != qorda::explainPolicyAction(intent, policy).decidedBy)
        qorda::fuzz::fail("indexed and walked differ", text);
    }
  }
  return 0;
}
