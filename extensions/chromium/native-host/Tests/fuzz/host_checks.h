// What must hold for every normalised host.
#pragma once

#include "answer_checks.h"
#include "matching/host_matching.h"
#include "matching/text.h"

namespace qorda::fuzz {

// host is normalizeHostValue(source), computed by whichever path: it is
// lower-case and ends in no white space, and starts with white space only
// when that stood between a leading "www." and the rest of the source.
inline void checkNormalisedHost(std::string_view source, std::string_view host) {
  if (host != normalizeHostValue(source)) fail("normalised host differs from normalizeHostValue", source);
  if (!isLowercase(host)) fail("normalised host is not lower-case", host);
  std::string_view inner = trimmed(host);
  if (inner.data() + inner.size() != host.data() + host.size()) fail("normalised host ends with white space", host);
  if (inner.size() != host.size()) {
    std::string lowered = lowercased(source);
    std::string_view source_trimmed = trimmed(lowered);
    if (!source_trimmed.starts_with("www.") || source_trimmed.substr(4) != host)
      fail("normalised host starts with white space", source);
  }
}

}  // namespace qorda::fuzz
