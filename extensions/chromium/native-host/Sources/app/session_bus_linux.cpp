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

namespace qorda {
namespace {

// Every wait for the bus is bounded, so a bus that never answers cannot hold
// a reply back longer than this.
constexpr std::uint64_t busTimeoutMicroseconds = 500'000;

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

// Drives the connection until ready() holds; false on failure or timeout.
// Every message that arrives meanwhile is dispatched and dropped at once (a
// method call is answered with an error), so nothing a peer sends piles up.
template <typename Ready>
bool driveUntil(const SdBus& f, sd_bus* bus, Ready ready) {
  std::uint64_t deadline = monotonicMicroseconds() + busTimeoutMicroseconds;
  for (;;) {
    int state = ready();
    if (state != 0) return state > 0;
    int progress = f.process(bus, nullptr);
    if (progress < 0) return false;
    if (progress > 0) continue;
    std::uint64_t now = monotonicMicroseconds();
    if (now >= deadline || f.wait(bus, deadline - now) < 0) return false;
  }
}

struct Connection {
  sd_bus* bus = nullptr;
  bool unanswered = false;  // the bus let a handshake or a call time out: stop asking
};

Connection& connection() {
  static Connection shared;
  return shared;
}

// The session bus. A hand-off starts on a new connection: the host has no
// lasting name for peers to send to, and whatever they sent to the last one
// is dropped unread with it. Given up once the bus has stopped answering.
sd_bus* sessionBus(const SdBus& f, bool newConnection) {
  Connection& state = connection();
  bool dropped = state.bus != nullptr && (newConnection || state.unanswered || f.isOpen(state.bus) <= 0);
  if (dropped) state.bus = f.unref(state.bus);
  if (state.bus != nullptr || state.unanswered) return state.bus;
  sd_bus* bus = nullptr;
  if (f.openUser(&bus) < 0) return nullptr;
  if (!driveUntil(f, bus, [&] { return f.isReady(bus); })) {
    state.unanswered = f.isOpen(bus) > 0;
    f.unref(bus);
    return nullptr;
  }
  state.bus = bus;
  return bus;
}

// Writes out what is queued, within the bus timeout.
void flush(const SdBus& f, sd_bus* bus) {
  driveUntil(f, bus, [&] {
    int events = f.getEvents(bus);
    return events < 0 ? -1 : (events & POLLOUT) ? 0 : 1;
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
  bool answered = driveUntil(f, bus, [&] { return pending.arrived ? 1 : 0; });
  f.slotUnref(slot);
  // Each later takeover would wait as long again.
  if (!answered && f.isOpen(bus) > 0) connection().unanswered = true;
  return pending.reply;
}

bool isRunning(const SdBus& f, sd_bus* bus, const char* name) {
  MessageReleaser reply{f, callBus(f, bus, "NameHasOwner", name)};
  int owned = 0;
  // Unknown counts as running: starting nothing is the safe side.
  return reply.message == nullptr || f.read(reply.message, "b", &owned) < 0 || owned != 0;
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

}  // namespace

void ensureHostAppIsRunningInBackground() {
  const SdBus* f = sdBus();
  sd_bus* bus = f ? sessionBus(*f, true) : nullptr;
  if (bus == nullptr) return;
  // Activation by the bus starts at most one instance, with no window, as a
  // child of the bus, so the browser's clean-up of the host spares it.
  std::string name(hostAppBundleID);
  if (isRunning(*f, bus, name.c_str()) || !isActivatable(*f, bus, name)) return;
  requestStart(*f, bus, name.c_str());
}

void postCaptureNotification(std::string_view messageText) {
  const SdBus* f = sdBus();
  sd_bus* bus = f ? sessionBus(*f, false) : nullptr;
  if (bus == nullptr) return;
  std::size_t lastDot = notificationName.rfind('.');
  std::string interface(notificationName.substr(0, lastDot));
  std::string member(notificationName.substr(lastDot + 1));
  // The JSON layer refuses NUL bytes, so the text is a whole C string.
  BusPayload payload = busPayloadOf(messageText);
  MessageReleaser signal{*f};
  if (f->newSignal(bus, &signal.message, objectPathOf(hostAppBundleID).c_str(), interface.c_str(),
                   member.c_str()) < 0)
    return;
  int appended = payload.alteration ? f->append(signal.message, "a{ss}", 2, "payload", payload.text.c_str(),
                                                "payloadAltered", std::string(*payload.alteration).c_str())
                                    : f->append(signal.message, "a{ss}", 1, "payload", payload.text.c_str());
  if (appended < 0) return;
  if (f->send(bus, signal.message, nullptr) >= 0) flush(*f, bus);
}

}  // namespace qorda
