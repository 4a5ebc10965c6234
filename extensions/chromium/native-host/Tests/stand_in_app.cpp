// Stands in for the desktop application on a private session bus.
//   stand_in_app RECORDS listen|own|flood|activated
// listen: appends every capture signal to RECORDS/signals (its key=value
// entries parted by \x1f, the record ended by \x1e, bytes that no JSON text
// holds); own: also owns the application's name;
// flood: also sends the first signal's sender 800 method calls of 120 KB and
// writes RECORDS/flooded once the bus has queued them; activated: started by
// the bus, owns the name and adds a line to RECORDS/starts.
#include <systemd/sd-bus.h>

#include <fstream>
#include <string>

namespace {

std::string records, mode;

void flood(sd_bus* bus, const char* destination) {
  const std::string filler(120 * 1024, 'f');
  // Without a callback or a slot, no reply is asked for.
  for (int i = 0; i < 800; ++i)
    sd_bus_call_method_async(bus, nullptr, destination, "/", "org.example.Flood", "Fill", nullptr, nullptr,
                             "s", filler.c_str());
  // The bus routes in order: its answer comes once the flood is queued.
  sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId",
                     nullptr, nullptr, "");
  std::ofstream(records + "/flooded") << "flooded\n";
}

int onCapture(sd_bus_message* message, void*, sd_bus_error*) {
  std::string record;
  const char *key = nullptr, *value = nullptr;
  sd_bus_message_enter_container(message, 'a', "{ss}");
  while (sd_bus_message_read(message, "{ss}", &key, &value) > 0)
    record += (record.empty() ? "" : "\x1f") + std::string(key) + '=' + value;
  std::ofstream(records + "/signals", std::ios::binary | std::ios::app) << record << '\x1e';
  if (mode == "flood") flood(sd_bus_message_get_bus(message), sd_bus_message_get_sender(message));
  mode = "own";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  records = argv[1], mode = argv[2];
  if (mode == "activated") std::ofstream(records + "/starts", std::ios::app) << "started\n";
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return 1;
  if (mode != "activated" &&
      sd_bus_match_signal(bus, nullptr, nullptr, "/com/velmox/qorda", "com.velmox.qorda.capture.intent",
                          "submit", onCapture, nullptr) < 0)
    return 1;
  if (mode != "listen" && sd_bus_request_name(bus, "com.velmox.qorda", 0) < 0) return 1;
  // Only the one the test starts: it waits for this, and one the bus starts
  // meanwhile must not answer for it.
  if (mode != "activated") std::ofstream(records + "/ready") << "ready\n";
  // Runs until the bus goes or the test stops it.
  for (int progress = 0; progress >= 0; progress = sd_bus_process(bus, nullptr))
    if (progress == 0) sd_bus_wait(bus, UINT64_MAX);
  return 0;
}
