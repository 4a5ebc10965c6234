#include "bypass_rules.h"

#include "host_matching.h"
#include "text.h"
#include "url_components.h"

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

std::optional<BypassForms> bypassFormsOf(std::string_view url) {
  auto components = parseUrl(url);
  if (!components || !components->scheme) return std::nullopt;
  std::string scheme = lowercased(*components->scheme);
  if (scheme != "http" && scheme != "https") return std::nullopt;
  if (!components->host) return std::nullopt;

  BypassForms forms;
  forms.host = normalizeHostValue(*components->host);
  forms.exact = recomposedUrl(*components, scheme, forms.host);
  // An IP literal is written in brackets, as in the URL the user sees.
  bool brackets = components->hostIsIPLiteral;
  forms.prefix.append(scheme).append("://").append(brackets ? "[" : "").append(forms.host).append(brackets ? "]" : "");
  if (components->port) forms.prefix.append(":").append(std::to_string(*components->port));
  forms.prefix.append(components->path.empty() ? std::string_view("/") : components->path);
  return forms;
}

bool matchesDirectLinkBypassRule(std::string_view url, const std::vector<DirectLinkBypassRule>& rules) {
  if (rules.empty()) return false;
  auto forms = bypassFormsOf(url);
  if (!forms) return false;
  for (const DirectLinkBypassRule& rule : rules) {
    if (matchesRule(rule, *forms)) return true;
  }
  return false;
}

}  // namespace qorda
