// The user's direct-link bypass rules and the matcher that applies them to
// one resource URL.
#pragma once

#include "url_components.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qorda {

inline constexpr std::string_view exactURLScope = "exactURL";
inline constexpr std::string_view pathPrefixScope = "pathPrefix";
inline constexpr std::string_view hostAllScope = "hostAll";

// One rule as published; scope and pattern are kept exactly as written.
struct DirectLinkBypassRule {
  std::string_view scope;
  std::string_view pattern;
  bool enabled = true;
  // A "hostAll" pattern normalised once when the rule is loaded, instead of
  // for every message; normalised on the spot when absent.
  std::optional<std::string_view> hostPattern;
};

// The textual forms of a URL that rules are written in.
struct BypassForms {
  std::string exact;   // scheme and host normalised, no fragment
  std::string prefix;  // scheme://host[:port]path, "/" for an empty path
  std::string host;    // the normalised host
};

// The forms of a URL, or nothing when no rule can match it: only http and
// https URLs with a host match.
std::optional<BypassForms> bypassFormsOf(const UrlComponents& url);

// The enabled rules by scope: equality rules in hash maps (pattern to first
// position), prefix rules in order. Worth building when many URLs are tried.
struct BypassRuleIndex {
  bool built = false;
  std::unordered_map<std::string_view, std::size_t> exactURLs;
  std::unordered_map<std::string_view, std::size_t> hosts;
  std::vector<std::size_t> pathPrefixes;
};

BypassRuleIndex indexBypassRules(const std::vector<DirectLinkBypassRule>& rules);

// The position of the first enabled rule that covers a URL of these forms:
// "exactURL" by equality with the exact form, "pathPrefix" as a prefix of the
// prefix form, "hostAll" by equality of normalised hosts.
std::optional<std::size_t> firstMatchingRule(const BypassForms& forms,
                                             const std::vector<DirectLinkBypassRule>& rules,
                                             const BypassRuleIndex& index = {});

}  // namespace qorda
