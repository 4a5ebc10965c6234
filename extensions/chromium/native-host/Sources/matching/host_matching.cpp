#include "host_matching.h"

#include "text.h"
#include "url_components.h"

#include <algorithm>

namespace qorda {
namespace {

constexpr std::string_view wwwPrefix = "www.";

std::string_view withoutWwwPrefix(std::string_view host) {
  if (host.starts_with(wwwPrefix) && host.size() > wwwPrefix.size()) host.remove_prefix(wwwPrefix.size());
  return host;
}

std::uint64_t lengthBit(std::size_t length) { return std::uint64_t{1} << std::min<std::size_t>(length, 63); }

void addCoveringEntries(CandidateHosts& candidates, std::string_view host) {
  candidates.coveringEntries.push_back(host);
  candidates.coveringLengths |= lengthBit(host.size());
  for (std::size_t dot = host.find('.'); dot != std::string_view::npos; dot = host.find('.', dot + 1)) {
    std::string_view suffix = host.substr(dot + 1);
    candidates.coveringEntries.push_back(suffix);
    candidates.coveringLengths |= lengthBit(suffix.size());
  }
}

}  // namespace

std::string_view normalizedHostView(std::string_view value, std::deque<std::string>& storage) {
  if (!isLowercase(value)) value = storage.emplace_back(lowercased(value));
  return withoutWwwPrefix(trimmed(value));
}

std::string normalizeHostValue(std::string_view value) {
  return std::string(withoutWwwPrefix(trimmed(lowercased(value))));
}

std::optional<std::string> normalizedHost(std::string_view urlText) {
  auto url = parseUrl(urlText);
  if (!url || !url->host) return std::nullopt;
  std::string host = lowercased(*url->host);
  // Emptiness is judged before trimming: a host of blanks is still a host.
  if (host.empty()) return std::nullopt;
  return std::string(withoutWwwPrefix(trimmed(host)));
}

CandidateHosts candidateHostsOf(JsonObject intent) {
  CandidateHosts candidates;
  for (auto [outer, inner] : {std::pair{"sourceContext", "pageUrl"}, {"resource", "url"}, {"manifest", "url"}}) {
    auto url = nestedStringAt(intent, outer, inner);
    if (!url) continue;
    auto host = normalizedHost(*url);
    if (!host) continue;
    // A second pass takes off a "www." that the first left.
    std::string twice = normalizeHostValue(*host);
    if (std::find(candidates.hosts.begin(), candidates.hosts.end(), twice) == candidates.hosts.end())
      candidates.hosts.push_back(std::move(twice));
  }
  for (const std::string& host : candidates.hosts) addCoveringEntries(candidates, host);
  return candidates;
}

bool matchesAnyCandidateHost(const CandidateHosts& candidates, const HostSet& suffixes) {
  if (candidates.coveringEntries.empty()) return false;
  for (std::string_view entry : suffixes) {
    if (!(candidates.coveringLengths & lengthBit(entry.size()))) continue;
    for (std::string_view covering : candidates.coveringEntries) {
      if (covering == entry) return true;
    }
  }
  return false;
}

bool matchesAnyCandidateHost(JsonObject intent, const HostSet& suffixes) {
  if (suffixes.empty()) return false;
  return matchesAnyCandidateHost(candidateHostsOf(intent), suffixes);
}

}  // namespace qorda
