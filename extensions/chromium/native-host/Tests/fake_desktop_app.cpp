// Stands in for the desktop application on a private session bus: records
// each start and each capture signal in a folder, and may own the bus name.
//   fake_desktop_app RECORD_DIR [--own-name] [--activated]
#include <systemd/sd-bus.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <string>

namespace {

std::string recordDirectory;
int signalCount = 0;
volatile std::sig_atomic_t stopping = 0;

int onCapture(sd_bus_message* message, void*, sd_bus_error*) {
  if (sd_bus_message_enter_container(message, 'a', "{ss}") <= 0) return 0;
  const char* key = nullptr;
  const char* value = nullptr;
  std::string record;
  while (sd_bus_message_read(message, "{ss}", &key, &value) > 0) {
    record += std::string(key) + '=' + value;
  }
  std::ofstream(recordDirectory + "/signal-" + std::to_string(signalCount++), std::ios::binary) << record;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  recordDirectory = argv[1];
  bool ownName = false, activated = false;
  for (int i = 2; i < argc; ++i) {
    ownName |= std::strcmp(argv[i], "--own-name") == 0;
    activated |= std::strcmp(argv[i], "--activated") == 0;
  }
  std::signal(SIGTERM, [](int) { stopping = 1; });
  if (activated) std::ofstream(recordDirectory + "/starts", std::ios::app) << "started\n";
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return 1;
  // Only the instance a test starts by hand records signals, so that an
  // activated one does not write the same records.
  if (!activated && sd_bus_match_signal(bus, nullptr, nullptr, "/com/velmox/qorda", "com.velmox.qorda.capture.intent",
                                        "submit", onCapture, nullptr) < 0)
    return 1;
  if (ownName && sd_bus_request_name(bus, "com.velmox.qorda", 0) < 0) return 1;
  std::ofstream(recordDirectory + "/ready") << "ready\n";
  while (!stopping) {
    int progress = sd_bus_process(bus, nullptr);
    if (progress < 0) break;
    if (progress == 0) sd_bus_wait(bus, 200'000);
  }
  sd_bus_flush_close_unref(bus);
  return 0;
}
