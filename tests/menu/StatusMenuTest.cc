// The menu's rebuild at each opening, its tail, and the refresh timer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "MonitorFixture.h"

namespace kestrond {
namespace {

class StatusMenuTest : public test::MonitorFixture {
 protected:
  using Rows = std::vector<Row>;
  static Rows tail(bool log, bool web) {
    return {{"-", false, ""},
            {"Open Diagnostic Messages", log, log ? "viewLogFile:" : ""},
            {"Open Kestrond Tessaline", web, web ? "launchTessaline:" : ""},
            {"View Online Documentation", true, "onlineDocumentation:"},
            {"-", false, ""},
            {"Start Kestrond Monitor at Login", true, "toggleStartAtLogin:"},
            {"Quit Kestrond Monitor", true, "stop:"}};
  }
  static Rows concat(Rows head, const Rows& rest) {
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
  }
  // A live process named in the instance's lock file: the instance runs.
  void runServerIn(const std::string& relative) {
    dir.writeFile(relative + "/kestrond.lck", std::to_string(server.pid()) + "\n");
  }
  test::SleepingProcess server;
};

TEST_F(StatusMenuTest, NoInstancesGiveTheEightRowLayout) {
  launch();
  desktop.openMenu();
  EXPECT_EQ(rows(), concat({{"No Kestrond Instances", false, ""}}, tail(false, false)));
  EXPECT_EQ(item("Quit Kestrond Monitor")->keyEquivalent(), "q");
  EXPECT_EQ(item("No Kestrond Instances")->keyEquivalent(), "");
  EXPECT_EQ(desktop.armedTimerCount(), 0u);
  EXPECT_FALSE(app->menuUpdateTimer());
}

TEST_F(StatusMenuTest, StoppedDefaultInstanceWithoutLog) {
  dir.makeInstance("home/database");
  launch();
  desktop.openMenu();
  EXPECT_EQ(rows(),
            concat({{"Start Default Instance", true, "startInstance:"}}, tail(false, false)));
  auto instanceItem = desktop.menu().itemArray()[0];
  EXPECT_EQ(instanceItem->target(), app.get());
  EXPECT_EQ(app->representedObject(*instanceItem), app->defaultInstance());
  EXPECT_EQ(desktop.armedTimerCount(), 1u);
}

TEST_F(StatusMenuTest, RunningDefaultInstanceWithLogEnablesTheTail) {
  dir.makeInstance("home/database");
  dir.writeFile("home/database/kestrond.log", "started\n");
  runServerIn("home/database");
  dir.makeInstance("home/demo");
  launch();
  desktop.openMenu();
  EXPECT_EQ(rows(), concat({{"Stop Default Instance", true, "stopInstance:"},
                            {"Start Instance 'demo'", true, "startInstance:"}},
                           tail(true, true)));
}

TEST_F(StatusMenuTest, TessalineFollowsTheDefaultInstanceOnly) {
  dir.makeInstance("home/database");
  dir.makeInstance("home/demo");
  runServerIn("home/demo");
  launch();
  desktop.openMenu();
  EXPECT_EQ(rows(), concat({{"Start Default Instance", true, "startInstance:"},
                            {"Stop Instance 'demo'", true, "stopInstance:"}},
                           tail(false, false)));
}

TEST_F(StatusMenuTest, LastDefaultInstanceWins) {
  dir.makeInstance("home/database");
  std::string second = dir.makeDir("second");
  dir.makeInstance("second/database");
  runServerIn("second/database");
  launch();
  app->manager()->addSearchPath(second);
  desktop.openMenu();
  EXPECT_EQ(app->defaultInstance()->directory(), second + "/database");
  EXPECT_EQ(rows().back(), tail(false, true).back());
  EXPECT_TRUE(item("Open Kestrond Tessaline")->isEnabled());
}

TEST_F(StatusMenuTest, ReadOnlyDirectoryShowsItsItemDisabled) {
  std::string database = dir.makeInstance("home/database");
  launch();
  if (!test::canDropPrivileges()) {
    runServerIn("home/database");
    chmod(database.c_str(), 0555);
    desktop.openMenu();
    EXPECT_EQ(rows()[0], (Row{"Stop Default Instance", false, ""}));
    return;
  }
  // As root every directory is writable: look at the item as another user.
  chmod(database.c_str(), 0555);
  auto status = test::runAsUnprivileged([&] {
    desktop.openMenu();
    return rows()[0] == Row{"Start Default Instance", false, ""} ? 0 : 1;
  });
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0);
}

TEST_F(StatusMenuTest, CheckMarkIsSampledOncePerOpening) {
  launch();
  desktop.loginEntries.push_back({"ours", app->bundleUrl()});
  desktop.openMenu();
  EXPECT_EQ(item("Start Kestrond Monitor at Login")->state(), ItemState::On);
  desktop.loginEntries.clear();
  desktop.advance(5);
  EXPECT_EQ(item("Start Kestrond Monitor at Login")->state(), ItemState::On);
  desktop.closeMenu();
  desktop.openMenu();
  EXPECT_EQ(item("Start Kestrond Monitor at Login")->state(), ItemState::Off);
}

TEST_F(StatusMenuTest, EachOpeningArmsOneTimerAndClosingStopsIt) {
  dir.makeInstance("home/database");
  launch();
  for (int cycle = 0; cycle < 3; ++cycle) {
    desktop.openMenu();
    EXPECT_EQ(desktop.armedTimerCount(), 1u);
    desktop.closeMenu();
    EXPECT_EQ(desktop.armedTimerCount(), 0u);
    EXPECT_FALSE(app->menuUpdateTimer());
  }
  // An opening without a closing before it still leaves one timer.
  desktop.openMenu();
  desktop.openMenu();
  EXPECT_EQ(desktop.armedTimerCount(), 1u);
  desktop.closeMenu();
  EXPECT_EQ(desktop.armedTimerCount(), 0u);
}

TEST_F(StatusMenuTest, TicksRefreshInPlaceWithoutRescanning) {
  std::string demo = dir.makeInstance("home/demo");
  launch();
  desktop.openMenu();
  EXPECT_EQ(titles()[0], "Start Instance 'demo'");
  auto first = desktop.menu().itemArray()[0];

  runServerIn("home/demo");
  dir.makeInstance("home/later");
  desktop.advance(0.49);
  EXPECT_EQ(titles()[0], "Start Instance 'demo'");  // first tick after half a second
  desktop.advance(0.01);
  EXPECT_EQ(titles()[0], "Stop Instance 'demo'");
  EXPECT_EQ(desktop.menu().itemArray()[0], first);  // the same item, refreshed in place
  EXPECT_FALSE(hasTitle("Start Instance 'later'"));

  // A removed directory's item stays, and is refreshed, until the next opening.
  std::filesystem::remove_all(demo);
  desktop.advance(1.0);
  EXPECT_EQ(titles()[0], "Stop Instance 'demo'");  // its server still lives
  server.end();
  desktop.advance(kMenuRefreshInterval);
  EXPECT_EQ(titles()[0], "Start Instance 'demo'");
  EXPECT_EQ(desktop.menu().itemArray()[0], first);
  desktop.closeMenu();
  desktop.openMenu();
  EXPECT_EQ(titles()[0], "Start Instance 'later'");
  EXPECT_EQ(titles()[1], "-");
}

TEST_F(StatusMenuTest, ItemsFollowTheStatusTable) {
  launch();
  std::string path = dir.makeInstance("home/demo");
  KestrondInstance unknown(path, processes, log);  // never refreshed: Unknown
  MenuItem item;
  app->updateMenuItem(item, unknown);
  EXPECT_EQ(item.title(), "Instance 'demo': Unknown");
  EXPECT_FALSE(item.isEnabled());
  EXPECT_TRUE(item.action().empty());
}

TEST_F(StatusMenuTest, MenuWithoutRemoveAllIsEmptiedFromTheFront) {
  dir.makeInstance("home/database");
  launch();
  desktop.menu().setRespondsToRemoveAllItems(false);
  desktop.openMenu();
  desktop.closeMenu();
  desktop.openMenu();
  EXPECT_EQ(rows(),
            concat({{"Start Default Instance", true, "startInstance:"}}, tail(false, false)));
}

}  // namespace
}  // namespace kestrond
