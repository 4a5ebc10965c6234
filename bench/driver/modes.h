// The three ways the browser talks to a host, each measured on one host.
#pragma once

#include "spawn.h"

#include <optional>
#include <string>
#include <vector>

namespace qorda::bench {

// sendNativeMessage: a fresh process for one message.
struct OneShotTimes {
  double toReply = 0;  // spawn to reply
  double toExit = 0;   // spawn to reply to exit
  double peakResidentBytes = 0;
};
std::optional<OneShotTimes> oneShot(const HostCommand& command, std::string_view frame);

// Start-up and exit alone: a fresh process whose input ends at once.
std::optional<double> startUpOnly(const HostCommand& command);

// Frames cycled to make a batch of count messages.
std::string batchOf(const std::vector<std::string>& messages, std::size_t count);

// A connectNative port used request by request: after a short warm-up, one
// round trip time per message of frames is added to roundTrips.
bool pingPong(const HostCommand& command, const std::vector<std::string>& frames,
              std::vector<double>& roundTrips);

// Many messages in flight on one process: a batch of count frames written
// while the replies are read. Replies per second, after a short warm-up.
std::optional<double> pipelined(const HostCommand& command, const std::string& warmUpFrame,
                                const std::string& batch, std::size_t count, std::size_t replyLength);

// Writes batch from a second thread while count replies are read; true when
// they all came, each replyLength long (0: any length).
bool exchange(HostProcess& host, ReplyReader& reader, const std::string& batch, std::size_t count,
              std::size_t replyLength);

}  // namespace qorda::bench
