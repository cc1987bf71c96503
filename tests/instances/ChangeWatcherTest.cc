// The change watcher over real directories and real processes: what each
// file event means, and that an ended server is told once, by its directory.
#include "ChangeWatcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <vector>

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
    watcher.watch({{search}, {instance}, {}, {}});
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

TEST_F(ChangeWatcherTest, TellsWhatEachChangeMeansForTheMenu) {
  enum Meaning { Nothing, Refresh, Rescan };
  struct Case {
    const char* what;
    std::function<void()> change;
    Meaning meaning;
  } cases[] = {
      {"lock file written", [&] { dir.writeFile("home/database/kestrond.lck", "812\n"); }, Refresh},
      {"lock file rewritten by rename",
       [&] {
         dir.writeFile("home/database/kestrond.lck.new", "813\n");
         std::rename((instance + "/kestrond.lck.new").c_str(),
                     (instance + "/kestrond.lck").c_str());
       },
       Refresh},
      {"lock file removed", [&] { unlink((instance + "/kestrond.lck").c_str()); }, Refresh},
      {"log appended", [&] { dir.writeFile("home/database/kestrond.log", "more\n"); }, Nothing},
      {"log removed", [&] { unlink((instance + "/kestrond.log").c_str()); }, Rescan},
      {"another file in the instance", [&] { dir.writeFile("home/database/notes", "x"); }, Nothing},
      {"configuration removed", [&] { unlink((instance + "/kestrond.ini").c_str()); }, Rescan},
      {"a new directory in the search path", [&] { dir.makeDir("home/sandbox"); }, Rescan},
      {"nothing at all", [] {}, Nothing},
  };
  for (const Case& c : cases) {
    c.change();
    ChangeWatcher::Changes changes = watcher.takeChanges();
    EXPECT_EQ(changes.rescan, c.meaning == Rescan) << c.what;
    std::set<std::string> refreshed;
    if (c.meaning == Refresh) refreshed.insert(instance);
    EXPECT_EQ(changes.directories, refreshed) << c.what;
    EXPECT_FALSE(readable()) << c.what << ": left undrained";
  }
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(ChangeWatcherTest, EndedServerIsToldOnceAndUnwatchedDirectoriesAreQuiet) {
  test::SleepingProcess server;
  const pid_t pid = server.pid();
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  ASSERT_GE(pidfd, 0);
  watcher.watch({{search}, {instance}, {}, {{pidfd, pid, instance}}});
  EXPECT_TRUE(watcher.takeChanges().empty());
  EXPECT_TRUE(watcher.knowsRunning(pidfd, pid));
  EXPECT_FALSE(watcher.knowsRunning(pidfd, pid + 1)) << "another pid";
  server.end();
  EXPECT_TRUE(readable());
  ChangeWatcher::Changes ended = watcher.takeChanges();
  EXPECT_EQ(ended.directories, std::set<std::string>{instance});
  EXPECT_FALSE(ended.rescan) << "an ended server needs no scan";
  EXPECT_FALSE(watcher.knowsRunning(pidfd, pid));
  // Still in the set and still readable, as a pidfd of an ended process
  // stays: never told again, never readable again.
  watcher.watch({{search}, {instance}, {}, {{pidfd, pid, instance}}});
  EXPECT_FALSE(readable());
  EXPECT_TRUE(watcher.takeChanges().empty());

  // A directory no longer watched says nothing.
  watcher.watch({});
  EXPECT_EQ(watcher.watchedDirectoryCount(), 0u);
  dir.writeFile("home/database/kestrond.lck", "812\n");
  EXPECT_TRUE(watcher.takeChanges().empty());
  close(pidfd);
}

TEST_F(ChangeWatcherTest, ANumberReusedForAnotherServersPidfdIsWatched) {
  test::SleepingProcess first;
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, first.pid(), 0));
  ASSERT_GE(pidfd, 0);
  watcher.watch({{}, {}, {}, {{pidfd, first.pid(), "first"}}});
  close(pidfd);
  test::SleepingProcess second;
  int again = static_cast<int>(syscall(SYS_pidfd_open, second.pid(), 0));
  ASSERT_EQ(again, pidfd) << "the lowest free number is taken again";
  watcher.watch({{}, {}, {}, {{again, second.pid(), "second"}}});
  EXPECT_TRUE(watcher.takeChanges().empty());
  second.end();
  EXPECT_EQ(watcher.takeChanges().directories, std::set<std::string>{"second"});
  close(again);
}

// More servers ending at once than one wait returns are all told by one
// look, none known to run after it.
TEST_F(ChangeWatcherTest, ManyServersEndingAtOnceAreAllToldByOneLook) {
  std::vector<std::unique_ptr<test::SleepingProcess>> servers;
  ChangeWatcher::WatchSet set{{search}, {instance}, {}, {}};
  for (int i = 0; i < 70; ++i) {
    servers.push_back(std::make_unique<test::SleepingProcess>());
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, servers.back()->pid(), 0));
    ASSERT_GE(pidfd, 0);
    set.servers.push_back({pidfd, servers.back()->pid(), "server-" + std::to_string(i)});
  }
  watcher.watch(set);
  ASSERT_TRUE(watcher.takeChanges().empty());
  for (auto& server : servers) server->end();
  EXPECT_EQ(watcher.takeChanges().directories.size(), servers.size());
  for (const ChangeWatcher::Server& server : set.servers) {
    EXPECT_FALSE(watcher.knowsRunning(server.pidfd, server.pid));
    close(server.pidfd);
  }
}

// Two paths of one directory share the kernel's watch: letting go of one
// (a link that went) leaves the other watched.
TEST_F(ChangeWatcherTest, APathThatGoesLeavesTheOtherPathOfItsDirectoryWatched) {
  std::string alias = search + "/alias";
  ASSERT_EQ(symlink(instance.c_str(), alias.c_str()), 0);
  watcher.watch({{search}, {instance, alias}, {}, {}});
  (void)watcher.takeChanges();
  unlink(alias.c_str());
  watcher.watch({{search}, {instance}, {}, {}});
  (void)watcher.takeChanges();
  dir.writeFile("home/database/kestrond.lck", "812\n");
  EXPECT_EQ(watcher.takeChanges().directories, std::set<std::string>{instance});
}

// A directory replaced at its path is watched again, not followed to where
// the old one went.
TEST_F(ChangeWatcherTest, ADirectoryReplacedIsWatchedAgainAtItsPath) {
  ASSERT_EQ(std::rename(instance.c_str(), (dir.path() + "/moved").c_str()), 0);
  EXPECT_TRUE(watcher.takeChanges().rescan);
  dir.makeInstance("home/database");
  EXPECT_EQ(watcher.watch({{search}, {instance}, {}, {}}), std::vector<std::string>{instance});
  dir.writeFile("moved/kestrond.lck", "1\n");  // the old one: none of ours now
  EXPECT_TRUE(watcher.takeChanges().directories.empty());
  dir.writeFile("home/database/kestrond.lck", "812\n");
  EXPECT_EQ(watcher.takeChanges().directories, std::set<std::string>{instance});
}

// A search path renamed away and back is told when it is back; a directory
// that is no instance yet is told when its configuration arrives.
TEST_F(ChangeWatcherTest, SearchPathComingBackAndConfigurationArrivingAreTold) {
  std::string sandbox = dir.makeDir("home/sandbox");
  watcher.watch({{search}, {instance}, {sandbox}, {}});
  dir.writeFile("home/sandbox/kestrond.ini", "");
  EXPECT_TRUE(watcher.takeChanges().rescan);

  std::string away = dir.path() + "/away";
  ASSERT_EQ(std::rename(search.c_str(), away.c_str()), 0);
  EXPECT_TRUE(watcher.takeChanges().rescan);
  watcher.watch({{search}, {}, {}, {}});  // not there: nothing to watch but its parent
  EXPECT_TRUE(watcher.takeChanges().empty());
  ASSERT_EQ(std::rename(away.c_str(), search.c_str()), 0);
  EXPECT_TRUE(watcher.takeChanges().rescan);
}

// The kernel's limits, through the seam: a full event queue and a full
// watch table each give one line; lost events ask for a scan.
TEST_F(ChangeWatcherTest, KernelLimitsAreLoggedOnceAndLostEventsRescan) {
  struct Limits : InotifyCalls {
    bool overflow = false;
    bool full = false;
    int addWatch(int inotify, const std::string& path, uint32_t mask) override {
      if (full) {
        errno = ENOSPC;
        return -1;
      }
      return InotifyCalls::addWatch(inotify, path, mask);
    }
    ssize_t readEvents(int inotify, void* buffer, size_t size) override {
      ssize_t got = InotifyCalls::readEvents(inotify, buffer, size);
      if (got <= 0 || !overflow) return got;
      overflow = false;
      inotify_event lost{};
      lost.wd = -1;
      lost.mask = IN_Q_OVERFLOW;
      std::memcpy(buffer, &lost, sizeof lost);
      return sizeof lost;
    }
  } limits;
  ChangeWatcher limited(log, limits);
  limited.watch({{search}, {instance}, {}, {}});
  limits.overflow = true;
  dir.writeFile("home/database/kestrond.lck", "812\n");
  EXPECT_TRUE(limited.takeChanges().rescan);
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "Too many file changes at once; the instance directories are read "
                             "again"});

  log.clear();
  limits.full = true;
  std::string demo = dir.makeInstance("home/demo");
  std::string later = dir.makeInstance("home/later");
  EXPECT_TRUE(limited.watch({{search}, {instance, demo, later}, {}, {}}).empty());
  EXPECT_EQ(log.lines().size(), 1u);
  // Not tried again until a rescan asks; then watched once there is room.
  limits.full = false;
  EXPECT_TRUE(limited.watch({{search}, {instance, demo, later}, {}, {}}).empty());
  limited.retryRefused();
  EXPECT_EQ(limited.watch({{search}, {instance, demo, later}, {}, {}}),
            (std::vector<std::string>{demo, later}));
  EXPECT_EQ(log.lines().size(), 1u);
}

}  // namespace
}  // namespace kestrond
