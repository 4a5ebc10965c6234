#include "bypass_rules.h"

#include "host_matching.h"
#include "text.h"

#include <algorithm>

namespace qorda {
namespace {

std::string hostPatternOf(const DirectLinkBypassRule& rule) {
  return rule.hostPattern ? std::string(*rule.hostPattern) : normalizeHostValue(rule.pattern);
}

bool matchesRule(const DirectLinkBypassRule& rule, const BypassForms& forms) {
  if (!rule.enabled) return false;
  if (rule.scope == exactURLScope) return rule.pattern == forms.exact;
  if (rule.scope == pathPrefixScope) return std::string_view(forms.prefix).starts_with(rule.pattern);
  if (rule.scope == hostAllScope) return hostPatternOf(rule) == forms.host;
  return false;
}

std::optional<std::size_t> lookUp(const std::unordered_map<std::string_view, std::size_t>& map,
                                  std::string_view key) {
  auto found = map.find(key);
  return found == map.end() ? std::nullopt : std::optional(found->second);
}

std::optional<std::size_t> earlier(std::optional<std::size_t> a, std::optional<std::size_t> b) {
  return a && b ? std::min(*a, *b) : a ? a : b;
}

}  // namespace

std::optional<BypassForms> bypassFormsOf(const UrlComponents& url) {
  if (!hasHttpScheme(url) || !url.host) return std::nullopt;
  std::string scheme = lowercased(*url.scheme);
  BypassForms forms;
  forms.host = normalizeHostValue(*url.host);
  forms.exact = recomposedUrl(url, scheme, forms.host);
  // An IP literal is written in brackets, as in the URL the user sees.
  bool brackets = url.hostIsIPLiteral;
  forms.prefix.append(scheme)
      .append("://")
      .append(brackets ? "[" : "")
      .append(forms.host)
      .append(brackets ? "]" : "");
  if (url.port) forms.prefix.append(":").append(*url.port);
  forms.prefix.append(url.path.empty() ? std::string_view("/") : url.path);
  return forms;
}

BypassRuleIndex indexBypassRules(const std::vector<DirectLinkBypassRule>& rules) {
  BypassRuleIndex index;
  index.built = true;
  for (std::size_t i = 0; i < rules.size(); ++i) {
    const DirectLinkBypassRule& rule = rules[i];
    if (!rule.enabled) continue;
    if (rule.scope == exactURLScope) index.exactURLs.try_emplace(rule.pattern, i);
    if (rule.scope == pathPrefixScope) index.pathPrefixes.push_back(i);
    // Only a pattern normalised at load time outlives this call.
    if (rule.scope == hostAllScope && rule.hostPattern) index.hosts.try_emplace(*rule.hostPattern, i);
    if (rule.scope == hostAllScope && !rule.hostPattern) index.pathPrefixes.push_back(i);
  }
  return index;
}

std::optional<std::size_t> firstMatchingRule(const BypassForms& forms,
                                             const std::vector<DirectLinkBypassRule>& rules,
                                             const BypassRuleIndex& index) {
  if (!index.built) {
    for (std::size_t i = 0; i < rules.size(); ++i) {
      if (matchesRule(rules[i], forms)) return i;
    }
    return std::nullopt;
  }
  std::optional<std::size_t> first =
      earlier(lookUp(index.exactURLs, forms.exact), lookUp(index.hosts, forms.host));
  std::string_view prefix = forms.prefix;
  for (std::size_t i : index.pathPrefixes) {
    if (first && i > *first) break;
    const DirectLinkBypassRule& rule = rules[i];
    // Refused cheaply by the pattern's last byte before the full comparison.
    bool refused =
        rule.scope == pathPrefixScope && !rule.pattern.empty() &&
        (rule.pattern.size() > prefix.size() || rule.pattern.back() != prefix[rule.pattern.size() - 1]);
    if (!refused && matchesRule(rule, forms)) return i;
  }
  return first;
}

}  // namespace qorda
