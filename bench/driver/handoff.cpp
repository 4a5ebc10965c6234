// Takeovers handed to the desktop application: the inbox append and the bus
// calls, with inboxes of several sizes and with hosts appending at once.
#include "inbox.h"
#include "modes.h"
#include "report.h"
#include "sections.h"
#include "stats.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace qorda::bench {
namespace {

constexpr std::size_t concurrentHosts = 4;

struct OneShotRow {
  Summary takeover, blocked, withoutBus;
};

double toExit(const HostCommand& command, const std::string& frame) {
  auto times = oneShot(command, frame);
  if (!times) throw std::runtime_error(command.label + " failed a one-shot message");
  return times->toExit;
}

// Takeovers and blocked answers alternate, so both see the same machine.
OneShotRow oneShotTakeovers(const Session& session, std::size_t rounds) {
  std::string takeover = frameOf(requestMessages(Mix::takeover).front());
  std::string blocked = frameOf(requestMessages(Mix::requestChecks).front());
  std::vector<double> takeovers, blockeds, withoutBus;
  for (std::size_t round = 0; round < rounds; ++round) {
    takeovers.push_back(toExit(hostCommand(session, HostKind::ours, Mix::takeover), takeover));
    blockeds.push_back(toExit(hostCommand(session, HostKind::ours, Mix::requestChecks), blocked));
    withoutBus.push_back(toExit(ourHostWithoutBus(session), takeover));
  }
  return {summarize(takeovers), summarize(blockeds), summarize(withoutBus)};
}

struct WarmHost {
  HostProcess process;
  ReplyReader reader;
};

// A host that has made its first takeover, so the bus and the database are open.
WarmHost warmHost(const Session& session) {
  WarmHost host{spawnHost(hostCommand(session, HostKind::ours, Mix::takeover)), {}};
  host.reader.fd = host.process.fromHost;
  if (!writeAll(host.process.toHost, frameOf(requestMessages(Mix::takeover).front())) ||
      !readReply(host.reader))
    throw std::runtime_error("our host failed its first takeover");
  return host;
}

// Takeovers per second over `hosts` processes appending at once.
double takeoverRate(const Session& session, std::size_t hosts, std::size_t batchSize) {
  std::vector<WarmHost> warm;
  for (std::size_t i = 0; i < hosts; ++i) warm.push_back(warmHost(session));
  std::string batch = batchOf(requestMessages(Mix::takeover), batchSize);
  std::size_t replyLength = session.replies[static_cast<std::size_t>(Mix::takeover)].size();
  std::vector<char> ok(hosts, 0);
  double start = monotonicSeconds();
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < hosts; ++i)
    threads.emplace_back(
        [&, i] { ok[i] = exchange(warm[i].process, warm[i].reader, batch, batchSize, replyLength); });
  for (std::thread& thread : threads) thread.join();
  double elapsed = monotonicSeconds() - start;
  for (WarmHost& host : warm) finishHost(host.process);
  if (std::find(ok.begin(), ok.end(), 0) != ok.end())
    throw std::runtime_error("a host failed during takeovers");
  return static_cast<double>(hosts * batchSize) / elapsed;
}

// Spawn to exit of each of `hosts` one-shot takeovers started together.
std::vector<double> concurrentOneShots(const Session& session, std::size_t hosts) {
  std::string frame = frameOf(requestMessages(Mix::takeover).front());
  std::vector<double> times(hosts, -1);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < hosts; ++i) {
    threads.emplace_back([&, i] {
      auto result = oneShot(hostCommand(session, HostKind::ours, Mix::takeover), frame);
      if (result) times[i] = result->toExit;
    });
  }
  for (std::thread& thread : threads) thread.join();
  if (std::find(times.begin(), times.end(), -1.0) != times.end())
    throw std::runtime_error("a concurrent one-shot takeover failed");
  return times;
}

struct RateRow {
  Summary single, together, togetherOneShot;
  long lost = 0;  // entries expected but missing, or extra when negative
};

RateRow takeoverRates(const Session& session, std::size_t entries, const RunSize& size) {
  std::vector<double> single, together, oneShots;
  long lost = 0;
  std::string path = inboxPath(session);
  for (std::size_t round = 0; round < 3; ++round) {
    seedInbox(path, entries);
    single.push_back(takeoverRate(session, 1, size.handOffBatch));
    seedInbox(path, entries);
    together.push_back(takeoverRate(session, concurrentHosts, size.handOffBatch / concurrentHosts));
    std::size_t expected = entries + concurrentHosts * (1 + size.handOffBatch / concurrentHosts);
    for (std::size_t i = 0; i < size.handOffRounds / 4 + 1; ++i) {
      for (double time : concurrentOneShots(session, concurrentHosts)) oneShots.push_back(time);
      expected += concurrentHosts;
    }
    lost += static_cast<long>(expected) - static_cast<long>(inboxEntryCount(path).value_or(0));
  }
  return {summarize(single), summarize(together), summarize(oneShots), lost};
}

}  // namespace

void measureHandOff(Session& session, const RunSize& size, const std::string& reportDir) {
  Table oneShots{
      "Hand-off, one-shot: spawn to exit of one takeover against one blocked answer",
      {"inbox entries", "takeover median", "takeover p99", "blocked median", "takeover ÷ blocked",
       "takeover, no bus"},
      {},
      std::to_string(size.handOffRounds) +
          " processes of each kind per inbox size, alternating. \"No bus\": the session bus address "
          "leads nowhere, so only the inbox append remains."};
  Table rates{"Hand-off, one process: takeovers per second",
              {"inbox entries", "1 host", std::to_string(concurrentHosts) + " hosts at once",
               std::to_string(concurrentHosts) + " one-shots at once, each", "entries lost"},
              {},
              std::to_string(size.handOffBatch) + " takeovers per round over 1 or " +
                  std::to_string(concurrentHosts) +
                  " warm processes, 3 rounds, the inbox reset to its size "
                  "before each; entries lost counts the inbox afterwards."};
  std::vector<double> takeoverMedians;
  for (std::size_t entries : size.inboxSizes) {
    std::fprintf(stderr, "  hand-off, inbox of %zu entries...\n", entries);
    seedInbox(inboxPath(session), entries);
    OneShotRow row = oneShotTakeovers(session, size.handOffRounds);
    double ratio = row.takeover.median / row.blocked.median;
    oneShots.rows.push_back({std::to_string(entries), formatDuration(row.takeover.median),
                             formatDuration(row.takeover.p99), formatDuration(row.blocked.median),
                             formatRatio(ratio), formatDuration(row.withoutBus.median)});
    recordVerdict(
        {"hand-off", "one-shot takeover ≤ 1.3× one-shot blocked, inbox of " + std::to_string(entries),
         formatDuration(row.takeover.median) + " = " + formatRatio(ratio) + " blocked", ratio <= 1.3},
        reportDir);
    takeoverMedians.push_back(row.takeover.median);
    RateRow rate = takeoverRates(session, entries, size);
    rates.rows.push_back({std::to_string(entries), formatRate(rate.single.median),
                          formatRate(rate.together.median), formatDuration(rate.togetherOneShot.median),
                          std::to_string(rate.lost)});
  }
  auto [fastest, slowest] = std::minmax_element(takeoverMedians.begin(), takeoverMedians.end());
  if (fastest != takeoverMedians.end()) {
    double spread = *slowest / *fastest;
    recordVerdict({"hand-off", "one-shot takeover alike whatever the inbox holds (≤ 1.2× across sizes)",
                   "slowest ÷ fastest = " + formatRatio(spread), spread <= 1.2},
                  reportDir);
  }
  emitTable(oneShots, reportDir);
  emitTable(rates, reportDir);
}

}  // namespace qorda::bench
