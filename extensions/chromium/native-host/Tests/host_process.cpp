#include "host_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace qorda::test {
namespace {

std::vector<std::string> environmentFor(const Environment& overrides) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text(*entry);
    std::string name = text.substr(0, text.find('='));
    if (overrides.count(name) == 0) entries.push_back(text);
  }
  for (const auto& [name, value] : overrides) {
    if (!value.empty()) entries.push_back(name + "=" + value);
  }
  return entries;
}

void appendAvailable(int fd, std::string& into) {
  char buffer[1 << 16];
  ssize_t count = ::read(fd, buffer, sizeof buffer);
  if (count > 0) into.append(buffer, static_cast<std::size_t>(count));
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Takes what poll reported on the host's output and error pipes; a pipe at
// its end is closed.
void collectOutputs(pollfd* fds, HostProcess& host, std::string& output, std::string& errors) {
  int* descriptors[2] = {&host.output, &host.errors};
  std::string* sinks[2] = {&output, &errors};
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || fds[i].revents == 0) continue;
    std::size_t before = sinks[i]->size();
    appendAvailable(fds[i].fd, *sinks[i]);
    if (sinks[i]->size() == before) closeFd(*descriptors[i]);
  }
}

std::vector<std::string> commandPrefix() {
  std::vector<std::string> words;
  const char* prefix = std::getenv("QORDA_HOST_PREFIX");
  std::string_view rest = prefix != nullptr ? prefix : "";
  while (!rest.empty()) {
    std::size_t end = rest.find(' ');
    if (end != 0) words.emplace_back(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return words;
}

HostRun waitForExit(HostProcess& host) {
  HostRun run;
  int status = 0;
  rusage usage{};
  while (::wait4(host.pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.peakResidentKilobytes = usage.ru_maxrss;
  return run;
}

}  // namespace

std::string hostBinaryPath() { return QORDA_HOST_BINARY; }

std::string frame(std::string_view body) {
  auto length = static_cast<std::uint32_t>(body.size());
  std::string bytes;
  for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>((length >> shift) & 0xFF);
  return bytes.append(body);
}

std::vector<std::string> framesIn(std::string_view output) {
  std::vector<std::string> bodies;
  while (output.size() >= 4) {
    std::uint32_t length = 0;
    for (int i = 3; i >= 0; --i) length = length << 8 | static_cast<unsigned char>(output[static_cast<std::size_t>(i)]);
    if (output.size() - 4 < length) break;
    bodies.emplace_back(output.substr(4, length));
    output.remove_prefix(4 + length);
  }
  return bodies;
}

HostProcess startHost(const Environment& environment) {
  ::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<std::string> entries = environmentFor(environment);
  std::vector<char*> envp;
  for (std::string& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string path = hostBinaryPath();
  // The browser passes the caller's origin; the host must ignore it.
  std::string origin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";
  // QORDA_HOST_PREFIX runs the host under another program, e.g. valgrind.
  std::vector<std::string> words = commandPrefix();
  words.push_back(path);
  words.push_back(origin);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  HostProcess host;
  if (posix_spawnp(&host.pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  host.input = in[1];
  host.output = out[0];
  host.errors = err[0];
  return host;
}

void sendBytes(const HostProcess& host, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(host.input, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

std::optional<std::string> readReply(const HostProcess& host) {
  std::string bytes;
  auto readExactly = [&](std::size_t count) {
    while (bytes.size() < count) {
      char buffer[4096];
      ssize_t got = ::read(host.output, buffer, std::min(sizeof buffer, count - bytes.size()));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
  };
  if (!readExactly(4)) return std::nullopt;
  std::uint32_t length = 0;
  for (int i = 3; i >= 0; --i) length = length << 8 | static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
  if (!readExactly(4 + length)) return std::nullopt;
  return bytes.substr(4);
}

HostRun finishHost(HostProcess& host) {
  closeFd(host.input);
  std::string output, errors;
  for (;;) {
    pollfd fds[2] = {{host.output, POLLIN, 0}, {host.errors, POLLIN, 0}};
    if (host.output < 0 && host.errors < 0) break;
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
    collectOutputs(fds, host, output, errors);
  }
  HostRun run = waitForExit(host);
  run.output = std::move(output);
  run.errors = std::move(errors);
  return run;
}

HostRun runHost(std::string_view input, const Environment& environment, std::size_t chunkSize) {
  HostProcess host = startHost(environment);
  ::fcntl(host.input, F_SETFL, O_NONBLOCK);
  std::string output, errors;
  while (host.input >= 0 || host.output >= 0 || host.errors >= 0) {
    pollfd fds[3] = {{host.input, POLLOUT, 0}, {host.output, POLLIN, 0}, {host.errors, POLLIN, 0}};
    if (input.empty()) {
      closeFd(host.input);
      fds[0].fd = -1;
    }
    if (::poll(fds, 3, -1) < 0 && errno != EINTR) break;
    if (fds[0].fd >= 0 && fds[0].revents != 0) {
      ssize_t written = ::write(host.input, input.data(), std::min(chunkSize, input.size()));
      if (written > 0) input.remove_prefix(static_cast<std::size_t>(written));
      else if (written < 0 && errno != EAGAIN && errno != EINTR) input = {};
    }
    collectOutputs(fds + 1, host, output, errors);
  }
  HostRun run = waitForExit(host);
  run.output = std::move(output);
  run.errors = std::move(errors);
  return run;
}

std::vector<std::string> repliesOfQuietRun(const std::vector<std::string>& messages, const Environment& environment) {
  std::string input;
  for (const std::string& message : messages) input += frame(message);
  HostRun run = runHost(input, environment);
  EXPECT_EQ(0, run.exitStatus);
  EXPECT_EQ("", run.errors);
  return framesIn(run.output);
}

pid_t spawn(const std::vector<std::string>& arguments, bool quiet) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  EXPECT_EQ(0, posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ)) << arguments[0];
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void stop(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGCONT);
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  pid = -1;
}

}  // namespace qorda::test
