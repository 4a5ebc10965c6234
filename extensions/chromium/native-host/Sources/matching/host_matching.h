// The normalised host, and matching of hosts against host lists.
#pragma once

#include "url_components.h"

#include <cstddef>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qorda {

// Lower-cased, trimmed of white space and line breaks, and stripped of one
// leading "www." when at least one character follows it.
std::string normalizeHostValue(std::string_view value);

// normalizeHostValue of one list entry, without a copy when the entry needs
// no lower-casing: the result points into entry, or into a string added to
// storage.
std::string_view normalizedListEntry(std::string_view entry, std::deque<std::string>& storage);

// The normalised host of a URL, or nothing when it has no non-empty host.
std::optional<std::string> normalizedUrlHost(std::string_view urlText);
std::optional<std::string> normalizedUrlHost(const UrlComponents& url);

// Normalised host entries in the order they were published. An entry may
// repeat; repeats change no match.
struct HostList {
  std::vector<std::string_view> entries;
  // Where each entry came from (a position in a longer list); empty when
  // entry i came from position i.
  std::vector<std::size_t> origins;

  // Built by indexHostList: each entry's first position, and which entry
  // lengths occur, so a host is looked up once per such length.
  std::unordered_map<std::string_view, std::size_t> firstPosition;
  std::vector<bool> entryLengths;
};

// Makes later matches cost a lookup per entry length instead of a walk of
// the list; worth it when the list is matched more than once.
void indexHostList(HostList& list);

struct HostListMatch {
  std::size_t host;       // which of the hosts
  std::size_t entry;      // where the covering entry came from (see origins)
  std::string_view text;  // the covering entry
};

// The first entry of list that equals one of hosts or names a domain above
// it (the host ends with "." and the entry). Costs the length of the list
// plus the length of the hosts, whatever their number of labels.
std::optional<HostListMatch> findCoveringEntry(const HostList& list, std::span<const std::string> hosts);

}  // namespace qorda
