// How much a menu opening's scan costs over the bare system calls it needs.
//
// For 10, 100 and 1,000 instance directories, half of them with a live pid in
// the lock file, it times KestrondManager::allInstances() and, over the same
// directories, the bare calls a refresh needs (stat, open/read/close of the
// lock file, the null signal by pid). The records ask through the pidfd they
// hold for each live server, and open it when they first take the pid. It
// prints the cost per instance and the ratio.
// Run it from an optimised build: build/release/bench/instances_bench
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "KestrondManager.h"
#include "Log.h"
#include "ProcessControl.h"

namespace {

namespace fs = std::filesystem;

struct Installation {
  explicit Installation(int count) {
    char pattern[] = "/tmp/kestrond-bench-XXXXXX";
    root = mkdtemp(pattern);
    server = fork();
    if (server == 0) {
      while (true) pause();
    }
    for (int i = 0; i < count; ++i) {
      std::string directory = root + "/instance" + std::to_string(i);
      fs::create_directory(directory);
      std::ofstream(directory + "/kestrond.ini") << "[standin]\n";
      if (i % 2 == 0) std::ofstream(directory + "/kestrond.lck") << server << "\n";
      directories.push_back(directory);
    }
  }
  ~Installation() {
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    fs::remove_all(root);
  }
  std::string root;
  pid_t server = 0;
  std::vector<std::string> directories;
};

Installation& installation(int count) {
  static std::map<int, std::unique_ptr<Installation>> made;
  auto& slot = made[count];
  if (!slot) slot = std::make_unique<Installation>(count);
  return *slot;
}

void BM_AllInstances(benchmark::State& state) {
  Installation& home = installation(static_cast<int>(state.range(0)));
  // The scan's lines (one per instance found) are not what is measured.
  struct Quiet : kestrond::LogSink {
    void write(const std::string&) override {}
  } quiet;
  kestrond::StartingState starting;
  (void)starting.raiseFileLimit();  // fewer descriptors only if refused
  kestrond::SystemProcessControl processes(quiet, &starting);
  kestrond::KestrondManager manager(processes, quiet);
  manager.addSearchPath(home.root);
  manager.allInstances();  // the first scan adds the records
  for (auto _ : state) benchmark::DoNotOptimize(manager.allInstances());
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The least a scan must do: list the search path, stat each entry, and per
// instance either the null signal to its known server or a look for a lock
// file and the configuration file. The lock file is read (open/read/close)
// the first time only, as a refresh does once it knows a live pid.
void BM_BareSystemCalls(benchmark::State& state) {
  Installation& home = installation(static_cast<int>(state.range(0)));
  std::vector<pid_t> known(home.directories.size(), 0);
  char buffer[64];
  for (size_t i = 0; i < home.directories.size(); ++i) {
    int fd = open((home.directories[i] + "/kestrond.lck").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ssize_t got = read(fd, buffer, sizeof buffer - 1);
    close(fd);
    buffer[got > 0 ? got : 0] = '\0';
    known[i] = static_cast<pid_t>(atoi(buffer));
  }
  for (auto _ : state) {
    DIR* listing = opendir(home.root.c_str());
    while (dirent* entry = readdir(listing)) benchmark::DoNotOptimize(entry);
    closedir(listing);
    for (size_t i = 0; i < home.directories.size(); ++i) {
      const std::string& directory = home.directories[i];
      struct stat info;
      stat(directory.c_str(), &info);
      if (known[i] != 0) {
        kill(known[i], 0);
      } else {
        stat((directory + "/kestrond.lck").c_str(), &info);
        stat((directory + "/kestrond.ini").c_str(), &info);
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_AllInstances)->Arg(10)->Arg(100)->Arg(1000);
BENCHMARK(BM_BareSystemCalls)->Arg(10)->Arg(100)->Arg(1000);

// Prints the usual table, then the per-instance costs and their ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      std::string name = run.benchmark_name();
      size_t slash = name.find('/');
      int count = std::stoi(name.substr(slash + 1));
      double perInstance = run.GetAdjustedRealTime() / count;  // in the run's unit (ns)
      (name.rfind("BM_AllInstances", 0) == 0 ? _scan : _bare)[count] = perInstance;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-10s %18s %18s %8s\n", "instances", "allInstances ns", "bare calls ns",
                "ratio");
    for (const auto& [count, scan] : _scan) {
      double bare = _bare[count];
      std::printf("%-10d %18.0f %18.0f %8.2f\n", count, scan, bare, bare > 0 ? scan / bare : 0);
    }
  }

 private:
  std::map<int, double> _scan, _bare;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
