// The parts of one bench run. Each prints its tables, and records in the
// report folder the tables and its verdicts on the figures we aim for.
#pragma once

#include "session.h"

#include <cstddef>
#include <string>

namespace qorda::bench {

struct RunSize {
  std::size_t oneShotRounds;
  std::size_t pingPongRounds;
  std::size_t pingPongMessages;
  std::size_t takeoverPingPongMessages;
  std::size_t pipelinedRounds;
  std::size_t pipelinedMessages;
  std::size_t takeoverPipelinedMessages;
  std::vector<std::size_t> inboxSizes;
  std::size_t handOffRounds;
  std::size_t handOffBatch;
  std::size_t hugeFrameBytes;
  std::size_t longRunMessages;
};

RunSize fullRun();
RunSize smokeRun();

void compareHosts(Session& session, const RunSize& size, const std::string& reportDir);
void measureHandOff(Session& session, const RunSize& size, const std::string& reportDir);
void measureMemory(Session& session, const RunSize& size, const std::string& reportDir);

}  // namespace qorda::bench
