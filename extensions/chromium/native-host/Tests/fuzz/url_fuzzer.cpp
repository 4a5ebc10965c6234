// Arbitrary text through the URL layer and the bypass rules. The input's
// first line is the URL; every line is also a rule pattern, tried in every
// scope. Walked and indexed matching must agree with each rule alone. (Host
// lists walked against indexed: the snapshot fuzzer.)
#include "fuzz_support.h"
#include "matching/bypass_rules.h"
#include "matching/host_matching.h"

#include <array>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> lines;
  for (std::size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
    end = text.find('\n', start);
    lines.push_back(std::string_view(text).substr(start, end == std::string::npos ? end : end - start));
  }
  auto components = qorda::parseUrl(lines[0]);
  auto forms = components ? qorda::bypassFormsOf(*components) : std::nullopt;
  if (!forms) return 0;
  // The first matching rule, walked and indexed, against each rule alone;
  // odd rules carry their host pattern normalised, as a loaded snapshot's do.
  std::vector<qorda::DirectLinkBypassRule> rules;
  std::deque<std::string> storage;
  std::optional<std::size_t> expected;
  for (std::size_t i = 0; i < 3 * lines.size(); ++i) {
    std::string_view scope =
        std::array{qorda::exactURLScope, qorda::pathPrefixScope, qorda::hostAllScope}[i % 3];
    auto host = i % 2 ? std::optional(qorda::normalizedListEntry(lines[i / 3], storage)) : std::nullopt;
    rules.push_back({scope, lines[i / 3], i % 7 != 0, host});
    if (!expected && qorda::firstMatchingRule(*forms, {rules.back()})) expected = i;
  }
  if (qorda::firstMatchingRule(*forms, rules) != expected ||
      qorda::firstMatchingRule(*forms, rules, qorda::indexBypassRules(rules)) != expected)
    qorda::fuzz::fail("first matching rule, walked or indexed", lines[0]);
  return 0;
}
