// Arbitrary text through the URL layer, host lists and bypass rules. The
// input's first line is the URL; every line is also a rule pattern, tried in
// every scope, a host-list entry and a host. Walked and indexed matching must
// agree with a plain reading of each rule. (Forms of a URL: the unit table.)
#include "fuzz_support.h"
#include "matching/bypass_rules.h"
#include "matching/host_matching.h"

#include <array>
#include <cstdint>

namespace {

using qorda::fuzz::fail;

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

// The first covering entry of a list of every line, as written and
// normalised, for the lines' hosts: the same walked and indexed.
void checkHostList(const std::vector<std::string_view>& lines) {
  qorda::HostList list;
  std::deque<std::string> storage;
  std::vector<std::string> hosts;
  for (std::string_view line : lines) {
    list.entries.insert(list.entries.end(), {line, qorda::normalizedListEntry(line, storage)});
    hosts.push_back(qorda::normalizeHostValue(line));
    if (auto host = qorda::normalizedUrlHost(line)) hosts.push_back(*host);
  }
  auto walked = qorda::findCoveringEntry(list, hosts);
  qorda::indexHostList(list);
  auto indexed = qorda::findCoveringEntry(list, hosts);
  if (walked.has_value() != indexed.has_value() ||
      (walked && (walked->host != indexed->host || walked->entry != indexed->entry)))
    fail("walked and indexed host lists differ", lines[0]);
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
  if (forms) checkRules(lines[0], *forms, lines);
  checkHostList(lines);
  return 0;
}
