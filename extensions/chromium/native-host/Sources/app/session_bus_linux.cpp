// The launch and the capture notification on Linux, over the D-Bus session
// bus. libsystemd is loaded only when the first takeover needs the bus: it
// brings seven more shared libraries, which every other answer would pay for
// at start-up.
#include "bus_payload.h"
#include "companion.h"

#include <dlfcn.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace qorda {
namespace {

// Every hand-off's waits for the bus together end after this, so a bus that
// never answers cannot hold a reply back longer.
constexpr std::uint64_t busTimeoutMicroseconds = 500'000;
// After a wait ran out, the bus is left alone this long, then tried afresh:
// a bus that has stopped answering costs one wait per period, not one per
// takeover, and one that answers again is used again.
constexpr std::uint64_t backOffMicroseconds = 2'000'000;
// What arrived on the kept connection is dispatched before each use, for
// this long at most; more than this many messages arriving while a reply is
// awaited means a flood, which is dropped with the connection.
constexpr std::uint64_t drainMicroseconds = 2'000;
constexpr int largestDrain = 16;

constexpr const char* busService = "org.freedesktop.DBus";
constexpr const char* busPath = "/org/freedesktop/DBus";
constexpr const char* busInterface = "org.freedesktop.DBus";

struct SdBus {
  decltype(&sd_bus_open_user) openUser;
  decltype(&sd_bus_is_ready) isReady;
  decltype(&sd_bus_is_open) isOpen;
  decltype(&sd_bus_process) process;
  decltype(&sd_bus_wait) wait;
  decltype(&sd_bus_get_events) getEvents;
  decltype(&sd_bus_unref) unref;
  decltype(&sd_bus_call_async) callAsync;
  decltype(&sd_bus_add_match_async) addMatchAsync;
  decltype(&sd_bus_slot_unref) slotUnref;
  decltype(&sd_bus_message_ref) messageRef;
  decltype(&sd_bus_message_is_method_error) isMethodError;
  decltype(&sd_bus_send) send;
  decltype(&sd_bus_message_new_method_call) newMethodCall;
  decltype(&sd_bus_message_new_signal) newSignal;
  decltype(&sd_bus_message_append) append;
  decltype(&sd_bus_message_read) read;
  decltype(&sd_bus_message_enter_container) enterContainer;
  decltype(&sd_bus_message_set_expect_reply) setExpectReply;
  decltype(&sd_bus_message_unref) messageUnref;
};

template <typename Function>
bool bind(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(::dlsym(library, name));
  return function != nullptr;
}

// The functions of libsystemd, looked up once; nothing when it is missing.
const SdBus* sdBus() {
  static const std::optional<SdBus> functions = []() -> std::optional<SdBus> {
    void* library = ::dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return std::nullopt;
    SdBus f{};
    bool bound =
        bind(library, "sd_bus_open_user", f.openUser) && bind(library, "sd_bus_is_ready", f.isReady) &&
        bind(library, "sd_bus_is_open", f.isOpen) && bind(library, "sd_bus_process", f.process) &&
        bind(library, "sd_bus_wait", f.wait) && bind(library, "sd_bus_get_events", f.getEvents) &&
        bind(library, "sd_bus_unref", f.unref) && bind(library, "sd_bus_call_async", f.callAsync) &&
        bind(library, "sd_bus_add_match_async", f.addMatchAsync) &&
        bind(library, "sd_bus_slot_unref", f.slotUnref) &&
        bind(library, "sd_bus_message_ref", f.messageRef) &&
        bind(library, "sd_bus_message_is_method_error", f.isMethodError) &&
        bind(library, "sd_bus_send", f.send) &&
        bind(library, "sd_bus_message_new_method_call", f.newMethodCall) &&
        bind(library, "sd_bus_message_new_signal", f.newSignal) &&
        bind(library, "sd_bus_message_append", f.append) && bind(library, "sd_bus_message_read", f.read) &&
        bind(library, "sd_bus_message_enter_container", f.enterContainer) &&
        bind(library, "sd_bus_message_set_expect_reply", f.setExpectReply) &&
        bind(library, "sd_bus_message_unref", f.messageUnref);
    if (!bound) return std::nullopt;
    return f;
  }();
  return functions ? &*functions : nullptr;
}

std::uint64_t monotonicMicroseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 + static_cast<std::uint64_t>(now.tv_nsec) / 1'000;
}

enum class Owner { unknown, present, absent };

// One connection for the life of the process: a socket, an authentication
// and a Hello each time would cost more than the rest of the hand-off.
struct Connection {
  sd_bus* bus = nullptr;
  std::uint64_t deadline = 0;    // of the current hand-off's waits
  std::uint64_t quietUntil = 0;  // the bus let a wait run out: left alone until then
  bool flooded = false;          // more arrived during a wait than a drain takes
  bool drained = false;          // in the current hand-off: its signal follows the launch check at once
  // Whether the application owns its name, as the bus last said. Once the
  // bus confirms the subscription to the name's owner changes, they keep it
  // current, and a takeover asks the bus nothing before its signal.
  bool watching = false;
  Owner owner = Owner::unknown;
  int expected = 0;  // owner changes and the subscription's confirmation dispatched
};

Connection& connection() {
  static Connection shared;
  return shared;
}

void drop(const SdBus& f, Connection& state) {
  if (state.bus != nullptr) state.bus = f.unref(state.bus);
  state.watching = false;
  state.owner = Owner::unknown;
  state.expected = 0;
}

// Drives the connection until ready() holds; false on failure or when the
// hand-off's time has run out, which also starts the back-off. Every message
// that arrives meanwhile is dispatched and dropped at once (a method call is
// answered with an error), so nothing a peer sends piles up.
template <typename Ready>
bool driveUntil(const SdBus& f, sd_bus* bus, Ready ready) {
  Connection& state = connection();
  // The daemon refills the socket as it is read, so a drain that found it
  // empty may still meet a flood here, before the awaited reply.
  for (int dispatched = 0;;) {
    int status = ready();
    if (status != 0) return status > 0;
    int progress = f.process(bus, nullptr);
    if (progress < 0) return false;
    // A handshake takes a few steps, a flood many more.
    if (progress > 0 && ++dispatched > largestDrain) {
      state.flooded = true;
      return false;
    }
    std::uint64_t now = monotonicMicroseconds();
    if (now >= state.deadline) {
      state.quietUntil = now + backOffMicroseconds;
      return false;
    }
    if (progress == 0 && f.wait(bus, state.deadline - now) < 0) return false;
  }
}

// Dispatches what arrived since the last hand-off; false when the
// connection failed or anything came but what the host subscribed to.
// Nothing else is addressed to the host in the ordinary course (it owns no
// name), and a stray may be the first of a flood that the daemon is still
// writing, which would hold back the next owner change: the connection goes
// with it, and the daemon drops what it still held for it.
bool drain(const SdBus& f, Connection& state) {
  std::uint64_t end = monotonicMicroseconds() + drainMicroseconds;
  for (int expected = state.expected, dispatched = 1;; ++dispatched) {
    int progress = f.process(state.bus, nullptr);
    if (progress == 0) return f.isOpen(state.bus) > 0;
    if (progress < 0 || dispatched > state.expected - expected || monotonicMicroseconds() >= end)
      return false;
  }
}

int onOwnerChanged(sd_bus_message* message, void*, sd_bus_error*) {
  const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
  if (sdBus()->read(message, "sss", &name, &oldOwner, &newOwner) >= 0)
    connection().owner = *newOwner != '\0' ? Owner::present : Owner::absent;
  ++connection().expected;
  return 0;
}

int onWatchInstalled(sd_bus_message* message, void*, sd_bus_error*) {
  connection().watching = sdBus()->isMethodError(message, nullptr) == 0;
  ++connection().expected;
  return 0;
}

// Subscribes to the application's owner changes. Not waited for: the bus
// handles requests in order, so its confirmation arrives before the reply
// to the owner query that follows it, and no change falls between the two.
void watchOwner(const SdBus& f, sd_bus* bus) {
  static const std::string match =
      "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
      "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" +
      std::string(hostAppBundleID) + "'";
  // No slot: the subscription lives as long as the connection.
  f.addMatchAsync(bus, nullptr, match.c_str(), onOwnerChanged, onWatchInstalled, nullptr);
}

// The session bus for this hand-off, or nothing while it is left alone or
// cannot be reached. The handshake is not waited for: the first call goes
// out behind it and its reply shows that both went through.
sd_bus* sessionBus(const SdBus& f) {
  Connection& state = connection();
  if (state.bus != nullptr && !std::exchange(state.drained, true) && !drain(f, state)) drop(f, state);
  if (state.bus != nullptr) return state.bus;
  if (monotonicMicroseconds() < state.quietUntil || f.openUser(&state.bus) < 0) return state.bus = nullptr;
  watchOwner(f, state.bus);
  return state.bus;
}

// Writes out what is queued, within the hand-off's time. A new connection
// holds its messages until the handshake is done, and shows no pending
// output meanwhile: it is flushed only once it runs.
bool flush(const SdBus& f, sd_bus* bus) {
  return driveUntil(f, bus, [&] {
    int running = f.isReady(bus), events = f.getEvents(bus);
    return running < 0 || events < 0 ? -1 : running == 0 || (events & POLLOUT) ? 0 : 1;
  });
}

struct MessageReleaser {
  const SdBus& f;
  sd_bus_message* message = nullptr;
  ~MessageReleaser() {
    if (message != nullptr) f.messageUnref(message);
  }
};

struct PendingReply {
  const SdBus& f;
  bool arrived = false;
  sd_bus_message* reply = nullptr;  // nothing for an error
};

int onReply(sd_bus_message* message, void* userData, sd_bus_error*) {
  auto* pending = static_cast<PendingReply*>(userData);
  pending->arrived = true;
  if (pending->f.isMethodError(message, nullptr) == 0) pending->reply = pending->f.messageRef(message);
  return 0;
}

// Calls a bus method with one string argument and waits, within the bus
// timeout, for its reply, dispatching whatever else arrives meanwhile.
sd_bus_message* callBus(const SdBus& f, sd_bus* bus, const char* method, const char* argument) {
  MessageReleaser call{f};
  if (f.newMethodCall(bus, &call.message, busService, busPath, busInterface, method) < 0) return nullptr;
  if (argument != nullptr && f.append(call.message, "s", argument) < 0) return nullptr;
  PendingReply pending{f};
  sd_bus_slot* slot = nullptr;
  if (f.callAsync(bus, &slot, call.message, onReply, &pending, busTimeoutMicroseconds) < 0) return nullptr;
  driveUntil(f, bus, [&] { return pending.arrived ? 1 : 0; });
  f.slotUnref(slot);
  return pending.reply;
}

Owner askOwner(const SdBus& f, sd_bus* bus, const char* name) {
  MessageReleaser reply{f, callBus(f, bus, "NameHasOwner", name)};
  int owned = 0;
  if (reply.message == nullptr || f.read(reply.message, "b", &owned) < 0) return Owner::unknown;
  return owned != 0 ? Owner::present : Owner::absent;
}

bool isActivatable(const SdBus& f, sd_bus* bus, std::string_view name) {
  MessageReleaser reply{f, callBus(f, bus, "ListActivatableNames", nullptr)};
  if (reply.message == nullptr || f.enterContainer(reply.message, 'a', "s") <= 0) return false;
  const char* listed = nullptr;
  while (f.read(reply.message, "s", &listed) > 0) {
    if (name == listed) return true;
  }
  return false;
}

void requestStart(const SdBus& f, sd_bus* bus, const char* name) {
  MessageReleaser call{f};
  if (f.newMethodCall(bus, &call.message, busService, busPath, busInterface, "StartServiceByName") < 0)
    return;
  if (f.append(call.message, "su", name, 0u) < 0) return;
  f.setExpectReply(call.message, 0);
  if (f.send(bus, call.message, nullptr) >= 0) flush(f, bus);
}

// "com.velmox.qorda" as an object path: "/com/velmox/qorda".
std::string objectPathOf(std::string_view name) {
  std::string path = "/" + std::string(name);
  for (char& c : path) c = c == '.' ? '/' : c;
  return path;
}

// Lets the next hand-off start afresh when this one failed or ran out of time.
void settle(const SdBus& f, bool succeeded) {
  Connection& state = connection();
  if (!succeeded || state.flooded || state.bus == nullptr || f.isOpen(state.bus) <= 0 ||
      monotonicMicroseconds() < state.quietUntil)
    drop(f, state);
  state.flooded = false;
}

}  // namespace

void ensureHostAppIsRunningInBackground() {
  const SdBus* f = sdBus();
  if (f == nullptr) return;
  // The launch check opens the hand-off: its waits and the signal's share one budget.
  connection().deadline = monotonicMicroseconds() + busTimeoutMicroseconds;
  connection().drained = false;
  sd_bus* bus = sessionBus(*f);
  if (bus == nullptr) return;
  // Activation by the bus starts at most one instance, with no window, as a
  // child of the bus, so the browser's clean-up of the host spares it.
  static const std::string name(hostAppBundleID);
  Connection& state = connection();
  Owner owner = state.owner;
  if (owner == Owner::unknown) {
    owner = askOwner(*f, bus, name.c_str());
    if (state.watching) state.owner = owner;
  }
  // Unknown counts as running: starting nothing is the safe side.
  if (owner == Owner::absent && isActivatable(*f, bus, name)) requestStart(*f, bus, name.c_str());
  settle(*f, true);
}

void postCaptureNotification(std::string_view messageText) {
  const SdBus* f = sdBus();
  sd_bus* bus = f ? sessionBus(*f) : nullptr;
  if (bus == nullptr) return;
  static const std::string path = objectPathOf(hostAppBundleID);
  static const std::string interface(notificationName.substr(0, notificationName.rfind('.')));
  static const std::string member(notificationName.substr(notificationName.rfind('.') + 1));
  static const std::string altered = "payloadAltered";
  // The JSON layer refuses NUL bytes, so the text is a whole C string.
  BusPayload payload = busPayloadOf(messageText);
  MessageReleaser signal{*f};
  bool sent =
      f->newSignal(bus, &signal.message, path.c_str(), interface.c_str(), member.c_str()) >= 0 &&
      (payload.alteration ? f->append(signal.message, "a{ss}", 2, "payload", payload.text.c_str(),
                                      altered.c_str(), std::string(*payload.alteration).c_str())
                          : f->append(signal.message, "a{ss}", 1, "payload", payload.text.c_str())) >= 0 &&
      f->send(bus, signal.message, nullptr) >= 0 && flush(*f, bus);
  settle(*f, sent);
}

}  // namespace qorda
