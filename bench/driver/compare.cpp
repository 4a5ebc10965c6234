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

// Ours against the limit (within `bound`) and at least twice as good as both
// peers. Times are better low, rates high.
void judgeSteady(std::string_view mode, const std::vector<MixResult>& results, const std::string& reportDir,
                 bool timeFigures, double bound, std::string_view boundText) {
  for (const MixResult& result : results) {
    double ours = medianOf(result, HostKind::ours), limit = medianOf(result, HostKind::limit);
    double ratio = ours / limit;
    std::string label = std::string(mixName(result.mix));
    std::string shown = timeFigures ? formatDuration(ours) : formatRate(ours);
    recordVerdict(
        {std::string(mode), label + ": " + std::string(boundText),
         shown + " = " + formatRatio(ratio) + " limit", timeFigures ? ratio <= bound : ratio >= bound},
        reportDir);
    double python = medianOf(result, HostKind::python), node = medianOf(result, HostKind::node);
    double vsPython = timeFigures ? python / ours : ours / python;
    double vsNode = timeFigures ? node / ours : ours / node;
    recordVerdict({std::string(mode), label + ": ≥ 2× as fast as Python and Node.js",
                   formatRatio(vsPython) + " Python, " + formatRatio(vsNode) + " Node.js",
                   vsPython >= 2.0 && vsNode >= 2.0},
                  reportDir);
  }
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
}

}  // namespace qorda::bench
