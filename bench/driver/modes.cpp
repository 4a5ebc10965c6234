#include "modes.h"

#include "workload.h"

#include <sys/wait.h>

#include <thread>

namespace qorda::bench {
namespace {

constexpr std::size_t warmUpMessages = 20;

bool exitedCleanly(const HostExit& exit) { return WIFEXITED(exit.status) && WEXITSTATUS(exit.status) == 0; }

}  // namespace

std::optional<OneShotTimes> oneShot(const HostCommand& command, std::string_view frame) {
  double start = monotonicSeconds();
  HostProcess host = spawnHost(command);
  bool sent = writeAll(host.toHost, frame);
  ReplyReader reader{host.fromHost};
  reader.buffer.resize(4096);
  auto reply = readReply(reader);
  double replied = monotonicSeconds();
  HostExit exit = finishHost(host);
  double ended = monotonicSeconds();
  if (!sent || !reply || !exitedCleanly(exit)) return std::nullopt;
  return OneShotTimes{replied - start, ended - start, static_cast<double>(exit.usage.ru_maxrss) * 1024.0};
}

std::optional<double> startUpOnly(const HostCommand& command) {
  double start = monotonicSeconds();
  HostProcess host = spawnHost(command);
  HostExit exit = finishHost(host);
  double ended = monotonicSeconds();
  if (!exitedCleanly(exit)) return std::nullopt;
  return ended - start;
}

std::string batchOf(const std::vector<std::string>& messages, std::size_t count) {
  std::string batch;
  for (std::size_t i = 0; i < count; ++i) batch += frameOf(messages[i % messages.size()]);
  return batch;
}

bool pingPong(const HostCommand& command, const std::vector<std::string>& frames,
              std::vector<double>& roundTrips) {
  HostProcess host = spawnHost(command);
  ReplyReader reader{host.fromHost};
  bool ok = true;
  for (std::size_t i = 0; ok && i < warmUpMessages; ++i)
    ok = writeAll(host.toHost, frames[i % frames.size()]) && readReply(reader);
  for (std::size_t i = 0; ok && i < frames.size(); ++i) {
    double start = monotonicSeconds();
    ok = writeAll(host.toHost, frames[i]) && readReply(reader);
    roundTrips.push_back(monotonicSeconds() - start);
  }
  return exitedCleanly(finishHost(host)) && ok;
}

bool exchange(HostProcess& host, ReplyReader& reader, const std::string& batch, std::size_t count,
              std::size_t replyLength) {
  bool written = false;
  std::thread writer([&] { written = writeAll(host.toHost, batch); });
  bool read = true;
  if (replyLength > 0) {
    read = skipReplies(reader, count, replyLength);
  } else {
    for (std::size_t i = 0; read && i < count; ++i) read = readReply(reader).has_value();
  }
  writer.join();
  return written && read;
}

std::optional<double> pipelined(const HostCommand& command, const std::string& warmUpFrame,
                                const std::string& batch, std::size_t count, std::size_t replyLength) {
  HostProcess host = spawnHost(command);
  ReplyReader reader{host.fromHost};
  bool ok = true;
  for (std::size_t i = 0; ok && i < warmUpMessages; ++i)
    ok = writeAll(host.toHost, warmUpFrame) && readReply(reader);
  double start = monotonicSeconds();
  ok = ok && exchange(host, reader, batch, count, replyLength);
  double elapsed = monotonicSeconds() - start;
  if (!exitedCleanly(finishHost(host)) || !ok) return std::nullopt;
  return static_cast<double>(count) / elapsed;
}

}  // namespace qorda::bench
