// Faults the instance records must survive: the file system and the process
// table changing under them, failing system calls, and a monitor that was
// killed while its servers ran.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "KestrondInstance.h"
#include "KestrondManager.h"
#include "TestSupport.h"

namespace kestrond {
namespace {

class FaultTest : public ::testing::Test {
 protected:
  std::string makeServedInstance(const std::string& name, const std::string& ini = "") {
    std::string path = dir.makeInstance(name, ini);
    symlink(test::standinServerPath().c_str(), (path + "/kestrond").c_str());
    return path;
  }

  test::TempDir dir;
  test::LogCapture log;
  test::RecordingProcessControl control{log};
  test::ScopedEnvironment environment;
  void SetUp() override { environment.unset("KESTROND_BINARY"); }
};

TEST_F(FaultTest, DirectoryRemovedBeforeTheChildChangesIntoIt) {
  std::string path = makeServedInstance("demo");
  control.beforeLaunch = [&] { std::filesystem::remove_all(path); };
  KestrondInstance instance(path, control, log);
  ASSERT_TRUE(instance.startup());  // the child's chdir fails: it ends with status 1
  EXPECT_EQ(instance.serverStatus(), ServerStatus::Starting);
  ASSERT_TRUE(test::refreshUntil(instance, ServerStatus::Stopped));
  EXPECT_EQ(instance.entryStatus(), EntryStatus::Invalid);
}

TEST_F(FaultTest, ServerThatCrashesWhileRunningEndsStoppedAndStale) {
  KestrondInstance instance(makeServedInstance("demo"), control, log);
  ASSERT_TRUE(instance.startup());
  ASSERT_TRUE(test::refreshUntil(instance, ServerStatus::Running));
  kill(instance.pid(), SIGKILL);  // no chance to remove its lock file
  ASSERT_TRUE(test::refreshUntil(instance, ServerStatus::Stopped));
  EXPECT_EQ(log.lines().back(),
            "stale .lck file detected: " + instance.directory() + "/kestrond.lck");
  // A stale lock file does not stop a new start: the stand-in sees a dead pid.
  ASSERT_TRUE(instance.startup());
  ASSERT_TRUE(test::refreshUntil(instance, ServerStatus::Running));
  ASSERT_TRUE(instance.shutdown());
  ASSERT_TRUE(test::refreshUntil(instance, ServerStatus::Stopped));
}

TEST_F(FaultTest, StoppingAServerThatEndedMeanwhileIsLoggedNotSignalled) {
  KestrondInstance instance(makeServedInstance("demo"), control, log);
  ASSERT_TRUE(instance.startup());
  ASSERT_TRUE(test::refreshUntil(instance, ServerStatus::Running));
  control.signalError = ESRCH;
  EXPECT_FALSE(instance.shutdown());
  EXPECT_EQ(instance.serverStatus(), ServerStatus::Running);
  control.signalError = 0;
  ASSERT_TRUE(instance.shutdown());
  ASSERT_TRUE(test::refreshUntil(instance, ServerStatus::Stopped));
}

TEST_F(FaultTest, MonitorKilledWhileItsServersRun) {
  // Orphans come to this process, as they would to a session's reaper.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  std::string first = makeServedInstance("first");
  std::string second = makeServedInstance("second");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t monitor = fork();
  if (monitor == 0) {
    KestrondInstance a(first, control, log), b(second, control, log);
    bool ok = a.startup() && b.startup() && test::refreshUntil(a, ServerStatus::Running) &&
              test::refreshUntil(b, ServerStatus::Running);
    char answer = ok ? 'y' : 'n';
    if (write(ready[1], &answer, 1) != 1) _exit(1);
    while (true) pause();
  }
  char answer = 0;
  ASSERT_EQ(read(ready[0], &answer, 1), 1);
  ASSERT_EQ(answer, 'y');
  kill(monitor, SIGKILL);
  waitpid(monitor, nullptr, 0);
  close(ready[0]);
  close(ready[1]);

  // Started again: the servers are Running from their lock files, and stop.
  KestrondManager manager{control, log};
  manager.addSearchPath(dir.path());
  auto instances = manager.allInstances();
  ASSERT_EQ(instances.size(), 2u);
  for (const auto& instance : instances) {
    EXPECT_EQ(instance->serverStatus(), ServerStatus::Running) << instance->directory();
    pid_t server = instance->pid();
    ASSERT_TRUE(instance->shutdown());
    // The reaper collects the orphan; the record then finds it gone.
    ASSERT_TRUE(test::waitFor([&] {
      waitpid(server, nullptr, WNOHANG);
      instance->refresh();
      return instance->serverStatus() == ServerStatus::Stopped;
    }));
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST_F(FaultTest, SearchPathWithTenThousandEntries) {
  std::string home = dir.makeDir("home");
  for (int i = 0; i < 10000; ++i) {
    std::string name = "entry" + std::to_string(i);
    if (i % 100 == 0) {
      dir.makeInstance("home/" + name);
    } else if (i % 2 == 0) {
      mkdir((home + "/" + name).c_str(), 0755);
    } else {
      dir.writeFile("home/" + name, "");
    }
  }
  KestrondManager manager{control, log};
  manager.addSearchPath(home);
  EXPECT_EQ(manager.allInstances().size(), 100u);
  log.clear();
  EXPECT_EQ(manager.allInstances().size(), 100u);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(FaultTest, ConfigurationFileThatIsAFifoIsOnlyEverStatted) {
  std::string path = dir.makeDir("demo");
  ASSERT_EQ(mkfifo((path + "/kestrond.ini").c_str(), 0644), 0);
  KestrondManager manager{control, log};
  manager.addSearchPath(dir.path());
  auto instances = manager.allInstances();  // would hang if the FIFO were opened
  ASSERT_EQ(instances.size(), 1u);
  EXPECT_EQ(instances[0]->serverStatus(), ServerStatus::Stopped);
}

TEST_F(FaultTest, UnreadableSearchPathAndLockFileAsAnotherUser) {
  if (!test::canDropPrivileges()) GTEST_SKIP() << "needs root to check as another user";
  std::string closed = dir.makeDir("closed");
  dir.makeInstance("closed/demo");
  chmod(closed.c_str(), 0700);  // root's: not for "nobody"
  std::string open = dir.makeInstance("open");
  dir.writeFile("open/kestrond.lck", "812\n");
  chmod((open + "/kestrond.lck").c_str(), 0600);
  auto status = test::runAsUnprivileged([&] {
    test::LogCapture inner;
    KestrondManager manager{control, inner};
    manager.addSearchPath(closed);
    manager.allInstances();
    KestrondInstance unreadable(open, control, inner);
    unreadable.refresh();
    bool listed = inner.lines().size() == 2 &&
                  inner.lines()[0] == "Invalid directory " + closed + ": Permission denied" &&
                  inner.lines()[1] == "Error reading " + open + "/kestrond.lck: Permission denied";
    return listed && unreadable.serverStatus() == ServerStatus::Stopped ? 0 : 1;
  });
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0);
}

TEST_F(FaultTest, LockFileThatVanishesOrChangesBetweenReads) {
  std::string path = dir.makeInstance("demo");
  KestrondInstance instance(path, control, log);
  test::SleepingProcess server;
  for (int round = 0; round < 200; ++round) {
    // Replace the file under the reader, as a server rewriting it would.
    if (round % 2 == 0) {
      dir.writeFile("demo/kestrond.lck", std::to_string(server.pid()));
    } else {
      unlink((path + "/kestrond.lck").c_str());
    }
    instance.refresh();
    // Once a live pid is known it is followed, whatever the file does.
    EXPECT_EQ(instance.serverStatus(), ServerStatus::Running) << round;
  }
  EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace kestrond
