#include "host_matching.h"

#include "text.h"

namespace qorda {
namespace {

constexpr std::string_view wwwPrefix = "www.";

std::string_view withoutWwwPrefix(std::string_view host) {
  if (host.starts_with(wwwPrefix) && host.size() > wwwPrefix.size()) host.remove_prefix(wwwPrefix.size());
  return host;
}

bool covers(std::string_view entry, std::string_view host) {
  if (host.size() < entry.size()) return false;
  if (host.size() == entry.size()) return host == entry;
  return host.ends_with(entry) && host[host.size() - entry.size() - 1] == '.';
}

std::size_t originOf(const HostList& list, std::size_t index) {
  return list.origins.empty() ? index : list.origins[index];
}

std::optional<HostListMatch> scan(const HostList& list, std::span<const std::string> hosts) {
  for (std::size_t i = 0; i < list.entries.size(); ++i) {
    for (std::size_t h = 0; h < hosts.size(); ++h) {
      if (covers(list.entries[i], hosts[h])) return HostListMatch{h, originOf(list, i), list.entries[i]};
    }
  }
  return std::nullopt;
}

// Only suffixes of a length that some entry has are hashed: the host's
// suffixes all differ in length, so at most one per such length.
std::optional<HostListMatch> lookUp(const HostList& list, std::span<const std::string> hosts) {
  std::optional<std::size_t> best;
  std::size_t bestHost = 0;
  auto consider = [&](std::string_view suffix, std::size_t h) {
    auto found = list.firstPosition.find(suffix);
    if (found != list.firstPosition.end() && (!best || found->second < *best)) {
      best = found->second;
      bestHost = h;
    }
  };
  for (std::size_t h = 0; h < hosts.size(); ++h) {
    std::string_view host = hosts[h];
    if (host.size() < list.entryLengths.size() && list.entryLengths[host.size()]) consider(host, h);
    for (std::size_t dot = host.size(); dot-- > 0;) {
      std::size_t length = host.size() - dot - 1;
      if (length >= list.entryLengths.size()) break;
      if (host[dot] == '.' && list.entryLengths[length]) consider(host.substr(dot + 1), h);
    }
  }
  if (!best) return std::nullopt;
  return HostListMatch{bestHost, originOf(list, *best), list.entries[*best]};
}

}  // namespace

std::string normalizeHostValue(std::string_view value) {
  return std::string(withoutWwwPrefix(trimmed(lowercased(value))));
}

std::string_view normalizedListEntry(std::string_view entry, std::deque<std::string>& storage) {
  if (!isLowercase(entry)) entry = storage.emplace_back(lowercased(entry));
  return withoutWwwPrefix(trimmed(entry));
}

std::optional<std::string> normalizedUrlHost(const UrlComponents& url) {
  if (!url.host) return std::nullopt;
  std::string host = lowercased(*url.host);
  // Emptiness is judged before trimming: a host of blanks is still a host.
  if (host.empty()) return std::nullopt;
  return std::string(withoutWwwPrefix(trimmed(host)));
}

std::optional<std::string> normalizedUrlHost(std::string_view urlText) {
  auto url = parseUrl(urlText);
  return url ? normalizedUrlHost(*url) : std::nullopt;
}

void indexHostList(HostList& list) {
  list.firstPosition.reserve(list.entries.size());
  for (std::size_t i = 0; i < list.entries.size(); ++i) {
    std::string_view entry = list.entries[i];
    list.firstPosition.try_emplace(entry, i);
    if (entry.size() >= list.entryLengths.size()) list.entryLengths.resize(entry.size() + 1);
    list.entryLengths[entry.size()] = true;
  }
}

std::optional<HostListMatch> findCoveringEntry(const HostList& list, std::span<const std::string> hosts) {
  if (list.entries.empty() || hosts.empty()) return std::nullopt;
  return list.firstPosition.empty() ? scan(list, hosts) : lookUp(list, hosts);
}

}  // namespace qorda
