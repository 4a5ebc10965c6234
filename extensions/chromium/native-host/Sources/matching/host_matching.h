// The normalised host, and matching of a request's hosts against host lists.
#pragma once

#include "../host/json_message.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qorda {

// Normalised host entries. An entry may repeat; repeats change no match.
using HostSet = std::vector<std::string_view>;

// Lower-cased, trimmed of white space and line breaks, and stripped of one
// leading "www." when at least one character follows it.
std::string normalizeHostValue(std::string_view value);

// normalizeHostValue without a copy when value needs no lower-casing: the
// result points into value, or into a string added to storage.
std::string_view normalizedHostView(std::string_view value, std::deque<std::string>& storage);

// The normalised host of a URL text, or nothing when it has no non-empty host.
std::optional<std::string> normalizedHost(std::string_view urlText);

// The hosts of a request's page, resource and manifest URLs, computed once
// per evaluation, and every entry that would cover one of them.
// Not copyable: the covering entries point into hosts.
struct CandidateHosts {
  CandidateHosts() = default;
  CandidateHosts(CandidateHosts&&) = default;
  CandidateHosts& operator=(CandidateHosts&&) = default;
  CandidateHosts(const CandidateHosts&) = delete;
  CandidateHosts& operator=(const CandidateHosts&) = delete;

  std::vector<std::string> hosts;
  std::vector<std::string_view> coveringEntries;  // each host, and each part after one of its dots
  std::uint64_t coveringLengths = 0;              // bit n set: an entry of length n covers; bit 63: any longer
};

CandidateHosts candidateHostsOf(JsonObject intent);

// True when an entry equals a candidate host or names a domain above it.
bool matchesAnyCandidateHost(const CandidateHosts& candidates, const HostSet& suffixes);
bool matchesAnyCandidateHost(JsonObject intent, const HostSet& suffixes);

}  // namespace qorda
