// The menu as a panel sees it between openings: filled at launch, brought
// up to date when an instance directory or a shown server changes, left to
// the refresh alone while open, and a refresh that ends by itself on a
// desktop that never tells of a close.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "MonitorFixture.h"

namespace kestrond {
namespace {

class LiveMenuTest : public test::MonitorFixture {
 protected:
  // What the main loop would do: hands every readable watched descriptor
  // to the application until none is left. Returns how many calls it took.
  int settle() {
    int calls = 0;
    while (int called = desktop.dispatchReadableDescriptors()) calls += called;
    return calls;
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

TEST_F(LiveMenuTest, RefreshEndsByItselfWhereNoCloseIsEverTold) {
  dir.makeInstance("home/database");
  launch();
  desktop.openMenu();
  ASSERT_EQ(desktop.armedTimerCount(), 1u);
  desktop.advance(kMenuRefreshInterval * (kTicksWithoutOpening - 1));
  EXPECT_EQ(desktop.armedTimerCount(), 1u);
  desktop.advance(kMenuRefreshInterval);
  EXPECT_EQ(desktop.armedTimerCount(), 0u);
  // Counted as closed now: changes reach the menu again.
  dir.makeInstance("home/sandbox");
  settle();
  EXPECT_TRUE(hasTitle("Start Instance 'sandbox'"));
  // The next opening arms it again.
  desktop.openMenu();
  EXPECT_EQ(desktop.armedTimerCount(), 1u);

  // Once a close has been seen, an open menu refreshes for as long as it is
  // open, as it always did.
  desktop.closeMenu();
  desktop.openMenu();
  desktop.advance(kMenuRefreshInterval * kTicksWithoutOpening * 3);
  EXPECT_EQ(desktop.armedTimerCount(), 1u);
  desktop.closeMenu();
  EXPECT_EQ(desktop.armedTimerCount(), 0u);
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

}  // namespace
}  // namespace kestrond
