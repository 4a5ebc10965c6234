// qorda-frame-client: plays JSON lines through a native messaging host the way
// a browser would, and prints each request next to the host's reply.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/frame_transport.h"

#include <simdjson.h>
#include <CLI/CLI.hpp>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// A failure is a one-line message handed back to main, which prints it: no
// exceptions, no out-parameters (as in tools/setup/error.h).
using Error = std::optional<std::string>;
template <typename T>
struct Result {
  T value{};  // meaningful only when there is no error
  Error error;
};

// The browser refuses larger replies, so a bigger length means the host is
// not writing frames at all.
constexpr std::uint32_t maxReplyBytes = 1024 * 1024;

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// One parser for the whole run so its buffers are reused.
bool isJson(std::string_view text) {
  static simdjson::dom::parser parser;
  return parser.parse(text.data(), text.size()).error() == simdjson::SUCCESS;
}

struct Options {
  bool repliesOnly = false;
  int timeoutSeconds = 10;
  std::vector<std::string> command;  // the program and its arguments
};

struct Host {
  pid_t pid = -1;
  int input = -1;   // the host's stdin
  int output = -1;  // the host's stdout
};

void closeFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

Result<Host> startHost(const std::vector<std::string>& command) {
  std::vector<char*> argv;
  for (const auto& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return {{}, errnoText("pipe")};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  // We ignore SIGPIPE for ourselves; the host must not inherit that.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(in[0]);
  close(out[1]);
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    return {{}, "cannot start " + command[0] + ": " + std::strerror(rc)};
  }
  return {Host{pid, in[1], out[0]}, std::nullopt};
}

// Kills and reaps a host that is no longer worth talking to.
void abandonHost(Host& host) {
  closeFd(host.input);
  closeFd(host.output);
  if (host.pid > 0) {
    kill(host.pid, SIGKILL);
    while (waitpid(host.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    host.pid = -1;
  }
}

// Reads up to size bytes, fewer only at end of file; nothing once the
// deadline passes.
Result<std::optional<std::size_t>> readFully(int fd, char* data, std::size_t size,
                                             Clock::time_point deadline) {
  std::size_t got = 0;
  while (got < size) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return {};
    pollfd watch{fd, POLLIN, 0};
    const int ready = poll(&watch, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
    if (ready < 0 && errno != EINTR) return {{}, errnoText("poll")};
    if (ready <= 0) continue;
    const ssize_t n = read(fd, data + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {{}, errnoText("reading from the host")};
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return {got, std::nullopt};
}

Error sendFrame(const Host& host, std::string_view body, long line) {
  if (body.size() > UINT32_MAX) return "line " + std::to_string(line) + " is too long for one frame";
  if (qorda::writeFrame(host.input, body)) return std::nullopt;
  if (errno == EPIPE) return "host exited before reading line " + std::to_string(line);
  return errnoText("writing line " + std::to_string(line) + " to the host");
}

std::string excerpt(std::string_view text) {
  std::string shown(text.substr(0, 60));
  std::replace_if(
      shown.begin(), shown.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, '.');
  return shown + (text.size() > 60 ? "..." : "");
}

Result<std::string> readReply(const Host& host, long line, const Options& options) {
  const auto deadline = Clock::now() + std::chrono::seconds(options.timeoutSeconds);
  const std::string which = "line " + std::to_string(line);
  std::array<char, 4> header;
  auto got = readFully(host.output, header.data(), header.size(), deadline);
  if (got.error) return {{}, got.error};
  if (!got.value)
    return {{},
            "host did not reply to " + which + " within " + std::to_string(options.timeoutSeconds) + " s"};
  if (*got.value == 0) return {{}, "host exited before replying to " + which};
  if (*got.value < 4) return {{}, "host stopped in the middle of its reply to " + which};
  const std::uint32_t length = qorda::frameLength(header);
  if (length > maxReplyBytes)
    return {
        {},
        "reply to " + which + " claims " + std::to_string(length) + " bytes; the host is not writing frames"};
  std::string body(length, '\0');
  got = readFully(host.output, body.data(), length, deadline);
  if (got.error) return {{}, got.error};
  if (!got.value) return {{}, "host did not finish its reply to " + which + " in time"};
  if (*got.value < length) return {{}, "host stopped in the middle of its reply to " + which};
  if (!isJson(body)) return {{}, "reply to " + which + " is not JSON: " + excerpt(body)};
  return {std::move(body), std::nullopt};
}

Error printResult(std::string_view request, std::string reply, bool repliesOnly) {
  // Valid JSON has line breaks only between tokens, so dropping them keeps a
  // pretty-printed reply intact and on one line.
  std::erase_if(reply, [](char c) { return c == '\n' || c == '\r'; });
  std::string out =
      repliesOnly ? reply : "{\"request\":" + std::string(request) + ",\"reply\":" + reply + "}";
  out += '\n';
  if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0)
    return errnoText("writing standard output");
  return std::nullopt;
}

struct LineReader {
  char* buffer = nullptr;
  std::size_t capacity = 0;
  ~LineReader() { std::free(buffer); }
  // The next line without its line break; nothing at the end of input.
  Result<std::optional<std::string_view>> next() {
    const ssize_t n = getline(&buffer, &capacity, stdin);
    if (n < 0 && std::ferror(stdin)) return {{}, errnoText("reading standard input")};
    if (n < 0) return {};
    std::string_view line(buffer, static_cast<std::size_t>(n));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    return {line, std::nullopt};
  }
};

Error playSession(const Host& host, const Options& options) {
  LineReader reader;
  for (long lineNumber = 1;; ++lineNumber) {
    const auto next = reader.next();
    if (next.error || !next.value) return next.error;
    const std::string_view line = *next.value;
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    if (!isJson(line)) return "line " + std::to_string(lineNumber) + " is not JSON: " + excerpt(line);
    if (auto error = sendFrame(host, line, lineNumber)) return error;
    auto reply = readReply(host, lineNumber, options);
    if (reply.error) return reply.error;
    if (auto error = printResult(line, std::move(reply.value), options.repliesOnly)) return error;
  }
}

// Closes the host's input and expects it to exit cleanly with nothing more to say.
Error finishHost(Host& host, const Options& options) {
  closeFd(host.input);
  const auto deadline = Clock::now() + std::chrono::seconds(options.timeoutSeconds);
  const std::string late =
      "host did not exit within " + std::to_string(options.timeoutSeconds) + " s of its input closing";
  char buffer[4096];
  std::size_t extra = 0;
  for (;;) {
    const auto got = readFully(host.output, buffer, sizeof buffer, deadline);
    if (got.error) return got.error;
    if (!got.value) return late;
    extra += *got.value;
    if (*got.value < sizeof buffer) break;
  }
  int status = 0;
  pid_t reaped;
  while ((reaped = waitpid(host.pid, &status, WNOHANG)) == 0 && Clock::now() < deadline) usleep(10'000);
  if (reaped == 0) return late;
  if (reaped < 0) return errnoText("waitpid");
  host.pid = -1;
  closeFd(host.output);
  if (extra > 0) return "host wrote " + std::to_string(extra) + " bytes after its last reply";
  if (WIFSIGNALED(status))
    return "host was killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
           strsignal(WTERMSIG(status)) + ")";
  if (WEXITSTATUS(status) != 0) return "host exited with status " + std::to_string(WEXITSTATUS(status));
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app(
      "Sends each non-blank stdin line (one JSON text) to COMMAND as a native messaging frame and prints\n"
      "{\"request\":...,\"reply\":...}, or only the reply, per line.",
      "qorda-frame-client");
  app.set_version_flag("--version", "qorda-frame-client " QORDA_VERSION);
  app.add_flag("--replies-only", options.repliesOnly, "print only the replies");
  app.add_option("--timeout", options.timeoutSeconds,
                 "bounds the wait for each reply and for the host to exit")
      ->type_name("SECONDS")
      ->check(CLI::Range(1, 86400))
      ->capture_default_str();
  app.add_option("COMMAND", options.command,
                 "the host program and its arguments; what follows it is all its own")
      ->required();
  app.positionals_at_end();
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::CallForVersion& version) {
    std::puts(version.what());
    return 0;
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "qorda-frame-client: %s (see --help)\n", error.what());
    return 2;
  }

  signal(SIGPIPE, SIG_IGN);
  auto host = startHost(options.command);
  Error error = host.error;
  if (!error) error = playSession(host.value, options);
  if (!error) error = finishHost(host.value, options);
  if (!error) return 0;
  std::fprintf(stderr, "qorda-frame-client: %s\n", error->c_str());
  abandonHost(host.value);
  return 1;
}
