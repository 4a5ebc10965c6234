#include "spawn.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace qorda::bench {
namespace {

std::vector<char*> pointersTo(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (const std::string& text : strings) pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// Makes sure count bytes wait in the buffer; false at end of input.
bool fill(ReplyReader& reader, std::size_t count) {
  if (reader.end - reader.start >= count) return true;
  if (reader.start + count > reader.buffer.size()) {
    std::memmove(reader.buffer.data(), reader.buffer.data() + reader.start, reader.end - reader.start);
    reader.end -= reader.start;
    reader.start = 0;
    if (count > reader.buffer.size()) reader.buffer.resize(count);
  }
  while (reader.end - reader.start < count) {
    ssize_t got = ::read(reader.fd, reader.buffer.data() + reader.end, reader.buffer.size() - reader.end);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    reader.end += static_cast<std::size_t>(got);
  }
  return true;
}

std::optional<std::size_t> nextLength(ReplyReader& reader) {
  if (!fill(reader, 4)) return std::nullopt;
  const auto* bytes = reinterpret_cast<const unsigned char*>(reader.buffer.data() + reader.start);
  reader.start += 4;
  return std::size_t{bytes[0]} | std::size_t{bytes[1]} << 8 | std::size_t{bytes[2]} << 16 |
         std::size_t{bytes[3]} << 24;
}

}  // namespace

HostProcess spawnHost(const HostCommand& command) {
  int input[2], output[2];
  if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe2 failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv = pointersTo(command.argv);
  std::vector<char*> environment = pointersTo(command.environment);
  HostProcess host;
  int status = ::posix_spawn(&host.pid, argv[0], &actions, nullptr, argv.data(), environment.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  ::close(output[1]);
  if (status != 0) {
    ::close(input[1]);
    ::close(output[0]);
    throw std::runtime_error("cannot start " + command.argv[0] + ": " + std::strerror(status));
  }
  host.toHost = input[1];
  host.fromHost = output[0];
  return host;
}

HostExit finishHost(HostProcess& host) {
  HostExit exit;
  if (host.toHost >= 0) ::close(host.toHost);
  host.toHost = -1;
  while (::wait4(host.pid, &exit.status, 0, &exit.usage) < 0 && errno == EINTR) {
  }
  if (host.fromHost >= 0) ::close(host.fromHost);
  host.fromHost = -1;
  host.pid = -1;
  return exit;
}

std::optional<double> statusBytes(pid_t pid, std::string_view field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':')
      return std::stod(line.substr(field.size() + 1)) * 1024.0;
  }
  return std::nullopt;
}

std::optional<std::string> readReply(ReplyReader& reader) {
  auto length = nextLength(reader);
  if (!length || !fill(reader, *length)) return std::nullopt;
  std::string body(reader.buffer.data() + reader.start, *length);
  reader.start += *length;
  return body;
}

bool skipReplies(ReplyReader& reader, std::size_t count, std::size_t expectedLength) {
  for (std::size_t i = 0; i < count; ++i) {
    auto length = nextLength(reader);
    if (!length || *length != expectedLength || !fill(reader, *length)) return false;
    reader.start += *length;
  }
  return true;
}

double monotonicSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace qorda::bench
