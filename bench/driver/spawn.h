// Starting a host the way the browser does (pipes on standard input and
// output) and speaking frames to it.
#pragma once

#include "host/frame_transport.h"

#include <sys/resource.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qorda::bench {

struct HostCommand {
  std::string label;
  std::vector<std::string> argv;
  std::vector<std::string> environment;  // NAME=value, the whole environment
};

struct HostProcess {
  pid_t pid = -1;
  int toHost = -1;    // the host's standard input
  int fromHost = -1;  // the host's standard output
};

struct HostExit {
  int status = 0;
  struct rusage usage {};
};

// Standard error goes to /dev/null, as it is of no interest here.
HostProcess spawnHost(const HostCommand& command);

// Closes the host's input and waits for it to end.
HostExit finishHost(HostProcess& host);

// A size line of /proc/PID/status, in bytes: "VmRSS" now, "VmHWM" at peak.
// VmHWM belongs to the program the process runs now, unlike wait4's
// ru_maxrss, which also keeps the high-water mark of the spawning process's
// memory that exec replaced.
std::optional<double> statusBytes(pid_t pid, std::string_view field);

using qorda::writeAll;

// Reads frames from a host's output through a buffer, so that the bench's own
// reads cost little beside the host's.
struct ReplyReader {
  int fd = -1;
  std::vector<char> buffer = std::vector<char>(256 * 1024);
  std::size_t start = 0;
  std::size_t end = 0;
};

// The next reply's body, or nothing when the host ended first.
std::optional<std::string> readReply(ReplyReader& reader);

// Skips count replies, checking only their lengths; false when the host
// ended first or a reply had another length.
bool skipReplies(ReplyReader& reader, std::size_t count, std::size_t expectedLength);

double monotonicSeconds();

}  // namespace qorda::bench
