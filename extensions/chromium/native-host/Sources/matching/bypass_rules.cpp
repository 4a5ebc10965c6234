#include "bypass_rules.h"

#include "host_matching.h"
#include "text.h"

namespace qorda {
namespace {

bool matchesRule(const DirectLinkBypassRule& rule, const BypassForms& forms) {
  if (!rule.enabled) return false;
  if (rule.scope == exactURLScope) return rule.pattern == forms.exact;
  if (rule.scope == pathPrefixScope) return std::string_view(forms.prefix).starts_with(rule.pattern);
  if (rule.scope == hostAllScope) return normalizeHostValue(rule.pattern) == forms.host;
  return false;
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
  forms.prefix.append(scheme).append("://").append(brackets ? "[" : "").append(forms.host).append(brackets ? "]" : "");
  if (url.port) forms.prefix.append(":").append(*url.port);
  forms.prefix.append(url.path.empty() ? std::string_view("/") : url.path);
  return forms;
}

std::optional<BypassForms> bypassFormsOf(std::string_view url) {
  auto components = parseUrl(url);
  return components ? bypassFormsOf(*components) : std::nullopt;
}

std::optional<std::size_t> firstMatchingRule(const BypassForms& forms, const std::vector<DirectLinkBypassRule>& rules) {
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (matchesRule(rules[i], forms)) return i;
  }
  return std::nullopt;
}

bool matchesDirectLinkBypassRule(std::string_view url, const std::vector<DirectLinkBypassRule>& rules) {
  if (rules.empty()) return false;
  auto forms = bypassFormsOf(url);
  return forms && firstMatchingRule(*forms, rules);
}

}  // namespace qorda
