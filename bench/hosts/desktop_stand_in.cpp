// Stands in for the running desktop application on the bench's private bus:
// owns the application's bus name, so that each takeover finds it running,
// and counts the capture signals it hears.
//   qorda_bench_desktop_stand_in COUNT_FILE
// Writes "ready" on standard output once the name is owned; on SIGTERM writes
// the number of signals to COUNT_FILE and exits.
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace {

volatile std::sig_atomic_t stopping = 0;
long signalCount = 0;

int onCapture(sd_bus_message*, void*, sd_bus_error*) {
  ++signalCount;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::signal(SIGTERM, [](int) { stopping = 1; });
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return 1;
  if (sd_bus_match_signal(bus, nullptr, nullptr, "/com/velmox/qorda", "com.velmox.qorda.capture.intent",
                          "submit", onCapture, nullptr) < 0)
    return 1;
  if (sd_bus_request_name(bus, "com.velmox.qorda", 0) < 0) return 1;
  if (::write(1, "ready\n", 6) != 6) return 1;
  ::close(1);
  while (!stopping) {
    int progress = sd_bus_process(bus, nullptr);
    if (progress < 0) break;
    if (progress == 0) sd_bus_wait(bus, 100'000);
  }
  // Signals still queued at the bus count too.
  while (sd_bus_process(bus, nullptr) > 0) {
  }
  sd_bus_flush_close_unref(bus);
  if (std::FILE* file = std::fopen(argv[1], "w")) {
    std::fprintf(file, "%ld\n", signalCount);
    std::fclose(file);
  }
  return 0;
}
