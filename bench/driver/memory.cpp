// Resident memory: the peak for one huge frame, and whether a long-lived host
// keeps its size over a million messages.
#include "inbox.h"
#include "modes.h"
#include "report.h"
#include "sections.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace qorda::bench {
namespace {

struct HugeFrameRun {
  HostKind kind;
  Mix mix;
};

// Writes one frame of the message in pieces, so the bench itself never holds
// it whole and stays small beside the host it measures.
bool writePadded(int fd, const PaddedMessage& message) {
  std::size_t size = message.head.size() + message.padding + message.tail.size();
  if (!writeAll(fd, lengthHeader(size)) || !writeAll(fd, message.head)) return false;
  const std::string chunk(1 << 20, 'a');
  for (std::size_t left = message.padding; left > 0;) {
    std::size_t count = std::min(left, chunk.size());
    if (!writeAll(fd, std::string_view(chunk).substr(0, count))) return false;
    left -= count;
  }
  return writeAll(fd, message.tail);
}

struct Peaks {
  double highWater = 0;      // VmHWM while the host waits for its next frame
  double maxResident = 0;    // wait4's ru_maxrss
  double residentAfter = 0;  // VmRSS once a small frame has followed
};

// Peak resident size of a host that reads one frame, answers it and ends.
Peaks peaksForFrame(const HostCommand& command, const PaddedMessage& message) {
  HostProcess host = spawnHost(command);
  ReplyReader reader{host.fromHost};
  bool written = false;
  std::thread writer([&] { written = writePadded(host.toHost, message); });
  bool answered = readReply(reader).has_value();
  writer.join();
  double highWater = statusBytes(host.pid, "VmHWM").value_or(0);
  // A huge body's buffers should be given back once a small frame follows.
  answered = answered && writeAll(host.toHost, frameOf(requestMessages(Mix::requestChecks).front())) &&
             readReply(reader).has_value();
  double residentAfter = statusBytes(host.pid, "VmRSS").value_or(0);
  HostExit exit = finishHost(host);
  if (!written || !answered) throw std::runtime_error(command.label + " did not answer a huge frame");
  return {highWater, static_cast<double>(exit.usage.ru_maxrss) * 1024.0, residentAfter};
}

void measureHugeFrames(Session& session, const RunSize& size, const std::string& reportDir) {
  const HugeFrameRun runs[] = {{HostKind::limit, Mix::requestChecks},  {HostKind::ours, Mix::requestChecks},
                               {HostKind::ours, Mix::policy},          {HostKind::ours, Mix::takeover},
                               {HostKind::python, Mix::requestChecks}, {HostKind::node, Mix::requestChecks}};
  auto frameBytes = static_cast<double>(size.hugeFrameBytes);
  Table table{
      "Memory: peak resident size for one frame of " + formatMiB(frameBytes),
      {"host", "mix", "peak (VmHWM)", "peak ÷ frame", "wait4 ru_maxrss", "resident after a small frame"},
      {},
      "The message is a realistic one with a long string inside; the takeover also stores it in the inbox "
      "and sends it on the bus. VmHWM is read from /proc after the reply, while the host waits for input; "
      "wait4's ru_maxrss also keeps the bench's own high-water mark across exec, so it tells only where "
      "it is the larger. The last column is VmRSS once a small frame has been answered after the huge one: "
      "what the host keeps of it."};
  for (const HugeFrameRun& run : runs) {
    std::fprintf(stderr, "  huge frame, %s, %s mix...\n", hostLabel(run.kind).data(),
                 mixName(run.mix).data());
    if (run.mix == Mix::takeover) seedInbox(inboxPath(session), 0);
    Peaks peaks =
        peaksForFrame(hostCommand(session, run.kind, run.mix), paddedMessage(run.mix, size.hugeFrameBytes));
    double peak = peaks.highWater;
    table.rows.push_back({std::string(hostLabel(run.kind)), std::string(mixName(run.mix)), formatMiB(peak),
                          formatRatio(peak / frameBytes), formatMiB(peaks.maxResident),
                          formatMiB(peaks.residentAfter)});
    if (run.kind == HostKind::ours)
      recordVerdict({"memory",
                     "one " + formatMiB(frameBytes) + " frame, " + std::string(mixName(run.mix)) +
                         ": peak ≤ 2.5× the frame",
                     formatMiB(peak) + " = " + formatRatio(peak / frameBytes), peak <= 2.5 * frameBytes},
                    reportDir);
  }
  seedInbox(inboxPath(session), 0);
  emitTable(table, reportDir);
}

// Messages of the request-check and policy mixes in turn: every answer but a
// takeover, whose inbox would grow without end.
std::string longRunBatch(std::size_t count) {
  std::vector<std::string> messages = requestMessages(Mix::requestChecks);
  for (std::string& message : requestMessages(Mix::policy)) messages.push_back(std::move(message));
  std::vector<std::string> alternating;
  for (std::size_t i = 0; i < messages.size() / 2; ++i) {
    alternating.push_back(messages[i]);
    alternating.push_back(messages[i + messages.size() / 2]);
  }
  return batchOf(alternating, count);
}

void measureLongRun(Session& session, const RunSize& size, const std::string& reportDir) {
  std::fprintf(stderr, "  %zu messages through one host...\n", size.longRunMessages);
  constexpr std::size_t first = 1000;
  // A hundred equal batches after the first thousand land exactly on the total.
  std::size_t step = std::max<std::size_t>((size.longRunMessages - first) / 100, 1);
  HostProcess host = spawnHost(hostCommand(session, HostKind::ours, Mix::policy));
  ReplyReader reader{host.fromHost};
  bool ok = exchange(host, reader, longRunBatch(first), first, 0);
  double early = statusBytes(host.pid, "VmRSS").value_or(0);
  std::string batch = longRunBatch(step);
  std::size_t sent = first;
  while (ok && sent < size.longRunMessages) {
    ok = exchange(host, reader, batch, step, 0);
    sent += step;
  }
  double late = statusBytes(host.pid, "VmRSS").value_or(0);
  finishHost(host);
  if (!ok) throw std::runtime_error("our host failed during the long run");
  double growth = late / early - 1.0;
  Table table{
      "Memory: resident size of one long-lived host",
      {"after messages", "resident (VmRSS)", "against after 1,000"},
      {{std::to_string(first), formatMiB(early), "—"},
       {std::to_string(sent), formatMiB(late), formatPercent(growth)}},
      "Request-check and policy messages in turn, the policy file read for every other one; VmRSS read "
      "from /proc while the host waits for input."};
  emitTable(table, reportDir);
  recordVerdict({"memory", "resident after " + std::to_string(sent) + " messages within 10 % of after 1,000",
                 formatMiB(late) + " against " + formatMiB(early), growth <= 0.10 && growth >= -0.10},
                reportDir);
}

}  // namespace

void measureMemory(Session& session, const RunSize& size, const std::string& reportDir) {
  measureHugeFrames(session, size, reportDir);
  measureLongRun(session, size, reportDir);
}

}  // namespace qorda::bench
