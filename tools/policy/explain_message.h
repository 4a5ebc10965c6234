// The request message that `qorda-policy explain` builds from its flags.
#pragma once

#include <optional>
#include <string>

namespace qorda::tools {

struct RequestFlags {
  std::string url;
  std::optional<std::string> page, manifest, mime, signal, transport;
  bool drm = false;
};

// The message the extension would send for this request.
std::string messageFromFlags(const RequestFlags& flags);

}  // namespace qorda::tools
