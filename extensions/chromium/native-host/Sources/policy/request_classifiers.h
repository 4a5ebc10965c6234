// Yes-or-no tests on the intent of one request, made before any policy list.
#pragma once

#include "../host/json_message.h"

namespace qorda {

// True unless the resource URL parses with the scheme http or https.
bool hasUnsupportedScheme(JsonObject intent);

// True when the resource's MIME type names something other than audio,
// video, a streaming manifest or an octet stream. No MIME type is not.
bool isNonMediaMime(JsonObject intent);

// True when the detection signal is one of the direct-link kinds.
bool isDirectLinkSignal(JsonObject intent);

}  // namespace qorda
