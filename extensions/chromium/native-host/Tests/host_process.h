// Runs the built host binary through real pipes, as a browser does.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qorda::test {

// Environment variables for the host on top of PATH; an empty value unsets.
using Environment = std::map<std::string, std::string>;

struct HostRun {
  std::string output;
  std::string errors;
  int exitStatus = -1;  // -1 when the host did not exit normally
  long peakResidentKilobytes = 0;
};

struct HostProcess {
  pid_t pid = -1;
  int input = -1;
  int output = -1;
  int errors = -1;
};

std::string hostBinaryPath();

// A native messaging frame around body.
std::string frame(std::string_view body);

// The bodies of the complete frames in output, in order.
std::vector<std::string> framesIn(std::string_view output);

HostProcess startHost(const Environment& environment);
void sendBytes(const HostProcess& host, std::string_view bytes);
// The next reply frame's body, or nothing when the host closed its output.
std::optional<std::string> readReply(const HostProcess& host);
// Closes the host's input, collects what is left and waits for its exit.
HostRun finishHost(HostProcess& host);

// The replies of one host run over messages framed in turn; the host must
// exit with status 0 and nothing on standard error.
std::vector<std::string> repliesOfQuietRun(const std::vector<std::string>& messages, const Environment& environment);

// Starts a helper program (a bus daemon, a stand-in application); when
// quiet, its complaints go nowhere.
pid_t spawn(const std::vector<std::string>& arguments, bool quiet = false);
// Ends a program started by spawn, a stopped one included, and reaps it.
void stop(pid_t& pid);

// Polls condition for up to five seconds.
template <typename Condition>
bool eventually(Condition condition) {
  for (int i = 0; i < 500; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

// Feeds input in pieces of at most chunkSize bytes while collecting output.
HostRun runHost(std::string_view input, const Environment& environment, std::size_t chunkSize = 1 << 16);

}  // namespace qorda::test
