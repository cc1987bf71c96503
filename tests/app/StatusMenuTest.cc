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
    return {{"-", false},
            {"Open Diagnostic Messages", log},
            {"Open Kestrond Tessaline", web},
            {"View Online Documentation", true},
            {"-", false},
            {"Start Kestrond Monitor at Login", true},
            {"Quit Kestrond Monitor", true}};
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
  EXPECT_EQ(rows(), concat({{"No Kestrond Instances", false}}, tail(false, false)));
  EXPECT_EQ(item("Quit Kestrond Monitor")->shortcut, "Q");
  EXPECT_EQ(item("No Kestrond Instances")->shortcut, "");
  // Every row that can be chosen does something; the others do nothing.
  for (const MenuRow& row : desktop.rows()) {
    EXPECT_EQ(static_cast<bool>(row.choose), row.enabled) << row.title;
  }
  EXPECT_EQ(desktop.armedTimerCount(), 0u);
}

TEST_F(StatusMenuTest, StoppedDefaultInstanceWithoutLog) {
  dir.makeInstance("home/database");
  launch();
  desktop.openMenu();
  EXPECT_EQ(rows(), concat({{"Start Default Instance", true}}, tail(false, false)));
  EXPECT_EQ(instanceOf("Start Default Instance"), app->defaultInstance());
  EXPECT_EQ(desktop.armedTimerCount(), 1u);
}

TEST_F(StatusMenuTest, RunningDefaultInstanceWithLogEnablesTheTail) {
  dir.makeInstance("home/database");
  dir.writeFile("home/database/kestrond.log", "started\n");
  runServerIn("home/database");
  dir.makeInstance("home/demo");
  launch();
  desktop.openMenu();
  EXPECT_EQ(rows(), concat({{"Stop Default Instance", true}, {"Start Instance 'demo'", true}},
                           tail(true, true)));
}

TEST_F(StatusMenuTest, TheToolTipNamesTheServersThatRunAFewAtMost) {
  dir.makeInstance("home/idle");
  launch();
  EXPECT_EQ(desktop.toolTip(), "Halvorix Kestrond");
  EXPECT_EQ(desktop.toolTipDescription(), "No server is running");
  for (const char* name : {"s1", "s2", "s3", "s4", "s5", "s6", "s7"}) {
    dir.makeInstance(std::string("home/") + name);
    runServerIn(std::string("home/") + name);
  }
  desktop.openMenu();
  EXPECT_EQ(desktop.toolTipDescription(),
            "Instance 's1': Running\nInstance 's2': Running\nInstance 's3': Running\n"
            "Instance 's4': Running\nInstance 's5': Running\nand 2 more");
}

TEST_F(StatusMenuTest, TessalineFollowsTheDefaultInstanceOnly) {
  dir.makeInstance("home/database");
  dir.makeInstance("home/demo");
  runServerIn("home/demo");
  launch();
  desktop.openMenu();
  EXPECT_EQ(rows(), concat({{"Start Default Instance", true}, {"Stop Instance 'demo'", true}},
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
  EXPECT_TRUE(item("Open Kestrond Tessaline")->enabled);
}

TEST_F(StatusMenuTest, ReadOnlyDirectoryShowsItsItemDisabled) {
  std::string database = dir.makeInstance("home/database");
  launch();
  if (!test::canDropPrivileges()) {
    runServerIn("home/database");
    chmod(database.c_str(), 0555);
    desktop.openMenu();
    EXPECT_EQ(rows()[0], (Row{"Stop Default Instance", false}));
    return;
  }
  // As root every directory is writable: look at the item as another user.
  chmod(database.c_str(), 0555);
  auto status = test::runAsUnprivileged([&] {
    desktop.openMenu();
    return rows()[0] == Row{"Start Default Instance", false} ? 0 : 1;
  });
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0);
}

TEST_F(StatusMenuTest, CheckMarkIsSampledOncePerOpening) {
  dir.makeInstance("home/database");
  launch();
  desktop.loginEnabled = true;
  desktop.openMenu();
  EXPECT_EQ(item("Start Kestrond Monitor at Login")->checked, true);
  desktop.loginEnabled = false;
  desktop.advance(std::chrono::seconds(5));
  EXPECT_EQ(item("Start Kestrond Monitor at Login")->checked, true);
  desktop.closeMenu();
  desktop.openMenu();
  EXPECT_EQ(item("Start Kestrond Monitor at Login")->checked, false);
}

TEST_F(StatusMenuTest, EachOpeningArmsOneTimerAndClosingStopsIt) {
  dir.makeInstance("home/database");
  launch();
  for (int cycle = 0; cycle < 3; ++cycle) {
    desktop.openMenu();
    EXPECT_EQ(desktop.armedTimerCount(), 1u);
    desktop.closeMenu();
    EXPECT_EQ(desktop.armedTimerCount(), 0u);
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
  const std::string key = desktop.rows()[0].key;

  runServerIn("home/demo");
  dir.makeInstance("home/later");
  desktop.advance(std::chrono::milliseconds(490));
  EXPECT_EQ(titles()[0], "Start Instance 'demo'");  // first tick after half a second
  desktop.advance(std::chrono::milliseconds(10));
  EXPECT_EQ(titles()[0], "Stop Instance 'demo'");
  EXPECT_EQ(desktop.rows()[0].key, key);  // the same row, refreshed in place
  EXPECT_FALSE(hasTitle("Start Instance 'later'"));

  // A removed directory's row stays, and is refreshed, until the next opening.
  std::filesystem::remove_all(demo);
  desktop.advance(std::chrono::seconds(1));
  EXPECT_EQ(titles()[0], "Stop Instance 'demo'");  // its server still lives
  server.end();
  desktop.advance(kMenuRefreshInterval);
  EXPECT_EQ(titles()[0], "Start Instance 'demo'");
  EXPECT_EQ(desktop.rows()[0].key, key);
  desktop.closeMenu();
  desktop.openMenu();
  EXPECT_EQ(titles()[0], "Start Instance 'later'");
  EXPECT_EQ(titles()[1], "-");
}

TEST_F(StatusMenuTest, ItemsFollowTheStatusTable) {
  launch();
  std::string path = dir.makeInstance("home/demo");
  // Never refreshed: Unknown.
  auto unknown = std::make_shared<KestrondInstance>(path, processes, log);
  MenuRow item;
  app->statusMenu().updateMenuItem(item, unknown);
  EXPECT_EQ(item.title, "Instance 'demo': Unknown");
  EXPECT_FALSE(item.enabled);
  EXPECT_FALSE(item.choose);
  EXPECT_EQ(item.key, "instance:" + path);
}

TEST_F(StatusMenuTest, RowsAreKeyedByWhatTheyStandFor) {
  std::string b = dir.makeInstance("home/b");
  std::string c = dir.makeInstance("home/c");
  launch();
  desktop.openMenu();
  std::vector<std::string> keys;
  for (const MenuRow& row : desktop.rows()) keys.push_back(row.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"instance:" + b, "instance:" + c, "separator-1",
                                            "diagnostic-messages", "tessaline", "documentation",
                                            "separator-2", "start-at-login", "quit"}));
  desktop.closeMenu();
  // A new instance ahead of them leaves their keys as they were.
  std::string a = dir.makeInstance("home/a");
  desktop.openMenu();
  EXPECT_EQ(desktop.rows()[0].key, "instance:" + a);
  EXPECT_EQ(desktop.rows()[1].key, "instance:" + b);
  EXPECT_EQ(desktop.rows()[2].key, "instance:" + c);
}

}  // namespace
}  // namespace kestrond
