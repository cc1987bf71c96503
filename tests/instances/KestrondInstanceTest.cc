#include "KestrondInstance.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestSupport.h"

namespace kestrond {
namespace {

class InstanceTest : public ::testing::Test {
 protected:
  std::string makeInstance(const std::string& name = "demo") { return dir.makeInstance(name); }
  void writeLock(const std::string& name, pid_t pid) {
    dir.writeFile(name + "/kestrond.lck", std::to_string(pid) + "\n");
  }
  std::string staleLine(const std::string& name) {
    return "stale .lck file detected: " + dir.path() + "/" + name + "/kestrond.lck";
  }

  test::TempDir dir;
  test::LogCapture log;
  test::RecordingProcessControl control{log};
};

TEST_F(InstanceTest, NamesAndPathsAreFixedAtCreation) {
  KestrondInstance database(dir.path() + "/database/", control, log);
  EXPECT_EQ(database.directory(), dir.path() + "/database/");
  EXPECT_EQ(database.displayName(), "database");
  EXPECT_TRUE(database.isDefault());
  EXPECT_EQ(database.instanceName(), "Default Instance");

  KestrondInstance capitalised(dir.path() + "/Database", control, log);
  EXPECT_FALSE(capitalised.isDefault());
  EXPECT_EQ(capitalised.instanceName(), "Instance 'Database'");

  KestrondInstance odd(dir.path() + "/a %@ & %d", control, log);
  EXPECT_EQ(odd.instanceName(), "Instance 'a %@ & %d'");

  EXPECT_EQ(database.serverStatus(), ServerStatus::Unknown);
  EXPECT_EQ(database.entryStatus(), EntryStatus::New);
  EXPECT_EQ(database.pid(), 0);
}

TEST_F(InstanceTest, ValidityAndLogFileFollowTheFiles) {
  std::string path = makeInstance();
  KestrondInstance instance(path, control, log);
  EXPECT_TRUE(instance.isValid());
  EXPECT_FALSE(instance.logFile());
  dir.makeDir("demo/kestrond.log");
  EXPECT_FALSE(instance.logFile());
  rmdir((path + "/kestrond.log").c_str());
  dir.writeFile("demo/kestrond.log", "x");
  EXPECT_EQ(instance.logFile(), path + "/kestrond.log");

  unlink((path + "/kestrond.ini").c_str());
  dir.makeDir("demo/kestrond.ini");
  EXPECT_FALSE(instance.isValid());
}

TEST_F(InstanceTest, FirstRefreshesOfAStoppedInstance) {
  KestrondInstance instance(makeInstance(), control, log);
  instance.refresh();
  EXPECT_EQ(instance.serverStatus(), ServerStatus::Stopped);
  EXPECT_EQ(instance.entryStatus(), EntryStatus::Changed);
  instance.refresh();
  EXPECT_EQ(instance.entryStatus(), EntryStatus::Unchanged);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(InstanceTest, MissingConfigurationIsInvalidOnlyWithoutALivePid) {
  KestrondInstance empty(dir.makeDir("empty"), control, log);
  empty.refresh();
  EXPECT_EQ(empty.serverStatus(), ServerStatus::Stopped);
  EXPECT_EQ(empty.entryStatus(), EntryStatus::Invalid);

  test::SleepingProcess server;
  dir.makeDir("noini");
  writeLock("noini", server.pid());
  KestrondInstance running(dir.path() + "/noini", control, log);
  running.refresh();
  EXPECT_EQ(running.serverStatus(), ServerStatus::Running);
  EXPECT_EQ(running.entryStatus(), EntryStatus::Changed);
}

TEST_F(InstanceTest, LockFileNamingALiveProcessIsRunning) {
  test::SleepingProcess server;
  makeInstance();
  writeLock("demo", server.pid());
  KestrondInstance instance(dir.path() + "/demo", control, log);
  instance.refresh();
  EXPECT_EQ(instance.serverStatus(), ServerStatus::Running);
  EXPECT_EQ(instance.pid(), server.pid());
  instance.refresh();  // Running, pid alive: step one keeps it
  EXPECT_EQ(instance.entryStatus(), EntryStatus::Unchanged);

  server.end();
  instance.refresh();  // the server died and left its lock file
  EXPECT_EQ(instance.serverStatus(), ServerStatus::Stopped);
  EXPECT_EQ(log.lines(), std::vector<std::string>{staleLine("demo")});
}

TEST_F(InstanceTest, StaleLockFileIsLoggedAtEveryRefreshAndKeepsItsPid) {
  pid_t dead = test::deadPid();
  makeInstance();
  writeLock("demo", dead);
  KestrondInstance instance(dir.path() + "/demo", control, log);
  instance.refresh();
  instance.refresh();
  EXPECT_EQ(instance.serverStatus(), ServerStatus::Stopped);
  EXPECT_EQ(instance.pid(), dead);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{staleLine("demo"), staleLine("demo")}));
}

TEST_F(InstanceTest, OwnPidAndReusedStalePidNeverCountAsTheServer) {
  makeInstance();
  writeLock("demo", getpid());
  KestrondInstance own(dir.path() + "/demo", control, log);
  own.refresh();
  EXPECT_EQ(own.serverStatus(), ServerStatus::Stopped);

  // A Stopped record whose stale pid is alive again: only the lock file decides.
  test::SleepingProcess unrelated;
  dir.makeInstance("other");
  writeLock("other", test::deadPid());
  KestrondInstance other(dir.path() + "/other", control, log);
  other.refresh();
  unlink((dir.path() + "/other/kestrond.lck").c_str());
  other.refresh();
  EXPECT_EQ(other.serverStatus(), ServerStatus::Stopped);
  EXPECT_EQ(other.pid(), 0);
}

TEST_F(InstanceTest, LockFileOlderThanItsProcessIsStale) {
  // The pid of a server that died without removing its lock file, reused by
  // an unrelated process started after the file was written.
  test::SleepingProcess unrelated;
  makeInstance();
  writeLock("demo", unrelated.pid());
  std::string lock = dir.path() + "/demo/kestrond.lck";
  timespec hourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, lock.c_str(), hourAgo, 0), 0);
  KestrondInstance instance(dir.path() + "/demo", control, log);
  instance.refresh();
  EXPECT_EQ(instance.serverStatus(), ServerStatus::Stopped);
  EXPECT_EQ(log.lines(), std::vector<std::string>{staleLine("demo")});
  EXPECT_FALSE(instance.shutdown());  // and it is never signalled
  EXPECT_TRUE(control.signals.empty());
}

TEST_F(InstanceTest, ZombieIsNoServer) {
  pid_t zombie = fork();
  if (zombie == 0) _exit(0);
  // Not collected: it lingers as a zombie, which kill(pid, 0) still finds.
  ASSERT_TRUE(test::waitFor([&] {
    auto info = control.system().processInfo(zombie);
    return info && info->zombie;
  }));
  makeInstance();
  writeLock("demo", zombie);
  KestrondInstance instance(dir.path() + "/demo", control, log);
  instance.refresh();
  EXPECT_EQ(instance.serverStatus(), ServerStatus::Stopped);
  waitpid(zombie, nullptr, 0);
}

TEST_F(InstanceTest, ProcessInfoKnowsWhenThisProcessStarted) {
  auto info = control.system().processInfo(getpid());
  ASSERT_TRUE(info);
  EXPECT_FALSE(info->zombie);
  EXPECT_LE(info->startTime, static_cast<double>(time(nullptr)) + 1.0);
  EXPECT_GT(info->startTime, static_cast<double>(time(nullptr)) - 24 * 3600.0 * 365);
  EXPECT_FALSE(control.system().processInfo(test::deadPid()));
}

TEST_F(InstanceTest, LiveProcessOfAnotherUserIsStale) {
  if (!test::canDropPrivileges()) GTEST_SKIP() << "needs root to run a check as another user";
  makeInstance();
  writeLock("demo", 1);  // init: alive, and not ours once privileges are dropped
  std::string path = dir.path() + "/demo";
  auto status = test::runAsUnprivileged([&] {
    test::LogCapture inner;
    KestrondInstance instance(path, control, inner);
    instance.refresh();
    bool stale = instance.serverStatus() == ServerStatus::Stopped && inner.lines().size() == 1;
    return stale ? 0 : 1;
  });
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0);
}

TEST_F(InstanceTest, CanStartNeedsReadAndWrite) {
  std::string path = makeInstance();
  auto refreshed = [&] {
    KestrondInstance instance(path, control, log);
    instance.refresh();
    return instance.canStart();
  };
  EXPECT_TRUE(refreshed());
  if (!test::canDropPrivileges()) GTEST_SKIP() << "root passes every access() check";
  chmod(path.c_str(), 0555);  // readable, not writable, by "nobody"
  auto status = test::runAsUnprivileged([&] { return refreshed() ? 1 : 0; });
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0);
}

// Starting and stopping with a recording process control, so that the
// transitions can be driven one at a time.
constexpr const char* kSlowServer = "[standin]\nlock_delay_ms = 600000\n";

class TransitionTest : public InstanceTest {};

TEST_F(TransitionTest, StartingWaitsForTheLockFileThenRuns) {
  // A stand-in that takes its time before writing the lock file: the test
  // writes the lock file itself.
  std::string path = dir.makeInstance("database", kSlowServer);
  test::ScopedEnvironment environment;
  environment.set("KESTROND_BINARY", test::standinServerPath());
  KestrondInstance instance(path, control, log);
  ASSERT_TRUE(instance.startup());
  pid_t launched = instance.pid();
  EXPECT_EQ(instance.serverStatus(), ServerStatus::Starting);
  EXPECT_EQ(instance.entryStatus(), EntryStatus::Changed);
  ASSERT_EQ(control.launches.size(), 1u);
  EXPECT_EQ(control.launches[0].file, test::standinServerPath());
  EXPECT_EQ(control.launches[0].arguments, (std::vector<std::string>{"kestrond", "-f"}));
  EXPECT_EQ(control.launches[0].directory, path);

  EXPECT_FALSE(instance.startup());  // already Starting: nothing launched
  EXPECT_EQ(control.launches.size(), 1u);

  instance.refresh();
  EXPECT_EQ(instance.serverStatus(), ServerStatus::Starting);

  // A lock-file pid that does not run is not adopted.
  writeLock("database", test::deadPid());
  instance.refresh();
  EXPECT_EQ(instance.serverStatus(), ServerStatus::Starting);
  EXPECT_EQ(instance.pid(), launched);

  writeLock("database", launched);
  instance.refresh();
  EXPECT_EQ(instance.serverStatus(), ServerStatus::Running);
  EXPECT_TRUE(log.lines().empty());

  ASSERT_TRUE(instance.shutdown());
  ASSERT_EQ(control.signals.size(), 1u);
  EXPECT_EQ(control.signals[0], std::make_pair(launched, SIGTERM));
  // The child is gone only once collected; the refresh does that.
  ASSERT_TRUE(test::waitFor([&] {
    instance.refresh();
    return instance.serverStatus() != ServerStatus::Stopping;
  }));
  EXPECT_EQ(instance.serverStatus(), ServerStatus::Stopped);
}

TEST_F(TransitionTest, StartingAdoptsADifferentLivePidWithALine) {
  std::string path = dir.makeInstance("demo", kSlowServer);
  test::ScopedEnvironment environment;
  environment.set("KESTROND_BINARY", test::standinServerPath());
  KestrondInstance instance(path, control, log);
  ASSERT_TRUE(instance.startup());
  pid_t launched = instance.pid();
  test::SleepingProcess forked;  // the server's real process, as after a fork of its own
  writeLock("demo", forked.pid());
  instance.refresh();
  EXPECT_EQ(instance.serverStatus(), ServerStatus::Running);
  EXPECT_EQ(instance.pid(), forked.pid());
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"pid value from .lck file is different (expected " +
                                     std::to_string(launched) + ", got " +
                                     std::to_string(forked.pid()) + ")"});
  kill(launched, SIGKILL);
}

TEST_F(TransitionTest, LaunchedChildThatExitsEndsStopped) {
  std::string path = makeInstance();
  test::ScopedEnvironment environment;
  environment.set("KESTROND_BINARY", "/bin/false");
  KestrondInstance instance(path, control, log);
  ASSERT_TRUE(instance.startup());
  ASSERT_TRUE(test::refreshUntil(instance, ServerStatus::Stopped));
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(TransitionTest, ChildCollectedWhileAnotherRecordIsTested) {
  test::ScopedEnvironment environment;
  environment.set("KESTROND_BINARY", "/bin/false");
  KestrondInstance first(makeInstance("first"), control, log);
  KestrondInstance second(makeInstance("second"), control, log);
  test::SleepingProcess secondServer;
  writeLock("second", secondServer.pid());
  ASSERT_TRUE(first.startup());
  // Testing the other record collects the first one's ended child.
  ASSERT_TRUE(test::waitFor([&] {
    second.refresh();
    return control.system().uncollectedChildCount() == 0;
  }));
  first.refresh();
  EXPECT_EQ(first.serverStatus(), ServerStatus::Stopped);
}

TEST_F(TransitionTest, StoppingLastsWhileTheProcessLives) {
  test::SleepingProcess server;
  makeInstance();
  writeLock("demo", server.pid());
  KestrondInstance instance(dir.path() + "/demo", control, log);
  // kill fails as when the server ended between the refresh and the signal.
  control.signalError = ESRCH;
  EXPECT_FALSE(instance.shutdown());
  EXPECT_EQ(log.lines(), std::vector<std::string>{"terminate: cannot terminate Instance 'demo' "
                                                  "(errno 3)"});
  EXPECT_EQ(instance.serverStatus(), ServerStatus::Running);

  control.signalError = 0;
  ASSERT_TRUE(server.suspend());  // SIGTERM stays pending: a server that does not end
  ASSERT_TRUE(instance.shutdown());
  EXPECT_EQ(instance.serverStatus(), ServerStatus::Stopping);
  unlink((dir.path() + "/demo/kestrond.lck").c_str());
  instance.refresh();
  EXPECT_EQ(instance.serverStatus(), ServerStatus::Stopping);
  EXPECT_EQ(instance.entryStatus(), EntryStatus::Changed);  // untouched by the refresh

  EXPECT_FALSE(instance.shutdown());  // Stopping: no second signal
  EXPECT_EQ(control.signals.size(), 2u);
  server.end();
  instance.refresh();
  EXPECT_EQ(instance.serverStatus(), ServerStatus::Stopped);
  EXPECT_FALSE(instance.shutdown());
  EXPECT_EQ(control.signals.size(), 2u);
}

TEST_F(TransitionTest, StartupGuards) {
  KestrondInstance invalid(dir.makeDir("invalid"), control, log);
  EXPECT_FALSE(invalid.startup());

  test::SleepingProcess server;
  makeInstance();
  writeLock("demo", server.pid());
  KestrondInstance running(dir.path() + "/demo", control, log);
  EXPECT_FALSE(running.startup());

  control.failFork = true;
  KestrondInstance stopped(makeInstance("stopped"), control, log);
  EXPECT_FALSE(stopped.startup());
  EXPECT_EQ(stopped.serverStatus(), ServerStatus::Stopped);
  EXPECT_EQ(stopped.pid(), 0);
  EXPECT_EQ(control.launches.size(), 1u);
}

}  // namespace
}  // namespace kestrond
