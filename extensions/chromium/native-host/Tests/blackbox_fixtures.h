// What the black-box tests need around the built host: a private world in a
// temporary folder (runtime, data and home folders, a private session bus
// with the stand-in desktop application), real pipes, frames, and the inbox
// as the desktop application reads it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qorda::test {

namespace fs = std::filesystem;

// A host still running after this is killed, so a hang fails the test
// instead of holding up the run; generous for sanitizer and valgrind builds.
inline constexpr int hostDeadlineSeconds = 20;

std::string frame(std::string_view body);
std::string frames(const std::vector<std::string>& bodies);
// The bodies of the whole frames in bytes, in order.
std::vector<std::string> framesIn(std::string bytes);

enum class Bus { none, notInstalled, notRunning, running, frozen };
enum class PolicyFile {
  text,
  directory,
  fifo,
  danglingLink,
  unreadable,
  sparseTiB,
  sparse2GiB,
  noRuntimeDirectory
};
enum class Store { fresh, readOnly, notADatabase, otherTable, view, smallDisk };

struct InboxRow {
  std::int64_t id = 0;
  std::string payload;
};

// A temporary folder with everything a host reaches, named by the process
// environment while it lives (one sandbox at a time); removed, and its bus
// and stand-in application stopped, when it goes.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // A private bus; unless frozen, the stand-in application listens on it, in
  // the mode given or the one the bus says.
  void startBus(Bus bus, std::string applicationMode = "");
  void stopBus();
  // Publishes text (unless empty), then makes the file what kind says.
  void makePolicy(PolicyFile kind, const std::string& text);
  // Writes a temporary file and renames it over the policy file.
  void publish(std::string_view text);
  // The same size and modification time: only the change time tells.
  void rewriteInPlace(std::string_view text);
  // False when this store cannot be made here (a small disk needs root).
  bool makeStore(Store kind, const std::vector<std::string>& rows = {});
  void repairStore();

  // Each capture signal the stand-in heard: its entries ("payload=…", then
  // "payloadAltered=…") joined by \x1f; waits until there are at least count.
  std::vector<std::string> signals(std::size_t count = 0) const;
  std::string record(const char* name) const;

  fs::path root, policyPath, databasePath;

 private:
  pid_t bus_ = -1, application_ = -1;
  Store store_ = Store::fresh;
};

// exitStatus is -1 when the host did not exit normally.
struct HostRun {
  std::vector<std::string> replies;
  std::string errors;
  int exitStatus = -1;
};

// The built host with pipes for input and output, killed once the deadline
// has passed (which ends every wait for it) or when it goes.
class Host {
 public:
  Host();
  ~Host();
  void send(std::string_view bytes);
  // The next reply; nothing when the output ends first.
  std::optional<std::string> reply();
  // Writes input in pieces of the sizes given in turn and closes the input,
  // while it collects the replies; then waits for the exit.
  HostRun finish(std::string_view input = {}, const std::vector<std::size_t>& pieces = {});
  void closeOutput();
  long peakKilobytes() const;  // resident, from /proc

  pid_t pid = -1;

 private:
  int input_ = -1, output_ = -1, errors_ = -1;
  std::string bytes_;  // output not yet taken as replies
  std::jthread watchdog_;
};

// The inbox in id order, after checking the database as a reader would.
std::vector<InboxRow> inboxRows(const Sandbox& sandbox);
// What the desktop application does: takes every row and deletes them, in
// one transaction.
std::vector<InboxRow> drainInbox(const Sandbox& sandbox);

// Polls condition for up to the given seconds.
template <typename Condition>
bool eventually(Condition condition, int seconds = 5) {
  for (int i = 0; i < seconds * 100 && !condition(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return condition();
}

}  // namespace qorda::test
