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

#include <simdjson.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "usage: qorda-frame-client [--replies-only] [--timeout SECONDS] [--] COMMAND [ARGS...]\n"
    "Sends each non-blank stdin line (one JSON text) to COMMAND as a native messaging\n"
    "frame and prints {\"request\":...,\"reply\":...}, or only the reply, per line.\n"
    "SECONDS (default 10) bounds the wait for each reply and for the host to exit.\n";

// The browser refuses larger replies, so a bigger length means the host is
// not writing frames at all.
constexpr std::uint32_t kMaxReplyBytes = 1024 * 1024;

struct Failure {
  std::string message;
};

[[noreturn]] void fail(std::string message) { throw Failure{std::move(message)}; }

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// One parser for the whole run so its buffers are reused.
bool isJson(std::string_view text) {
  static simdjson::dom::parser parser;
  return parser.parse(text.data(), text.size()).error() == simdjson::SUCCESS;
}

struct Options {
  bool repliesOnly = false;
  int timeoutSeconds = 10;
  char** command = nullptr;  // null-terminated, straight from argv
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

Host startHost(char** command) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) fail(errnoText("pipe"));
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
  const int rc = posix_spawnp(&pid, command[0], &actions, &attributes, command, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(in[0]);
  close(out[1]);
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    fail(std::string("cannot start ") + command[0] + ": " + std::strerror(rc));
  }
  return Host{pid, in[1], out[0]};
}

// Kills and reaps a host that is no longer worth talking to.
void abandonHost(Host& host) {
  closeFd(host.input);
  closeFd(host.output);
  if (host.pid > 0) {
    kill(host.pid, SIGKILL);
    while (waitpid(host.pid, nullptr, 0) < 0 && errno == EINTR) {}
    host.pid = -1;
  }
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Reads up to size bytes, fewer only at end of file; nothing once the
// deadline passes.
std::optional<std::size_t> readFully(int fd, char* data, std::size_t size, Clock::time_point deadline) {
  std::size_t got = 0;
  while (got < size) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return std::nullopt;
    pollfd watch{fd, POLLIN, 0};
    const int ready = poll(&watch, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
    if (ready < 0 && errno != EINTR) fail(errnoText("poll"));
    if (ready <= 0) continue;
    const ssize_t n = read(fd, data + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(errnoText("reading from the host"));
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

void sendFrame(const Host& host, std::string_view body, long line) {
  if (body.size() > UINT32_MAX) fail("line " + std::to_string(line) + " is too long for one frame");
  std::string frame(4, '\0');
  for (std::size_t i = 0; i < 4; ++i) frame[i] = static_cast<char>((body.size() >> (8 * i)) & 0xff);
  frame.append(body);
  if (writeAll(host.input, frame)) return;
  if (errno == EPIPE) fail("host exited before reading line " + std::to_string(line));
  fail(errnoText("writing line " + std::to_string(line) + " to the host"));
}

std::string excerpt(std::string_view text) {
  std::string shown(text.substr(0, 60));
  std::replace_if(shown.begin(), shown.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, '.');
  return shown + (text.size() > 60 ? "..." : "");
}

std::string readReply(const Host& host, long line, const Options& options) {
  const auto deadline = Clock::now() + std::chrono::seconds(options.timeoutSeconds);
  const std::string which = "line " + std::to_string(line);
  unsigned char header[4];
  auto got = readFully(host.output, reinterpret_cast<char*>(header), 4, deadline);
  if (!got) fail("host did not reply to " + which + " within " + std::to_string(options.timeoutSeconds) + " s");
  if (*got == 0) fail("host exited before replying to " + which);
  if (*got < 4) fail("host stopped in the middle of its reply to " + which);
  const std::uint32_t length = std::uint32_t{header[0]} | std::uint32_t{header[1]} << 8 |
                               std::uint32_t{header[2]} << 16 | std::uint32_t{header[3]} << 24;
  if (length > kMaxReplyBytes)
    fail("reply to " + which + " claims " + std::to_string(length) + " bytes; the host is not writing frames");
  std::string body(length, '\0');
  got = readFully(host.output, body.data(), length, deadline);
  if (!got) fail("host did not finish its reply to " + which + " in time");
  if (*got < length) fail("host stopped in the middle of its reply to " + which);
  if (!isJson(body)) fail("reply to " + which + " is not JSON: " + excerpt(body));
  return body;
}

void printResult(std::string_view request, std::string reply, bool repliesOnly) {
  // Valid JSON has line breaks only between tokens, so dropping them keeps a
  // pretty-printed reply intact and on one line.
  std::erase_if(reply, [](char c) { return c == '\n' || c == '\r'; });
  std::string out = repliesOnly ? reply : "{\"request\":" + std::string(request) + ",\"reply\":" + reply + "}";
  out += '\n';
  if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0)
    fail(errnoText("writing standard output"));
}

struct LineReader {
  char* buffer = nullptr;
  std::size_t capacity = 0;
  ~LineReader() { std::free(buffer); }
  std::optional<std::string_view> next() {
    const ssize_t n = getline(&buffer, &capacity, stdin);
    if (n < 0 && std::ferror(stdin)) fail(errnoText("reading standard input"));
    if (n < 0) return std::nullopt;
    std::string_view line(buffer, static_cast<std::size_t>(n));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    return line;
  }
};

void playSession(const Host& host, const Options& options) {
  LineReader reader;
  long lineNumber = 0;
  while (const auto line = reader.next()) {
    ++lineNumber;
    if (line->find_first_not_of(" \t") == std::string_view::npos) continue;
    if (!isJson(*line)) fail("line " + std::to_string(lineNumber) + " is not JSON: " + excerpt(*line));
    sendFrame(host, *line, lineNumber);
    printResult(*line, readReply(host, lineNumber, options), options.repliesOnly);
  }
}

// Closes the host's input and expects it to exit cleanly with nothing more to say.
void finishHost(Host& host, const Options& options) {
  closeFd(host.input);
  const auto deadline = Clock::now() + std::chrono::seconds(options.timeoutSeconds);
  const std::string late = "host did not exit within " + std::to_string(options.timeoutSeconds) + " s of its input closing";
  char buffer[4096];
  std::size_t extra = 0;
  for (;;) {
    const auto got = readFully(host.output, buffer, sizeof buffer, deadline);
    if (!got) fail(late);
    extra += *got;
    if (*got < sizeof buffer) break;
  }
  int status = 0;
  pid_t reaped;
  while ((reaped = waitpid(host.pid, &status, WNOHANG)) == 0 && Clock::now() < deadline) usleep(10'000);
  if (reaped == 0) fail(late);
  if (reaped < 0) fail(errnoText("waitpid"));
  host.pid = -1;
  closeFd(host.output);
  if (extra > 0) fail("host wrote " + std::to_string(extra) + " bytes after its last reply");
  if (WIFSIGNALED(status))
    fail("host was killed by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")");
  if (WEXITSTATUS(status) != 0) fail("host exited with status " + std::to_string(WEXITSTATUS(status)));
}

// Returns an exit status when the command line settles the run by itself.
std::optional<int> parseOptions(int argc, char** argv, Options& options) {
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--replies-only") {
      options.repliesOnly = true;
    } else if (arg == "--timeout") {
      char* end = nullptr;
      const long seconds = i + 1 < argc ? std::strtol(argv[++i], &end, 10) : 0;
      if (end == nullptr || *end != '\0' || end == argv[i] || seconds < 1 || seconds > 86400) {
        std::fprintf(stderr, "qorda-frame-client: --timeout wants whole seconds from 1 to 86400\n");
        return 2;
      }
      options.timeoutSeconds = static_cast<int>(seconds);
    } else {
      std::fprintf(stderr, "qorda-frame-client: unknown option %s\n%s", argv[i], kUsage);
      return 2;
    }
  }
  if (i == argc) {
    std::fprintf(stderr, "qorda-frame-client: no COMMAND given\n%s", kUsage);
    return 2;
  }
  options.command = argv + i;
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  Options options;
  if (const auto status = parseOptions(argc, argv, options)) return *status;
  Host host;
  try {
    host = startHost(options.command);
    playSession(host, options);
    finishHost(host, options);
    return 0;
  } catch (const Failure& failure) {
    std::fprintf(stderr, "qorda-frame-client: %s\n", failure.message.c_str());
    abandonHost(host);
    return 1;
  }
}
