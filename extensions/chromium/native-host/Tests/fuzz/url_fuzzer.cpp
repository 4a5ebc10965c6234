// Arbitrary text through the URL layer, host normalisation and the bypass
// rules. The input's first line is the URL; every further line is a rule
// pattern, tried in every scope, and a host-list entry.
#include "answer_checks.h"
#include "host/json_writer.h"
#include "host_checks.h"
#include "matching/bypass_rules.h"
#include "matching/url_components.h"

#include <simdjson.h>

#include <cstdint>

namespace {

using qorda::fuzz::fail;

std::vector<std::string_view> linesOf(std::string_view text) {
  std::vector<std::string_view> lines;
  for (;;) {
    std::size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) return lines;
    text.remove_prefix(end + 1);
  }
}

bool within(std::string_view part, std::string_view text) {
  return part.empty() || (part.data() >= text.data() && part.data() + part.size() <= text.data() + text.size());
}

void checkComponents(std::string_view url) {
  auto components = qorda::parseUrl(url);
  if (!components) return;
  for (auto part : {components->scheme, components->userInfo, components->query, components->fragment}) {
    if (part && !within(*part, url)) fail("component outside the URL text", url);
  }
  if (!within(components->path, url)) fail("path outside the URL text", url);
  if (components->path.find_first_of("?#") != std::string_view::npos) fail("path holds a query or fragment", url);
  if (components->query && components->query->find('#') != std::string_view::npos) fail("query holds a fragment", url);
  auto host = qorda::normalizedHost(url);
  if (host.has_value() != (components->host && !components->host->empty())) fail("normalizedHost presence", url);
  if (host) qorda::fuzz::checkNormalisedHost(*components->host, *host);
}

bool matches(std::string_view url, std::string_view scope, std::string_view pattern, bool enabled = true) {
  return qorda::matchesDirectLinkBypassRule(url, {{scope, pattern, enabled}});
}

void checkForms(std::string_view url) {
  auto forms = qorda::bypassFormsOf(url);
  if (!forms) {
    if (matches(url, qorda::pathPrefixScope, "")) fail("a URL without forms matched a rule", url);
    return;
  }
  auto components = qorda::parseUrl(url);
  qorda::fuzz::checkNormalisedHost(*components->host, forms->host);
  if (forms->exact.find('#') != std::string::npos) fail("exact form holds a \"#\"", forms->exact);
  // The prefix form ends with the path: no query, no fragment. Its host is
  // the decoded one, so a "#" or "?" may stand there.
  if (!forms->prefix.ends_with(components->path.empty() ? "/" : components->path))
    fail("prefix form does not end with the path", url);
  for (std::string_view form : {std::string_view(forms->exact), std::string_view(forms->prefix)}) {
    if (!form.starts_with("http://") && !form.starts_with("https://")) fail("form without its scheme", form);
  }
  // A URL is covered by rules written from its own forms.
  if (!matches(url, qorda::exactURLScope, forms->exact)) fail("own exact form did not match", url);
  if (!matches(url, qorda::pathPrefixScope, forms->prefix)) fail("own prefix form did not match", url);
  if (!matches(url, qorda::pathPrefixScope, "")) fail("empty prefix did not match", url);
  bool idempotentHost = qorda::normalizeHostValue(forms->host) == forms->host;
  if (idempotentHost && !matches(url, qorda::hostAllScope, forms->host)) fail("own host did not match", url);
  if (matches(url, qorda::exactURLScope, forms->exact, false)) fail("a disabled rule matched", url);
  if (matches(url, "ExactURL", forms->exact)) fail("a scope in other letter case matched", url);
  // The exact form is itself a URL, with the same forms.
  if (idempotentHost && !components->hostIsIPLiteral) {
    auto again = qorda::bypassFormsOf(forms->exact);
    if (!again || again->exact != forms->exact || again->prefix != forms->prefix)
      fail("exact form does not read back as itself", url);
  }
}

void checkRuleList(std::string_view url, const std::vector<std::string_view>& patterns) {
  std::vector<qorda::DirectLinkBypassRule> rules;
  bool anyAlone = false;
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    for (std::string_view scope : {qorda::exactURLScope, qorda::pathPrefixScope, qorda::hostAllScope}) {
      bool enabled = (i + scope.size()) % 3 != 0;
      rules.push_back({scope, patterns[i], enabled});
      anyAlone = anyAlone || matches(url, scope, patterns[i], enabled);
    }
  }
  if (qorda::matchesDirectLinkBypassRule(url, rules) != anyAlone) fail("list match differs from its rules'", url);
}

// Host-list matching against the rule it stands for: a candidate host is
// covered by an entry equal to it or to the part after one of its dots.
void checkHostList(const std::vector<std::string_view>& lines) {
  std::string intent = "{";
  const char* paths[][2] = {{"sourceContext", "pageUrl"}, {"resource", "url"}, {"manifest", "url"}};
  for (std::size_t i = 0; i < 3 && i < lines.size(); ++i) {
    if (i > 0) intent += ',';
    intent.append("\"").append(paths[i][0]).append("\":{\"").append(paths[i][1]).append("\":");
    qorda::appendJsonString(intent, lines[i]);
    intent += '}';
  }
  intent += '}';
  simdjson::dom::parser parser;
  simdjson::dom::object object;
  // Ill-formed UTF-8 never reaches evaluation: the message would not decode.
  if (parser.parse(simdjson::padded_string(intent)).get(object)) return;
  qorda::CandidateHosts candidates = qorda::candidateHostsOf(object);
  qorda::HostSet entries;
  std::deque<std::string> storage;
  for (std::string_view line : lines) {
    entries.push_back(line);
    entries.push_back(storage.emplace_back(qorda::normalizeHostValue(line)));
  }
  for (std::string_view entry : entries) {
    bool covered = false;
    for (std::string_view host : candidates.hosts) {
      covered = covered || host == entry || (host.size() > entry.size() && host.ends_with(entry) &&
                                             host[host.size() - entry.size() - 1] == '.');
    }
    if (qorda::matchesAnyCandidateHost(candidates, {entry}) != covered) fail("host-list match", entry);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  auto lines = linesOf(text);
  std::string_view url = lines[0];
  checkComponents(url);
  checkForms(url);
  for (std::string_view line : lines) qorda::fuzz::checkNormalisedHost(line, qorda::normalizeHostValue(line));
  checkRuleList(url, {lines.begin() + 1, lines.end()});
  checkHostList(lines);
  return 0;
}
