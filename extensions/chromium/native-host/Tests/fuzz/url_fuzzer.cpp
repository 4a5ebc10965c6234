// Arbitrary text through the URL layer, host lists and bypass rules. The
// input's first line is the URL; every line is also a rule pattern, tried in
// every scope, a host-list entry and a host. Walked and indexed matching must
// agree with a plain reading of each rule.
#include "fuzz_support.h"
#include "matching/bypass_rules.h"
#include "matching/host_matching.h"

#include <array>
#include <cstdint>

namespace {

using qorda::fuzz::fail;

// A URL is covered by rules written in its own forms, and its exact form
// reads back as itself.
void checkForms(std::string_view url, const qorda::BypassForms& forms, bool ipLiteral) {
  using Rules = std::vector<qorda::DirectLinkBypassRule>;
  auto matches = [&](std::string_view scope, std::string_view pattern) {
    return qorda::firstMatchingRule(forms, Rules{{scope, pattern, true, std::nullopt}}).has_value();
  };
  if (forms.exact.find('#') != std::string::npos || !matches(qorda::exactURLScope, forms.exact) ||
      !matches(qorda::pathPrefixScope, forms.prefix) || !matches(qorda::pathPrefixScope, ""))
    fail("own exact or prefix form holds a fragment or did not match", url);
  if (qorda::normalizeHostValue(forms.host) != forms.host || ipLiteral) return;
  if (!matches(qorda::hostAllScope, forms.host)) fail("own host did not match", url);
  auto again = qorda::parseUrl(forms.exact);
  auto formsAgain = again ? qorda::bypassFormsOf(*again) : std::nullopt;
  if (!formsAgain || formsAgain->exact != forms.exact || formsAgain->prefix != forms.prefix)
    fail("exact form read back", url);
}

// The first matching rule, walked and indexed, against each rule alone; odd
// rules carry their host pattern normalised, as a loaded snapshot's do.
void checkRules(std::string_view url, const qorda::BypassForms& forms,
                const std::vector<std::string_view>& lines) {
  std::vector<qorda::DirectLinkBypassRule> rules;
  std::deque<std::string> storage;
  std::optional<std::size_t> expected;
  for (std::size_t i = 0; i < 3 * lines.size(); ++i) {
    std::string_view scope =
        std::array{qorda::exactURLScope, qorda::pathPrefixScope, qorda::hostAllScope}[i % 3];
    auto host = i % 2 ? std::optional(qorda::normalizedListEntry(lines[i / 3], storage)) : std::nullopt;
    rules.push_back({scope, lines[i / 3], i % 7 != 0, host});
    if (!expected && qorda::firstMatchingRule(forms, {rules.back()})) expected = i;
  }
  if (qorda::firstMatchingRule(forms, rules) != expected ||
      qorda::firstMatchingRule(forms, rules, qorda::indexBypassRules(rules)) != expected)
    fail("first matching rule, walked or indexed", url);
}

// The first covering entry, walked and indexed: an entry covers a host equal
// to it or ending in "." and it.
void checkHostList(const std::vector<std::string_view>& lines) {
  qorda::HostList list;
  std::deque<std::string> storage;
  std::vector<std::string> hosts;
  for (std::string_view line : lines) {
    std::string_view normalized = qorda::normalizedListEntry(line, storage);
    if (normalized != qorda::normalizeHostValue(line)) fail("list entry normalised otherwise", line);
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
  auto components = qorda::parseUrl(lines[0]);
  auto forms = components ? qorda::bypassFormsOf(*components) : std::nullopt;
  if (forms) checkForms(lines[0], *forms, components->hostIsIPLiteral);
  if (forms) checkRules(lines[0], *forms, lines);
  checkHostList(lines);
  return 0;
}
