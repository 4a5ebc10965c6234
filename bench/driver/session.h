// The bench's throwaway world: runtime, data and home folders in a temporary
// directory, the published policy, a private session bus with a stand-in
// desktop application on it, and the four hosts' command lines.
#pragma once

#include "spawn.h"
#include "workload.h"

#include <string>
#include <vector>

namespace qorda::bench {

// Where the built and installed pieces are.
struct BenchPaths {
  std::string ourHost;
  std::string limitHost;
  std::string pythonHost;
  std::string nodeHost;
  std::string standIn;
  std::string handOffLimit;  // the least a takeover's hand-off can cost
};

enum class HostKind { limit, ours, python, node };

inline constexpr HostKind allHostKinds[] = {HostKind::limit, HostKind::ours, HostKind::python,
                                            HostKind::node};

std::string_view hostLabel(HostKind kind);

struct Session {
  BenchPaths paths;
  std::string root;        // the temporary directory
  std::string runtimeDir;  // XDG_RUNTIME_DIR, holds the policy file
  std::string dataHome;    // XDG_DATA_HOME, holds the capture inbox
  std::string busAddress;  // DBUS_SESSION_BUS_ADDRESS of the private bus
  pid_t busDaemon = -1;
  pid_t standIn = -1;
  std::vector<std::string> replies;  // our host's reply for each mix, as probed
};

// Makes the folders, publishes comparisonPolicyText(), starts the bus and the
// stand-in, and probes our host's reply for every mix.
Session openSession(const BenchPaths& paths);

// Stops the stand-in and the bus, by their process ids, and removes the folder.
// Returns the number of capture signals the stand-in heard.
long closeSession(Session& session);

// The command that starts a host of this kind for messages of this mix.
HostCommand hostCommand(const Session& session, HostKind kind, Mix mix);

// Our host with a session bus address that leads nowhere.
HostCommand ourHostWithoutBus(const Session& session);

std::string inboxPath(const Session& session);
std::string policyPath(const Session& session);

}  // namespace qorda::bench
