// The menu as a panel sees it between openings: filled at launch, brought
// up to date when an instance directory or a shown server changes, left to
// the refresh alone while open, and a refresh that ends by itself on a
// desktop that never tells of a close.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include <filesystem>

#include "MonitorFixture.h"
#include "Paths.h"

namespace kestrond {
namespace {

class LiveMenuTest : public test::MonitorFixture {
 protected:
  // A live process named in `relative`'s lock file, the file rewritten in
  // place (truncated and written, as a server does), not replaced.
  void writeLockInPlace(const std::string& relative, pid_t pid) {
    int fd = open((dir.path() + "/" + relative + "/kestrond.lck").c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    std::string text = std::to_string(pid) + "\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
  }
  // Launches on a recording process control (without pidfds unless
  // `pidfds`), with `server` running as the default instance's.
  test::RecordingProcessControl& launchWithServer(const test::SleepingProcess& server,
                                                  bool pidfds) {
    auto recording = std::make_unique<test::RecordingProcessControl>(log);
    recording->noPidfds = !pidfds;
    test::RecordingProcessControl& processes = *recording;
    otherControl = std::move(recording);
    control = otherControl.get();
    dir.makeInstance("home/database");
    dir.writeFile("home/database/kestrond.lck", std::to_string(server.pid()) + "\n");
    launch();
    return processes;
  }
  size_t countLines(const std::string& prefix) {
    size_t count = 0;
    for (const std::string& line : log.lines()) count += line.rfind(prefix, 0) == 0;
    return count;
  }
};

TEST_F(LiveMenuTest, ClosedMenuFollowsDirectoriesAndServers) {
  std::string path = dir.makeInstance("home/database");
  launch();
  EXPECT_TRUE(hasTitle("Start Default Instance"));  // before any opening
  EXPECT_EQ(desktop.watchedDescriptorCount(), 1u);

  // A server started elsewhere writes its lock file.
  test::SleepingProcess server;
  dir.writeFile("home/database/kestrond.lck", std::to_string(server.pid()) + "\n");
  EXPECT_GT(settle(), 0);
  EXPECT_TRUE(hasTitle("Stop Default Instance"));
  EXPECT_TRUE(item("Open Kestrond Tessaline")->enabled);

  // It dies without removing its lock file: its pidfd says so, and only
  // that instance is refreshed: no scan, no look at start at login.
  int loginReads = desktop.loginReads;
  server.end();
  EXPECT_GT(settle(), 0);
  EXPECT_TRUE(hasTitle("Start Default Instance"));
  EXPECT_FALSE(item("Open Kestrond Tessaline")->enabled);
  EXPECT_EQ(desktop.loginReads, loginReads);
  EXPECT_EQ(countLines("stale .lck file detected: "), 1u);
  // Nothing more to tell, nothing more logged.
  EXPECT_EQ(settle(), 0);
  EXPECT_EQ(countLines("stale .lck file detected: "), 1u);

  // An instance made and removed while closed.
  dir.makeInstance("home/sandbox");
  settle();
  EXPECT_TRUE(hasTitle("Start Instance 'sandbox'"));
  std::filesystem::remove_all(home + "/sandbox");
  settle();
  EXPECT_FALSE(hasTitle("Start Instance 'sandbox'"));
  EXPECT_EQ(desktop.armedTimerCount(), 0u);  // all of it without the refresh
}

TEST_F(LiveMenuTest, OpenMenuFollowsTheRefreshAlone) {
  dir.makeInstance("home/database");
  launch();
  desktop.openMenu();
  dir.makeInstance("home/sandbox");
  settle();
  desktop.advance(kMenuRefreshInterval);
  EXPECT_FALSE(hasTitle("Start Instance 'sandbox'"));  // not before the next opening
  desktop.closeMenu();
  EXPECT_TRUE(hasTitle("Start Instance 'sandbox'"));  // what the change brought, once closed
}

// The open menu's refresh reads what the watcher and the pidfds told, and
// each tick reads what they cannot tell: a running server without a pidfd
// (as on a kernel without them). With pidfds a quiet tick reads nothing.
class OpenRefreshTest : public LiveMenuTest, public ::testing::WithParamInterface<bool> {};

TEST_P(OpenRefreshTest, ReadsWhatWasToldAndWhatCannotBe) {
  bool pidfds = GetParam();
  test::SleepingProcess server;
  test::RecordingProcessControl& processes = launchWithServer(server, pidfds);
  desktop.openMenu();
  ASSERT_TRUE(hasTitle("Stop Default Instance"));

  int checks = processes.runningChecks;
  desktop.advance(kMenuRefreshInterval);
  EXPECT_EQ(processes.runningChecks > checks, !pidfds);

  // It dies leaving its lock file (reaped: its pidfd is readable now): told
  // by its pidfd, or seen by the tick, at the next tick.
  server.end();
  settle();
  desktop.advance(kMenuRefreshInterval);
  EXPECT_TRUE(hasTitle("Start Default Instance"));
}

INSTANTIATE_TEST_SUITE_P(Pidfds, OpenRefreshTest, ::testing::Bool());

// An opening reads every record: also what nothing told (a server without a
// pidfd that ended while the menu was closed), and an end told but not yet
// read from the loop. A server whose end its pidfd would tell is not looked
// up in the process table.
class OpeningTest : public LiveMenuTest, public ::testing::WithParamInterface<bool> {};

TEST_P(OpeningTest, SeesEveryServerThatEnded) {
  bool pidfds = GetParam();
  test::SleepingProcess server;
  test::RecordingProcessControl& processes = launchWithServer(server, pidfds);
  ASSERT_TRUE(hasTitle("Stop Default Instance"));
  int checks = processes.runningChecks;
  desktop.openMenu();
  desktop.closeMenu();
  EXPECT_EQ(processes.runningChecks > checks, !pidfds);
  server.end();  // the opening comes before the loop has read anything
  desktop.openMenu();
  EXPECT_TRUE(hasTitle("Start Default Instance"));
}

INSTANTIATE_TEST_SUITE_P(Pidfds, OpeningTest, ::testing::Bool());

// An opening whose close never comes, on a host that never tells of one
// and on one that told of closes before (it died with the menu shown): the
// refresh ends by itself, and changes reach the menu again.
TEST_F(LiveMenuTest, RefreshEndsByItselfWhenNoCloseComes) {
  dir.makeInstance("home/database");
  launch();
  for (const char* name : {"sandbox", "another"}) {
    SCOPED_TRACE(name);
    desktop.openMenu();
    ASSERT_EQ(desktop.armedTimerCount(), 1u);
    desktop.advance(kMenuRefreshInterval * (kTicksWithoutOpening - 1));
    EXPECT_EQ(desktop.armedTimerCount(), 1u);
    desktop.advance(kMenuRefreshInterval);
    EXPECT_EQ(desktop.armedTimerCount(), 0u);
    dir.makeInstance("home/" + std::string(name));
    EXPECT_TRUE(
        closedUntil([&] { return hasTitle("Start Instance '" + std::string(name) + "'"); }));
    // The next round on a host that has told of a close.
    desktop.openMenu();
    desktop.closeMenu();
  }
}

TEST_F(LiveMenuTest, ChangesDuringAQuestionWaitUntilItIsAnswered) {
  dir.makeInstance("home/database");
  launch();
  desktop.openMenu();
  desktop.answers.push_back([&](const Question&) {
    // The main loop runs while the question is up.
    dir.makeInstance("home/sandbox");
    settle();
    EXPECT_FALSE(hasTitle("Start Instance 'sandbox'"));
    return false;  // Cancel
  });
  ASSERT_TRUE(desktop.choose("Start Default Instance"));
  EXPECT_TRUE(hasTitle("Start Instance 'sandbox'"));
}

// An upgrade or a restore renames the installation away and a copy in a
// moment later: the closed menu lists it again, and a second round too.
TEST_F(LiveMenuTest, InstallationReplacedIsListedAgain) {
  dir.makeInstance("home/database");
  launch();
  ASSERT_TRUE(hasTitle("Start Default Instance"));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    std::string copy = dir.makeDir("copy" + std::to_string(round));
    ASSERT_EQ(symlink(test::standinServerPath().c_str(), (copy + "/kestrond").c_str()), 0);
    dir.makeInstance("copy" + std::to_string(round) + "/database");
    std::string away = dir.path() + "/away" + std::to_string(round);
    ASSERT_EQ(std::rename(home.c_str(), away.c_str()), 0);
    ASSERT_TRUE(closedUntil([&] { return hasTitle("No Kestrond Instances"); }));
    ASSERT_EQ(std::rename(copy.c_str(), home.c_str()), 0);
    EXPECT_TRUE(closedUntil([&] { return hasTitle("Start Default Instance"); }));
  }
}

// An instance directory replaced (renamed away and another renamed in; or
// removed and made again in two steps) is followed again: a server started
// there from outside reaches the closed menu.
TEST_F(LiveMenuTest, InstanceDirectoryReplacedIsFollowedAgain) {
  std::string database = dir.makeInstance("home/database");
  launch();
  test::SleepingProcess server;

  ASSERT_EQ(std::rename(database.c_str(), (dir.path() + "/old-database").c_str()), 0);
  std::string fresh = dir.makeInstance("fresh-database");
  ASSERT_EQ(std::rename(fresh.c_str(), database.c_str()), 0);
  ASSERT_TRUE(closedUntil([&] { return hasTitle("Start Default Instance"); }));
  writeLockInPlace("home/database", server.pid());
  EXPECT_TRUE(closedUntil([&] { return hasTitle("Stop Default Instance"); }));
  server.end();
  ASSERT_TRUE(closedUntil([&] { return hasTitle("Start Default Instance"); }));

  std::filesystem::remove_all(database);
  ASSERT_TRUE(closedUntil([&] { return hasTitle("No Kestrond Instances"); }));
  dir.makeDir("home/database");
  settle();
  dir.writeFile("home/database/kestrond.ini", "");
  ASSERT_TRUE(closedUntil([&] { return hasTitle("Start Default Instance"); }));
  test::SleepingProcess second;
  writeLockInPlace("home/database", second.pid());
  EXPECT_TRUE(closedUntil([&] { return hasTitle("Stop Default Instance"); }));
}

// cp -r and installers make the directory first and its configuration a
// moment later.
TEST_F(LiveMenuTest, InstanceMadeInTwoStepsIsListed) {
  launch();
  dir.makeDir("home/sandbox");
  settle();
  EXPECT_FALSE(hasTitle("Start Instance 'sandbox'"));
  dir.writeFile("home/sandbox/kestrond.ini", "");
  EXPECT_TRUE(closedUntil([&] { return hasTitle("Start Instance 'sandbox'"); }));
}

// The installation directory may be an instance itself, and a link in it
// may name another instance's directory; both are followed like the rest.
TEST_F(LiveMenuTest, SearchPathInstanceAndLinkedInstancesAreFollowed) {
  dir.writeFile("home/kestrond.ini", "");
  dir.makeInstance("home/database");
  dir.writeFile("home/kestrond.lck", std::to_string(test::deadPid()) + "\n");
  launch();
  std::string name = "Instance '" + lastPathComponent(home) + "'";
  ASSERT_TRUE(hasTitle("Start " + name));
  test::SleepingProcess server;
  writeLockInPlace("home", server.pid());
  EXPECT_TRUE(closedUntil([&] { return hasTitle("Stop " + name); }));

  // A link to the default instance comes and goes; the instance it named
  // is still followed.
  ASSERT_EQ(symlink((home + "/database").c_str(), (home + "/alias").c_str()), 0);
  ASSERT_TRUE(closedUntil([&] { return hasTitle("Start Instance 'alias'"); }));
  unlink((home + "/alias").c_str());
  ASSERT_TRUE(closedUntil([&] { return !hasTitle("Start Instance 'alias'"); }));
  writeLockInPlace("home/database", server.pid());
  EXPECT_TRUE(closedUntil([&] { return hasTitle("Stop Default Instance"); }));
}

}  // namespace
}  // namespace kestrond
