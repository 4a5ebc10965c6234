#include "session.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace qorda::bench {
namespace {

namespace fs = std::filesystem;

constexpr const char* extensionOrigin = "chrome-extension://kbdjfmnhpelcoajlkimogaadpflmbfha/";

std::string makeTemporaryRoot() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qorda-bench.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

void writeFile(const std::string& path, std::string_view text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

template <typename Ready>
bool waitFor(Ready ready) {
  for (int i = 0; i < 500; ++i) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::vector<std::string> baseEnvironment(const Session& session, std::string_view busAddress) {
  return {"PATH=/usr/bin:/bin",
          "LANG=C.UTF-8",
          "HOME=" + session.root + "/home",
          "XDG_RUNTIME_DIR=" + session.runtimeDir,
          "XDG_DATA_HOME=" + session.dataHome,
          "DBUS_SESSION_BUS_ADDRESS=" + std::string(busAddress)};
}

void startBus(Session& session) {
  std::string socket = session.root + "/bus";
  std::string config = session.root + "/bus.conf";
  writeFile(config,
            "<busconfig><type>session</type><listen>unix:path=" + socket +
                "</listen><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>");
  HostProcess daemon =
      spawnHost({"dbus-daemon", {"/usr/bin/dbus-daemon", "--nofork", "--config-file=" + config}, {}});
  ::close(daemon.toHost);
  ::close(daemon.fromHost);
  session.busDaemon = daemon.pid;
  session.busAddress = "unix:path=" + socket;
  if (!waitFor([&] { return fs::exists(socket); }))
    throw std::runtime_error("the private dbus-daemon did not start");
}

void startStandIn(Session& session) {
  HostProcess standIn = spawnHost({"stand-in",
                                   {session.paths.standIn, session.root + "/signals"},
                                   {"DBUS_SESSION_BUS_ADDRESS=" + session.busAddress}});
  ::close(standIn.toHost);
  session.standIn = standIn.pid;
  char ready[6] = {};
  bool started = ::read(standIn.fromHost, ready, sizeof ready) == static_cast<ssize_t>(sizeof ready);
  ::close(standIn.fromHost);
  if (!started) throw std::runtime_error("the stand-in desktop application did not start");
}

// Our host's reply to the first message of each mix, checked against the
// decision the mix is meant to get.
void probeReplies(Session& session) {
  for (Mix mix : allMixes) {
    HostProcess host = spawnHost(hostCommand(session, HostKind::ours, mix));
    std::string frames;
    for (const std::string& message : requestMessages(mix)) frames += frameOf(message);
    writeAll(host.toHost, frames);
    ReplyReader reader{host.fromHost};
    std::vector<std::string> replies;
    for (std::size_t i = 0; i < requestMessages(mix).size(); ++i)
      replies.push_back(readReply(reader).value_or(""));
    finishHost(host);
    for (const std::string& reply : replies) {
      bool decided =
          reply.find("\"policyAction\":\"" + std::string(expectedAction(mix)) + "\"") != std::string::npos;
      if (!decided || reply.size() != replies.front().size())
        throw std::runtime_error("unexpected reply for the " + std::string(mixName(mix)) + " mix: " + reply);
    }
    session.replies.push_back(replies.front());
  }
}

void stop(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  pid = -1;
}

}  // namespace

std::string_view hostLabel(HostKind kind) {
  switch (kind) {
    case HostKind::limit:
      return "static C (limit)";
    case HostKind::ours:
      return "Qorda host";
    case HostKind::python:
      return "Python";
    case HostKind::node:
      break;
  }
  return "Node.js";
}

Session openSession(const BenchPaths& paths) {
  Session session;
  session.paths = paths;
  session.root = makeTemporaryRoot();
  session.runtimeDir = session.root + "/run";
  session.dataHome = session.root + "/data";
  fs::create_directories(session.runtimeDir);
  fs::create_directories(session.dataHome);
  fs::create_directories(session.root + "/home");
  ::chmod(session.runtimeDir.c_str(), 0700);
  writeFile(policyPath(session), comparisonPolicyText());
  startBus(session);
  startStandIn(session);
  probeReplies(session);
  return session;
}

long closeSession(Session& session) {
  stop(session.standIn);
  stop(session.busDaemon);
  long signals = 0;
  std::ifstream(session.root + "/signals") >> signals;
  std::error_code ignored;
  fs::remove_all(session.root, ignored);
  return signals;
}

HostCommand hostCommand(const Session& session, HostKind kind, Mix mix) {
  HostCommand command{std::string(hostLabel(kind)), {}, baseEnvironment(session, session.busAddress)};
  const BenchPaths& p = session.paths;
  std::string program = kind == HostKind::limit    ? p.limitHost
                        : kind == HostKind::ours   ? p.ourHost
                        : kind == HostKind::python ? p.pythonHost
                                                   : p.nodeHost;
  // The browser passes the calling extension's origin as the one argument.
  command.argv = {program, extensionOrigin};
  auto index = static_cast<std::size_t>(mix);
  if (index < session.replies.size())
    command.environment.push_back("QORDA_BENCH_REPLY=" + session.replies[index]);
  command.environment.push_back("QORDA_BENCH_ACTION=" + std::string(expectedAction(mix)));
  command.environment.push_back("QORDA_BENCH_REASON=" + std::string(expectedReason(mix)));
  return command;
}

HostCommand ourHostWithoutBus(const Session& session) {
  HostCommand command = hostCommand(session, HostKind::ours, Mix::takeover);
  command.label = "Qorda host, no bus";
  command.environment = baseEnvironment(session, "unix:path=" + session.root + "/no-bus-here");
  return command;
}

std::string inboxPath(const Session& session) {
  return session.dataHome + "/group.com.velmox.qorda/defaults.sqlite3";
}

std::string policyPath(const Session& session) { return session.runtimeDir + "/com.velmox.qorda.policy"; }

}  // namespace qorda::bench
