// Starting real stand-in servers: what the server is started with, which
// executable is chosen, and stopping it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <map>
#include <memory>

#include "KestrondInstance.h"
#include "KestrondManager.h"
#include "Paths.h"
#include "ProcessControl.h"
#include "TestSupport.h"

namespace kestrond {
namespace {

class ServerProcessTest : public ::testing::Test {
 protected:
  // An instance whose stand-in reports how it was started to `report`.
  std::string makeReportingInstance(const std::string& name) {
    report = dir.path() + "/" + name + ".report";
    return dir.makeInstance(name, "[standin]\nreport_file = " + report + "\n");
  }
  void linkServer(const std::string& where) {
    ASSERT_EQ(symlink(test::standinServerPath().c_str(), where.c_str()), 0);
  }
  std::map<std::string, std::string> awaitReport() {
    EXPECT_TRUE(test::waitFor([&] { return pathKind(report) == PathKind::Other; }));
    return test::readReport(report);
  }
  void stop(KestrondInstance& instance) {
    ASSERT_TRUE(test::refreshUntil(instance, ServerStatus::Running));
    ASSERT_TRUE(instance.shutdown());
    ASSERT_TRUE(test::refreshUntil(instance, ServerStatus::Stopped));
  }

  test::TempDir dir;
  test::LogCapture log;
  test::RecordingProcessControl control{log};
  test::ScopedEnvironment environment;
  std::string report;
};

TEST_F(ServerProcessTest, ServerIsDetachedOnDevNullInItsDirectory) {
  std::string path = makeReportingInstance("database");
  linkServer(path + "/kestrond");
  environment.unset("KESTROND_BINARY");
  environment.set("KESTROND_PROBE", "inherited");
  // Descriptors of ours without close-on-exec, as a careless parent leaves
  // them, low and high.
  int low = open("/dev/null", O_RDONLY);
  int at40 = fcntl(low, F_DUPFD, 40);
  int at300 = fcntl(low, F_DUPFD, 300);
  ASSERT_EQ(at40, 40);
  ASSERT_EQ(at300, 300);
  // SIGTERM ignored and blocked, as a parent may leave it: the server must
  // inherit neither, or it could never be stopped.
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGTERM, &ignore, &previous);
  sigprocmask(SIG_BLOCK, &term, nullptr);

  KestrondInstance instance(path, control, log);
  bool started = instance.startup();
  sigprocmask(SIG_UNBLOCK, &term, nullptr);
  sigaction(SIGTERM, &previous, nullptr);
  ASSERT_TRUE(started);
  auto seen = awaitReport();
  close(low);
  close(at40);
  close(at300);

  EXPECT_EQ(seen["argv0"], "kestrond");
  EXPECT_EQ(seen["argv1"], "-f");
  EXPECT_EQ(seen.count("argv2"), 0u);
  EXPECT_EQ(seen["cwd"], path);
  EXPECT_EQ(seen["pid"], std::to_string(instance.pid()));
  EXPECT_EQ(seen["session_leader"], "1");
  EXPECT_EQ(seen["fd0"], "/dev/null");
  EXPECT_EQ(seen["fd1"], "/dev/null");
  EXPECT_EQ(seen["fd2"], "/dev/null");
  EXPECT_EQ(seen["open_fds"], "0,1,2,");
  EXPECT_EQ(seen["sigterm_blocked"], "0");
  EXPECT_EQ(seen["sigterm_ignored"], "0");
  EXPECT_EQ(seen["env:KESTROND_PROBE"], "inherited");
  stop(instance);
  EXPECT_EQ(pathKind(path + "/kestrond.lck"), PathKind::Absent);  // the server removed it
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(ServerProcessTest, ServerGetsTheOpenFilesLimitAsItWas) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  // A soft limit below the hard one, as a session usually sets it.
  rlimit before = saved;
  before.rlim_cur = std::min<rlim_t>(saved.rlim_max / 2, 512);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &before), 0);
  std::string path = makeReportingInstance("demo");
  linkServer(path + "/kestrond");
  environment.unset("KESTROND_BINARY");
  StartingState starting;
  ASSERT_FALSE(starting.raiseFileLimit().failed());
  rlimit raised{};
  getrlimit(RLIMIT_NOFILE, &raised);
  SystemProcessControl processes(log, &starting);
  KestrondInstance instance(path, processes, log);
  bool started = instance.startup();
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(raised.rlim_cur, before.rlim_max);
  ASSERT_TRUE(started);
  EXPECT_EQ(awaitReport()["open_files_limit"], std::to_string(before.rlim_cur));
  stop(instance);
}

TEST_F(ServerProcessTest, ExecutableSearchOrder) {
  std::string home = dir.makeDir("home");
  std::string path = dir.makeInstance("home/demo");
  std::string binary = dir.writeFile("elsewhere/server", "");
  KestrondInstance instance(path, control, log);

  environment.set("KESTROND_BINARY", dir.path() + "/missing");
  EXPECT_EQ(instance.findExecutable(), "kestrond");
  dir.writeFile("home/bin/kestrond", "");
  EXPECT_EQ(instance.findExecutable(), path + "/../bin/kestrond");
  dir.writeFile("home/demo/kestrond", "");
  EXPECT_EQ(instance.findExecutable(), path + "/kestrond");
  environment.set("KESTROND_BINARY", dir.path() + "/elsewhere");  // a directory
  EXPECT_EQ(instance.findExecutable(), path + "/kestrond");
  environment.set("KESTROND_BINARY", binary);
  EXPECT_EQ(instance.findExecutable(), binary);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(ServerProcessTest, BareNameIsFoundAlongPath) {
  std::string path = makeReportingInstance("demo");
  std::string bin = dir.makeDir("tools");
  linkServer(bin + "/kestrond");
  environment.unset("KESTROND_BINARY");
  environment.set("PATH", dir.path() + "/nothing-here:" + bin);
  KestrondInstance instance(path, control, log);
  ASSERT_EQ(instance.findExecutable(), "kestrond");
  ASSERT_TRUE(instance.startup());
  EXPECT_EQ(awaitReport()["argv0"], "kestrond");
  stop(instance);
}

TEST_F(ServerProcessTest, RelativeBinaryRunsTheFileThatWasTested) {
  std::string path = makeReportingInstance("demo");
  linkServer(dir.path() + "/server");
  char* saved = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  environment.set("KESTROND_BINARY", "./server");
  KestrondInstance instance(path, control, log);
  bool started = instance.startup();
  ASSERT_EQ(chdir(saved), 0);
  free(saved);
  ASSERT_TRUE(started);
  EXPECT_EQ(awaitReport()["cwd"], path);
  stop(instance);
}

TEST_F(ServerProcessTest, BareBinaryNameRunsTheFileThatWasTested) {
  std::string path = makeReportingInstance("demo");
  linkServer(dir.path() + "/server");
  // A file of that name along PATH that would end at once, unreported.
  std::string decoy = dir.writeFile("tools/server", "#!/bin/sh\nexit 3\n");
  ASSERT_EQ(chmod(decoy.c_str(), 0755), 0);
  environment.set("PATH", dir.path() + "/tools");
  environment.set("KESTROND_BINARY", "server");
  char* saved = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  KestrondInstance instance(path, control, log);
  std::string executable = instance.findExecutable();
  bool started = instance.startup();
  ASSERT_EQ(chdir(saved), 0);
  free(saved);
  EXPECT_EQ(executable, dir.path() + "/server");
  ASSERT_TRUE(started);
  EXPECT_EQ(awaitReport()["cwd"], path);
  stop(instance);
}

TEST_F(ServerProcessTest, CandidateThatCannotRunIsLoggedAndEndsStopped) {
  struct Case {
    const char* contents;
    mode_t mode;
    const char* reason;
  } cases[] = {
      {"not a program", 0644, "Permission denied"},
      {"#!/nonexistent/interpreter\n", 0755, "No such file or directory"},
  };
  environment.unset("KESTROND_BINARY");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    log.clear();
    std::string path = dir.makeInstance("demo");
    std::string server = dir.writeFile("demo/kestrond", c.contents);
    ASSERT_EQ(chmod(server.c_str(), c.mode), 0);
    KestrondInstance instance(path, control, log);
    ASSERT_TRUE(instance.startup());
    EXPECT_EQ(instance.serverStatus(), ServerStatus::Starting);
    ASSERT_TRUE(test::refreshUntil(instance, ServerStatus::Stopped));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Cannot start " + server + ": " + c.reason});
  }
}

TEST_F(ServerProcessTest, WithoutPidfdsServersAreKnownByPid) {
  std::string path = makeReportingInstance("demo");
  linkServer(path + "/kestrond");
  environment.unset("KESTROND_BINARY");
  for (bool pidfds : {true, false}) {
    SCOPED_TRACE(pidfds ? "pidfds" : "pids only");
    control.noPidfds = !pidfds;
    control.signals.clear();
    control.signalsThroughPidfd = 0;
    KestrondInstance instance(path, control, log);
    ASSERT_TRUE(instance.startup());
    stop(instance);
    EXPECT_EQ(control.signals.size(), 1u);
    EXPECT_EQ(control.signalsThroughPidfd, pidfds ? 1 : 0);
  }
}

// More live servers than free descriptors: pidfds only while a reserve stays
// free for the tray, D-Bus and file reads; the rest are known by pid, one
// line says so, and every lock file is still read.
TEST_F(ServerProcessTest, PidfdsLeaveAReserveOfDescriptors) {
  constexpr int kServers = 300;
  std::vector<std::unique_ptr<test::SleepingProcess>> servers;
  for (int i = 0; i < kServers; ++i) {
    std::string name = "home/server" + std::to_string(i);
    dir.makeInstance(name);
    servers.push_back(std::make_unique<test::SleepingProcess>());
    dir.writeFile(name + "/kestrond.lck", std::to_string(servers.back()->pid()) + "\n");
  }
  std::optional<int> status = test::runInChild([&] {
    rlimit limit{256, 256};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 10;
    test::LogCapture inner;
    SystemProcessControl processes(inner);
    KestrondManager manager(processes, inner);
    manager.addSearchPath(dir.path() + "/home");
    std::vector<std::shared_ptr<KestrondInstance>> all = manager.allInstances();
    if (all.size() != static_cast<size_t>(kServers)) return 11;
    int withPidfd = 0;
    for (const auto& instance : all) {
      if (instance->serverStatus() != ServerStatus::Running) return 12;
      withPidfd += instance->pidfd() >= 0;
    }
    // A descriptor is still there to be had, with room to spare.
    int spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (spare < 0 || spare > 256 - 32) return 13;
    if (withPidfd == 0 || withPidfd == kServers) return 14;
    size_t lines = std::count_if(
        inner.lines().begin(), inner.lines().end(),
        [](const std::string& line) { return line.find("known by pid") != std::string::npos; });
    if (lines != 1) return 15;
    // A second scan logs it no more.
    manager.allInstances();
    return std::count_if(inner.lines().begin(), inner.lines().end(),
                         [](const std::string& line) {
                           return line.find("known by pid") != std::string::npos;
                         }) == 1
               ? 0
               : 16;
  });
  EXPECT_EQ(status, 0);
}

TEST_F(ServerProcessTest, ServerThatRefusesOrFailsEndsStopped) {
  std::string path = dir.makeInstance("demo", "[standin]\nexit_status = 7\n");
  linkServer(path + "/kestrond");
  environment.unset("KESTROND_BINARY");
  KestrondInstance instance(path, control, log);
  ASSERT_TRUE(instance.startup());
  ASSERT_TRUE(test::refreshUntil(instance, ServerStatus::Stopped));
}

TEST(ExecutableCandidates, FollowExecvpRules) {
  struct Case {
    const char* file;
    const char* path;
    std::vector<std::string> expected;
  } cases[] = {
      {"/opt/k/kestrond", "/bin", {"/opt/k/kestrond"}},
      {"kestrond", "/a:/b/", {"/a/kestrond", "/b/kestrond"}},
      {"kestrond", "/a::/b", {"/a/kestrond", "kestrond", "/b/kestrond"}},
      {"kestrond", "", {"kestrond"}},
      {"kestrond", nullptr, {"/bin/kestrond", "/usr/bin/kestrond"}},
      {"", "/bin", {}},
  };
  for (const Case& c : cases) {
    std::optional<std::string> path = c.path ? std::optional<std::string>(c.path) : std::nullopt;
    EXPECT_EQ(executableCandidates(c.file, path), c.expected) << c.file;
  }
  EXPECT_EQ(executableCandidates("bin/kestrond", std::string("/x")),
            (std::vector<std::string>{absolutePath("bin/kestrond")}));
}

// What a process runs now: its first argument.
std::string runningProgram(pid_t pid) {
  std::string commandLine = test::readFile("/proc/" + std::to_string(pid) + "/cmdline");
  return commandLine.substr(0, commandLine.find('\0'));
}

// A placed server runs its file only once its own release comes, whatever
// the order of the releases; and a monitor that ends lets its held servers go.
TEST_F(ServerProcessTest, HeldServersRunOnlyOnTheirOwnRelease) {
  auto control = std::make_unique<SystemProcessControl>(log);
  std::map<pid_t, std::function<void()>> releases;
  std::vector<std::string> directories;
  control->setPlacement([&](pid_t pid, const std::string& directory, std::function<void()> go) {
    releases[pid] = std::move(go);
    directories.push_back(directory);
  });
  std::vector<pid_t> pids;
  for (const char* name : {"first", "second", "third"}) {
    std::string path = dir.makeInstance(name);
    Result<pid_t> child = control->launch(test::standinServerPath(), {"kestrond", "-f"}, path);
    ASSERT_TRUE(child.ok());
    pids.push_back(child.value());
    EXPECT_EQ(directories.back(), path);
  }
  // Each goes when its own release comes, and alone: a later one, still
  // held, keeps no copy of an earlier one's hold.
  releases[pids[0]]();
  ASSERT_TRUE(test::waitFor([&] { return runningProgram(pids[0]) == "kestrond"; }));
  EXPECT_NE(runningProgram(pids[1]), "kestrond");
  EXPECT_NE(runningProgram(pids[2]), "kestrond");
  releases[pids[1]]();
  ASSERT_TRUE(test::waitFor([&] { return runningProgram(pids[1]) == "kestrond"; }));
  EXPECT_NE(runningProgram(pids[2]), "kestrond");
  // The monitor's end is the third one's release.
  control.reset();
  ASSERT_TRUE(test::waitFor([&] { return runningProgram(pids[2]) == "kestrond"; }));
  for (pid_t pid : pids) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

TEST(SystemProcessControl, RefusesPidsBelowOne) {
  test::LogCapture log;
  SystemProcessControl control(log);
  for (pid_t pid : {0, -1, -2147483647}) {
    EXPECT_EQ(control.sendSignal(pid, -1, 0).code(), EINVAL);
    EXPECT_FALSE(control.isRunning(pid, -1));
  }
  EXPECT_FALSE(control.isRunning(getpid(), -1));
}

}  // namespace
}  // namespace kestrond
