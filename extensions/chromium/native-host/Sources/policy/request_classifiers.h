// Yes-or-no tests on the intent of one request, made before any policy list.
#pragma once

#include "json/json_decoding.h"
#include "matching/url_components.h"

#include <optional>

namespace qorda {

// True unless the resource URL, parsed once by the caller, has the scheme
// http or https. No URL, or one that does not parse, is unsupported.
bool hasUnsupportedScheme(const std::optional<UrlComponents>& resourceUrl);

// True when the resource's MIME type names something other than audio,
// video, a streaming manifest or an octet stream. No MIME type is not.
bool isNonMediaMime(JsonObject intent);

// True when the detection signal is one of the direct-link kinds.
bool isDirectLinkSignal(JsonObject intent);

}  // namespace qorda
