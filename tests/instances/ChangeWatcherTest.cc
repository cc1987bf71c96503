// The change watcher over real directories and real processes: which file
// events count, and that an ended server is told once.
#include "ChangeWatcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "TestSupport.h"

namespace kestrond {
namespace {

class ChangeWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    search = dir.makeDir("home");
    instance = dir.makeInstance("home/database");
    dir.writeFile("home/database/kestrond.log", "old\n");
    ASSERT_GE(watcher.descriptor(), 0);
    watcher.watch({search}, {instance}, {});
  }
  bool readable() {
    pollfd ready{watcher.descriptor(), POLLIN, 0};
    return poll(&ready, 1, 0) == 1;
  }

  test::TempDir dir;
  test::LogCapture log;
  ChangeWatcher watcher{log};
  std::string search, instance;
};

TEST_F(ChangeWatcherTest, CountsWhatTheMenuShows) {
  struct Case {
    const char* what;
    std::function<void()> change;
    bool counts;
  } cases[] = {
      {"lock file written", [&] { dir.writeFile("home/database/kestrond.lck", "812\n"); }, true},
      {"lock file rewritten by rename",
       [&] {
         dir.writeFile("home/database/kestrond.lck.new", "813\n");
         std::rename((instance + "/kestrond.lck.new").c_str(),
                     (instance + "/kestrond.lck").c_str());
       },
       true},
      {"lock file removed", [&] { unlink((instance + "/kestrond.lck").c_str()); }, true},
      {"log appended", [&] { dir.writeFile("home/database/kestrond.log", "more\n"); }, false},
      {"log removed", [&] { unlink((instance + "/kestrond.log").c_str()); }, true},
      {"another file in the instance", [&] { dir.writeFile("home/database/notes", "x"); }, false},
      {"configuration removed", [&] { unlink((instance + "/kestrond.ini").c_str()); }, true},
      {"a new directory in the search path", [&] { dir.makeDir("home/sandbox"); }, true},
      {"nothing at all", [] {}, false},
  };
  for (const Case& c : cases) {
    c.change();
    EXPECT_EQ(watcher.takeChanges(), c.counts) << c.what;
    EXPECT_FALSE(readable()) << c.what << ": left undrained";
  }
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(ChangeWatcherTest, EndedServerIsToldOnceAndUnwatchedDirectoriesAreQuiet) {
  test::SleepingProcess server;
  const pid_t pid = server.pid();
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  ASSERT_GE(pidfd, 0);
  watcher.watch({search}, {instance}, {{pidfd, pid}});
  EXPECT_FALSE(watcher.takeChanges());
  server.end();
  EXPECT_TRUE(readable());
  EXPECT_TRUE(watcher.takeChanges());
  // Still in the set and still readable, as a pidfd of an ended process
  // stays: never told again, never readable again.
  watcher.watch({search}, {instance}, {{pidfd, pid}});
  EXPECT_FALSE(readable());
  EXPECT_FALSE(watcher.takeChanges());

  // A directory no longer watched says nothing.
  watcher.watch({}, {}, {});
  EXPECT_EQ(watcher.watchedDirectoryCount(), 0u);
  dir.writeFile("home/database/kestrond.lck", "812\n");
  EXPECT_FALSE(watcher.takeChanges());
  close(pidfd);
}

TEST_F(ChangeWatcherTest, ANumberReusedForAnotherServersPidfdIsWatched) {
  test::SleepingProcess first;
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, first.pid(), 0));
  ASSERT_GE(pidfd, 0);
  watcher.watch({}, {}, {{pidfd, first.pid()}});
  close(pidfd);
  test::SleepingProcess second;
  int again = static_cast<int>(syscall(SYS_pidfd_open, second.pid(), 0));
  ASSERT_EQ(again, pidfd) << "the lowest free number is taken again";
  watcher.watch({}, {}, {{again, second.pid()}});
  EXPECT_FALSE(watcher.takeChanges());
  second.end();
  EXPECT_TRUE(watcher.takeChanges());
  close(again);
}

}  // namespace
}  // namespace kestrond
