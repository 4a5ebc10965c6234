#include "request_classifiers.h"

#include "matching/text.h"

namespace qorda {

bool hasUnsupportedScheme(const std::optional<UrlComponents>& resourceUrl) {
  return !resourceUrl || !hasHttpScheme(*resourceUrl);
}

bool isNonMediaMime(std::optional<std::string_view> mimeType) {
  if (!mimeType) return false;
  std::string lowered = lowercased(*mimeType);
  std::string_view type = trimmed(lowered);
  if (type.empty()) return false;
  if (type.starts_with("video/") || type.starts_with("audio/")) return false;
  if (type.find("mpegurl") != std::string_view::npos || type.find("dash+xml") != std::string_view::npos)
    return false;
  // A prefix test, so parameters after the type change nothing.
  if (type.starts_with("application/octet-stream")) return false;
  return true;
}

bool isDirectLinkSignal(std::optional<std::string_view> signalType) {
  if (!signalType) return false;
  std::string signal = lowercased(*signalType);
  return signal == "direct_url" || signal == "media_mime" || signal == "content_disposition";
}

}  // namespace qorda
