// Yes-or-no tests on one request, made before any policy list.
#pragma once

#include "matching/url_components.h"

#include <optional>
#include <string_view>

namespace qorda {

// True unless the resource URL, parsed once by the caller, has the scheme
// http or https. No URL, or one that does not parse, is unsupported.
bool hasUnsupportedScheme(const std::optional<UrlComponents>& resourceUrl);

// True when the MIME type names something other than audio, video, a
// streaming manifest or an octet stream. No MIME type is not.
bool isNonMediaMime(std::optional<std::string_view> mimeType);

// True when the detection signal is one of the direct-link kinds.
bool isDirectLinkSignal(std::optional<std::string_view> signalType);

}  // namespace qorda
