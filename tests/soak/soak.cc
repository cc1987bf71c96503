// Soak: many menu cycles over many instances on the in-memory desktop, and
// many real start/stop cycles of the stand-in server. Prints the open
// descriptors, resident memory, uncollected children and armed timers at the
// start and at the end, and fails when they do not stay flat.
// Usage: soak [MENU_CYCLES [START_STOP_CYCLES]]   (defaults 100000 and 1000)
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Application.h"
#include "FakeDesktop.h"
#include "TestSupport.h"

namespace {

using namespace kestrond;

struct Figures {
  long descriptors;
  long residentKiB;
  size_t uncollectedChildren;
  size_t armedTimers;
};

long openDescriptors() {
  long count = 0;
  if (DIR* fds = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(fds)) count += entry->d_name[0] != '.';
    closedir(fds);
  }
  return count - 1;  // the listing's own
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      break;
    }
  }
  return value;
}

Figures figures(const test::FakeDesktop& desktop, const SystemProcessControl& processes) {
  return {openDescriptors(), residentKiB(), processes.uncollectedChildCount(),
          desktop.armedTimerCount()};
}

void print(const char* phase, const char* when, const Figures& f) {
  std::printf(
      "%-10s %-6s descriptors %3ld  resident %7ld KiB  uncollected children %zu  armed timers "
      "%zu\n",
      phase, when, f.descriptors, f.residentKiB, f.uncollectedChildren, f.armedTimers);
}

// AddressSanitizer keeps freed memory in quarantine, so resident memory says
// nothing there; LeakSanitizer watches for leaks instead.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMemoryMeaningful = false;
#else
constexpr bool kResidentMemoryMeaningful = true;
#endif

bool flat(const Figures& start, const Figures& end) {
  // A little allocator slack is allowed; a leak of even a few bytes per
  // cycle would show as megabytes.
  bool memoryFlat = !kResidentMemoryMeaningful || end.residentKiB - start.residentKiB < 2048;
  return end.descriptors == start.descriptors && end.uncollectedChildren == 0 &&
         end.armedTimers == 0 && memoryFlat;
}

}  // namespace

int main(int argc, char** argv) {
  long menuCycles = argc > 1 ? std::atol(argv[1]) : 100000;
  long startStopCycles = argc > 2 ? std::atol(argv[2]) : 1000;
  test::TempDir dir;
  test::LogCapture quiet;
  SystemProcessControl processes(quiet);
  test::ScopedEnvironment environment;
  std::string home = dir.makeDir("home");
  dir.makeDir("home/bin");
  symlink(test::standinServerPath().c_str(), (home + "/bin/kestrond").c_str());
  environment.set("KESTROND_HOME", home);
  environment.unset("KESTROND_BINARY");

  std::vector<std::unique_ptr<test::SleepingProcess>> servers;
  for (int i = 0; i < 200; ++i) {
    std::string name = "instance" + std::to_string(i);
    dir.makeInstance("home/" + name);
    if (i < 50) {
      servers.push_back(std::make_unique<test::SleepingProcess>());
      dir.writeFile("home/" + name + "/kestrond.lck", std::to_string(servers.back()->pid()) + "\n");
    }
  }

  test::FakeDesktop desktop(quiet);
  bool ok = true;
  {
    Application app(desktop, processes, quiet);
    app.applicationDidFinishLaunching();
    auto cycle = [&] {
      desktop.openMenu();
      desktop.advance(kMenuRefreshInterval);
      desktop.closeMenu();
    };
    cycle();
    Figures start = figures(desktop, processes);
    print("menu", "start", start);
    for (long i = 1; i < menuCycles; ++i) cycle();
    Figures end = figures(desktop, processes);
    print("menu", "end", end);
    std::printf("menu: %ld open/tick/close cycles over 200 instances, %zu of them running: %s\n",
                menuCycles, servers.size(), flat(start, end) ? "flat" : "NOT FLAT");
    ok = ok && flat(start, end) && desktop.rows().size() == 207;
  }
  servers.clear();

  KestrondInstance instance(dir.makeInstance("cycling"), processes, quiet);
  symlink(test::standinServerPath().c_str(), (instance.directory() + "/kestrond").c_str());
  auto reach = [&](ServerStatus status) { return test::refreshUntil(instance, status); };
  auto startStop = [&] {
    return instance.startup() && reach(ServerStatus::Running) && instance.shutdown() &&
           reach(ServerStatus::Stopped);
  };
  bool cycled = startStop();
  Figures start = figures(desktop, processes);
  print("servers", "start", start);
  for (long i = 1; i < startStopCycles && cycled; ++i) cycled = startStop();
  Figures end = figures(desktop, processes);
  print("servers", "end", end);
  std::printf("servers: %ld start/stop cycles of the stand-in server: %s\n", startStopCycles,
              cycled && flat(start, end) ? "flat" : "NOT FLAT");
  ok = ok && cycled && flat(start, end);
  std::printf("soak: %d passed, %d failed\n", ok ? 1 : 0, ok ? 0 : 1);
  return ok ? 0 : 1;
}
