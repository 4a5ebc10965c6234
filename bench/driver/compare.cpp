// The host beside the limit and the peers: one-shot, ping-pong and pipelined,
// in each mix, the hosts taking turns sample by sample.
#include "inbox.h"
#include "modes.h"
#include "report.h"
#include "sections.h"
#include "stats.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <stdexcept>

namespace qorda::bench {
namespace {

using Samples = std::map<HostKind, std::vector<double>>;

// The order of the hosts changes from round to round, so that none is always
// the one right after a slow peer.
std::vector<HostKind> roundOrder(std::size_t round) {
  std::vector<HostKind> order(std::begin(allHostKinds), std::end(allHostKinds));
  std::rotate(order.begin(), order.begin() + static_cast<long>(round % order.size()), order.end());
  return order;
}

// Our takeovers fill the inbox; each sample starts from an empty one.
void beforeSample(const Session& session, HostKind kind, Mix mix) {
  if (kind == HostKind::ours && mix == Mix::takeover) seedInbox(inboxPath(session), 0);
}

std::vector<std::string> framesOf(Mix mix, std::size_t count) {
  std::vector<std::string> messages = requestMessages(mix), frames;
  for (std::size_t i = 0; i < count; ++i) frames.push_back(frameOf(messages[i % messages.size()]));
  return frames;
}

void progress(std::string_view what, Mix mix) {
  std::fprintf(stderr, "  %.*s, %.*s mix...\n", static_cast<int>(what.size()), what.data(),
               static_cast<int>(mixName(mix).size()), mixName(mix).data());
}

Samples sampleOneShot(const Session& session, Mix mix, std::size_t rounds) {
  Samples samples;
  std::vector<std::string> frames = framesOf(mix, 4);
  for (std::size_t round = 0; round < rounds; ++round) {
    for (HostKind kind : roundOrder(round)) {
      beforeSample(session, kind, mix);
      auto times = oneShot(hostCommand(session, kind, mix), frames[round % frames.size()]);
      if (!times) throw std::runtime_error(std::string(hostLabel(kind)) + " failed a one-shot message");
      samples[kind].push_back(times->toExit);
    }
  }
  return samples;
}

Samples sampleStartUp(const Session& session, std::size_t rounds) {
  Samples samples;
  for (std::size_t round = 0; round < rounds; ++round) {
    for (HostKind kind : roundOrder(round)) {
      auto time = startUpOnly(hostCommand(session, kind, Mix::requestChecks));
      if (!time) throw std::runtime_error(std::string(hostLabel(kind)) + " failed to start and end");
      samples[kind].push_back(*time);
    }
  }
  return samples;
}

Samples samplePingPong(const Session& session, Mix mix, const RunSize& size) {
  Samples samples;
  std::size_t count = mix == Mix::takeover ? size.takeoverPingPongMessages : size.pingPongMessages;
  std::vector<std::string> frames = framesOf(mix, count);
  for (std::size_t round = 0; round < size.pingPongRounds; ++round) {
    for (HostKind kind : roundOrder(round)) {
      beforeSample(session, kind, mix);
      if (!pingPong(hostCommand(session, kind, mix), frames, samples[kind]))
        throw std::runtime_error(std::string(hostLabel(kind)) + " failed in ping-pong");
    }
  }
  return samples;
}

Samples samplePipelined(const Session& session, Mix mix, const RunSize& size) {
  Samples samples;
  std::size_t count = mix == Mix::takeover ? size.takeoverPipelinedMessages : size.pipelinedMessages;
  std::string batch = batchOf(requestMessages(mix), count);
  std::string warmUp = frameOf(requestMessages(mix).front());
  std::size_t replyLength = session.replies[static_cast<std::size_t>(mix)].size();
  for (std::size_t round = 0; round < size.pipelinedRounds; ++round) {
    for (HostKind kind : roundOrder(round)) {
      beforeSample(session, kind, mix);
      auto rate = pipelined(hostCommand(session, kind, mix), warmUp, batch, count, replyLength);
      if (!rate) throw std::runtime_error(std::string(hostLabel(kind)) + " failed in pipelined mode");
      samples[kind].push_back(*rate);
    }
  }
  return samples;
}

struct MixResult {
  Mix mix;
  std::map<HostKind, Summary> summaries;
  std::map<HostKind, double> worst;  // pipelined: the slowest round
};

// Median and p99 per host for time samples; for rates the median and the
// slowest round.
MixResult summarizeMix(Mix mix, const Samples& samples, bool rates) {
  MixResult result{mix, {}, {}};
  for (const auto& [kind, values] : samples) {
    result.summaries[kind] = summarize(values);
    if (rates) result.worst[kind] = *std::min_element(values.begin(), values.end());
  }
  return result;
}

Table timeTable(std::string title, const std::vector<MixResult>& results, std::string note,
                std::string_view mixColumn = "mix") {
  Table table{std::move(title),
              {std::string(mixColumn), "host", "median", "p99", "median ÷ limit", "p99 ÷ limit"},
              {},
              std::move(note)};
  for (const MixResult& result : results) {
    const Summary& limit = result.summaries.at(HostKind::limit);
    for (HostKind kind : allHostKinds) {
      const Summary& s = result.summaries.at(kind);
      std::string mix = mixColumn == "mix" ? std::string(mixName(result.mix)) : "no frame";
      table.rows.push_back({mix, std::string(hostLabel(kind)), formatDuration(s.median),
                            formatDuration(s.p99), formatRatio(s.median / limit.median),
                            formatRatio(s.p99 / limit.p99)});
    }
  }
  return table;
}

Table rateTable(std::string title, const std::vector<MixResult>& results, std::string note) {
  Table table{
      std::move(title), {"mix", "host", "median", "slowest round", "median ÷ limit"}, {}, std::move(note)};
  for (const MixResult& result : results) {
    double limit = result.summaries.at(HostKind::limit).median;
    for (HostKind kind : allHostKinds) {
      const Summary& s = result.summaries.at(kind);
      table.rows.push_back({std::string(mixName(result.mix)), std::string(hostLabel(kind)),
                            formatRate(s.median), formatRate(result.worst.at(kind)),
                            formatRatio(s.median / limit)});
    }
  }
  return table;
}

double medianOf(const MixResult& result, HostKind kind) { return result.summaries.at(kind).median; }

void judgeOneShot(const std::vector<MixResult>& results, const std::string& reportDir) {
  const MixResult& checks = results.front();
  double ratio = medianOf(checks, HostKind::ours) / medianOf(checks, HostKind::limit);
  recordVerdict({"one-shot", "request checks: ≤ 2.5× the static C host, spawn to exit",
                 formatDuration(medianOf(checks, HostKind::ours)) + " = " + formatRatio(ratio) + " limit",
                 ratio <= 2.5},
                reportDir);
}

// Ours against the limit, within `bound`. Times are better low, rates high.
// The peers hand nothing off, so takeovers are judged against the hand-off
// limit instead (judgeTakeovers).
void judgeSteady(std::string_view mode, const std::vector<MixResult>& results, const std::string& reportDir,
                 bool timeFigures, double bound, std::string_view boundText) {
  for (const MixResult& result : results) {
    if (result.mix == Mix::takeover) continue;
    double ours = medianOf(result, HostKind::ours), limit = medianOf(result, HostKind::limit);
    double ratio = ours / limit;
    std::string label = std::string(mixName(result.mix));
    std::string shown = timeFigures ? formatDuration(ours) : formatRate(ours);
    recordVerdict(
        {std::string(mode), label + ": " + std::string(boundText),
         shown + " = " + formatRatio(ratio) + " limit", timeFigures ? ratio <= bound : ratio >= bound},
        reportDir);
  }
}

// Takeovers of ours and of the hand-off limit, taking turns: ping-pong round
// trips and pipelined replies per second.
struct TakeoverSamples {
  std::vector<double> pingPong[2], pipelined[2];  // [0] ours, [1] the hand-off limit
};

TakeoverSamples sampleTakeovers(const Session& session, const RunSize& size) {
  HostCommand commands[2] = {hostCommand(session, HostKind::ours, Mix::takeover),
                             hostCommand(session, HostKind::limit, Mix::takeover)};
  commands[1].label = "hand-off limit";
  commands[1].argv.front() = session.paths.handOffLimit;
  std::vector<std::string> frames = framesOf(Mix::takeover, size.takeoverPingPongMessages);
  std::string batch = batchOf(requestMessages(Mix::takeover), size.takeoverPipelinedMessages);
  std::size_t replyLength = session.replies[static_cast<std::size_t>(Mix::takeover)].size();
  TakeoverSamples samples;
  for (std::size_t round = 0; round < std::max(size.pingPongRounds, size.pipelinedRounds); ++round) {
    for (std::size_t host : {round % 2, 1 - round % 2}) {
      seedInbox(inboxPath(session), 0);
      if (round < size.pingPongRounds && !pingPong(commands[host], frames, samples.pingPong[host]))
        throw std::runtime_error(commands[host].label + " failed in ping-pong");
      seedInbox(inboxPath(session), 0);
      auto rate = round < size.pipelinedRounds ? pipelined(commands[host], frames.front(), batch,
                                                           size.takeoverPipelinedMessages, replyLength)
                                               : std::optional<double>(0.0);
      if (!rate) throw std::runtime_error(commands[host].label + " failed in pipelined mode");
      if (round < size.pipelinedRounds) samples.pipelined[host].push_back(*rate);
    }
  }
  return samples;
}

void judgeTakeovers(const Session& session, const RunSize& size, const std::string& reportDir) {
  progress("against the hand-off limit", Mix::takeover);
  TakeoverSamples samples = sampleTakeovers(session, size);
  Summary pingPong[2] = {summarize(samples.pingPong[0]), summarize(samples.pingPong[1])};
  Summary pipelined[2] = {summarize(samples.pipelined[0]), summarize(samples.pipelined[1])};
  emitTable(
      {"Takeovers against the hand-off limit (C, kept handles: the same insert, bus queries and signal)",
       {"host", "ping-pong median", "ping-pong p99", "pipelined, replies/s"},
       {{"Qorda host", formatDuration(pingPong[0].median), formatDuration(pingPong[0].p99),
         formatRate(pipelined[0].median)},
        {"hand-off limit", formatDuration(pingPong[1].median), formatDuration(pingPong[1].p99),
         formatRate(pipelined[1].median)}},
       "The two take turns, each sample on an emptied inbox, with the stand-in application running."},
      reportDir);
  double latency = pingPong[0].median / pingPong[1].median, rate = pipelined[0].median / pipelined[1].median;
  recordVerdict(
      {"ping-pong", "takeover: ≤ 1.5× the hand-off limit's round trip",
       formatDuration(pingPong[0].median) + " = " + formatRatio(latency) + " hand-off limit", latency <= 1.5},
      reportDir);
  recordVerdict({"pipelined", "takeover: ≥ ½ the hand-off limit's replies per second, and ≥ 10,000/s",
                 formatRate(pipelined[0].median) + " = " + formatRatio(rate) + " hand-off limit",
                 rate >= 0.5 && pipelined[0].median >= 10'000},
                reportDir);
}

}  // namespace

void compareHosts(Session& session, const RunSize& size, const std::string& reportDir) {
  std::vector<MixResult> oneShots, pingPongs, pipelines;
  std::fprintf(stderr, "  start-up alone...\n");
  MixResult startUp = summarizeMix(Mix::requestChecks, sampleStartUp(session, size.oneShotRounds), false);
  for (Mix mix : allMixes) {
    progress("one-shot", mix);
    oneShots.push_back(summarizeMix(mix, sampleOneShot(session, mix, size.oneShotRounds), false));
  }
  for (Mix mix : allMixes) {
    progress("ping-pong", mix);
    pingPongs.push_back(summarizeMix(mix, samplePingPong(session, mix, size), false));
  }
  for (Mix mix : allMixes) {
    progress("pipelined", mix);
    pipelines.push_back(summarizeMix(mix, samplePipelined(session, mix, size), true));
  }
  std::string rounds = std::to_string(size.oneShotRounds);
  emitTable(
      timeTable("Start-up alone: spawn, end of input at once, exit", {startUp},
                rounds + " processes per host, hosts taking turns: what every one-shot message pays before "
                         "its frame is read.",
                "input"),
      reportDir);
  emitTable(timeTable("One-shot: a fresh process per message, spawn to reply to exit", oneShots,
                      rounds + " processes per host and mix, hosts taking turns."),
            reportDir);
  emitTable(timeTable("Ping-pong: one process, one message at a time, round trip", pingPongs,
                      std::to_string(size.pingPongRounds) + " processes per host and mix, " +
                          std::to_string(size.pingPongMessages) + " round trips each (takeover: " +
                          std::to_string(size.takeoverPingPongMessages) + "), after 20 unmeasured."),
            reportDir);
  emitTable(rateTable("Pipelined: one process, all messages in flight, replies per second", pipelines,
                      std::to_string(size.pipelinedRounds) + " processes per host and mix, " +
                          std::to_string(size.pipelinedMessages) + " messages each (takeover: " +
                          std::to_string(size.takeoverPipelinedMessages) + ")."),
            reportDir);
  judgeOneShot(oneShots, reportDir);
  judgeSteady("ping-pong", pingPongs, reportDir, true, 1.15, "≤ 1.15× the limit's round trip");
  judgeSteady("pipelined", pipelines, reportDir, false, 0.5, "≥ ½ the limit's replies per second");
  judgeTakeovers(session, size, reportDir);
}

}  // namespace qorda::bench
