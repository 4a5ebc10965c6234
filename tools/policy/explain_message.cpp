#include "explain_message.h"

#include "json/json_writer.h"

namespace qorda::tools {
namespace {

// Appends "key":{"inner":"value"} when there is a value.
void addNested(std::string& out, const char* key, const char* inner,
               const std::optional<std::string>& value) {
  if (!value) return;
  out += ',';
  appendJsonString(out, key);
  out += ":{";
  appendJsonString(out, inner);
  out += ':';
  appendJsonString(out, *value);
  out += '}';
}

}  // namespace

std::string messageFromFlags(const RequestFlags& flags) {
  std::string out =
      R"({"messageType":"explain","requestId":"explain","payload":{"intent":{"resource":{"url":)";
  appendJsonString(out, flags.url);
  if (flags.mime) {
    out += R"(,"mimeType":)";
    appendJsonString(out, *flags.mime);
  }
  out += '}';
  addNested(out, "sourceContext", "pageUrl", flags.page);
  addNested(out, "manifest", "url", flags.manifest);
  addNested(out, "detection", "signalType", flags.signal);
  addNested(out, "classification", "deliveryType", flags.transport);
  if (flags.drm) out += R"(,"policyHints":{"drmSuspected":true})";
  return out + "}}}";
}

}  // namespace qorda::tools
