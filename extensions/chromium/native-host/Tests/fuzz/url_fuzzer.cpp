// Arbitrary text through the URL layer, host normalisation, host lists and
// the bypass rules. The input's first line is the URL; every line is also a
// rule pattern, tried in every scope, a host-list entry and a host.
#include "fuzz_support.h"
#include "matching/bypass_rules.h"
#include "matching/host_matching.h"

#include <array>
#include <cstdint>

namespace {

using qorda::fuzz::fail;

bool matches(std::string_view url, std::string_view scope, std::string_view pattern, bool enabled = true) {
  return qorda::matchesDirectLinkBypassRule(url, {{scope, pattern, enabled, std::nullopt}});
}

void checkComponents(std::string_view url, const qorda::UrlComponents& components) {
  if (components.port && components.port->size() > 1 && components.port->starts_with('0'))
    fail("port's zeros", url);
  auto host = qorda::normalizedUrlHost(url);
  if (host.has_value() != (components.host && !components.host->empty()))
    fail("normalizedUrlHost presence", url);
  if (host) qorda::fuzz::checkNormalisedHost(*components.host, *host);
}

// A URL is covered by rules written from its own forms, and the exact form
// reads back as itself.
void checkForms(std::string_view url, const qorda::UrlComponents& components) {
  auto forms = qorda::bypassFormsOf(url);
  if (!forms) {
    if (matches(url, qorda::pathPrefixScope, "")) fail("a URL without forms matched a rule", url);
    return;
  }
  qorda::fuzz::checkNormalisedHost(*components.host, forms->host);
  // The prefix form's host is the decoded one, so a "#" or "?" may stand there.
  if (!forms->prefix.ends_with(components.path.empty() ? "/" : components.path))
    fail("prefix form's end", url);
  if (forms->exact.find('#') != std::string::npos || !matches(url, qorda::exactURLScope, forms->exact))
    fail("own exact form holds a fragment or did not match", url);
  if (!matches(url, qorda::pathPrefixScope, forms->prefix) || !matches(url, qorda::pathPrefixScope, ""))
    fail("own prefix form or empty prefix did not match", url);
  bool idempotentHost = qorda::normalizeHostValue(forms->host) == forms->host;
  if (idempotentHost && !matches(url, qorda::hostAllScope, forms->host)) fail("own host did not match", url);
  if (idempotentHost && !components.hostIsIPLiteral) {
    auto again = qorda::bypassFormsOf(forms->exact);
    if (!again || again->exact != forms->exact || again->prefix != forms->prefix)
      fail("exact form read back", url);
  }
}

// The first matching rule, walked and indexed, against each rule alone; every
// other rule carries its host pattern normalised, as a loaded snapshot's do.
void checkRules(std::string_view url, const std::vector<std::string_view>& patterns) {
  auto forms = qorda::bypassFormsOf(url);
  std::vector<qorda::DirectLinkBypassRule> rules;
  std::deque<std::string> storage;
  std::optional<std::size_t> expected;
  for (std::size_t i = 0; forms && i < 3 * patterns.size(); ++i) {
    std::string_view scope =
        std::array{qorda::exactURLScope, qorda::pathPrefixScope, qorda::hostAllScope}[i % 3];
    auto host = i % 2 ? std::optional(qorda::normalizedListEntry(patterns[i / 3], storage)) : std::nullopt;
    rules.push_back({scope, patterns[i / 3], i % 7 != 0, host});
    if (!expected && qorda::firstMatchingRule(*forms, {rules.back()})) expected = i;
  }
  if (forms && (qorda::firstMatchingRule(*forms, rules) != expected ||
                qorda::firstMatchingRule(*forms, rules, qorda::indexBypassRules(rules)) != expected))
    fail("first matching rule, walked or indexed", url);
}

// The first covering entry, walked and indexed, against a plain reading of
// the rule: an entry covers a host equal to it or ending in "." and it.
void checkHostList(const std::vector<std::string_view>& lines) {
  qorda::HostList list;
  std::deque<std::string> storage;
  std::vector<std::string> hosts;
  for (std::string_view line : lines) {
    std::string_view normalized = qorda::normalizedListEntry(line, storage);
    qorda::fuzz::checkNormalisedHost(line, normalized);
    list.entries.insert(list.entries.end(), {line, normalized});
    hosts.emplace_back(normalized);
    if (auto host = qorda::normalizedUrlHost(line)) hosts.push_back(*host);
  }
  for (std::size_t i = 0; i < list.entries.size(); ++i) list.origins.push_back(3 * i + 1);
  std::optional<std::pair<std::size_t, std::size_t>> expected;
  for (std::size_t i = 0; i < list.entries.size() && !expected; ++i) {
    std::string_view entry = list.entries[i];
    for (std::size_t h = 0; h < hosts.size() && !expected; ++h) {
      std::string_view host = hosts[h];
      bool below =
          host.size() > entry.size() && host.ends_with(entry) && host[host.size() - entry.size() - 1] == '.';
      if (host == entry || below) expected = {h, list.origins[i]};
    }
  }
  for (const char* way : {"walked host list", "indexed host list"}) {
    auto found = qorda::findCoveringEntry(list, hosts);
    if (found ? expected != std::pair(found->host, found->entry) : expected.has_value()) fail(way, lines[0]);
    qorda::indexHostList(list);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> lines;
  for (std::size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
    end = text.find('\n', start);
    lines.push_back(std::string_view(text).substr(start, end == std::string::npos ? end : end - start));
  }
  if (auto components = qorda::parseUrl(lines[0])) {
    checkComponents(lines[0], *components);
    checkForms(lines[0], *components);
  }
  checkRules(lines[0], lines);
  checkHostList(lines);
  return 0;
}
