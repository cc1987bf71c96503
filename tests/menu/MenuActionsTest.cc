// The actions behind the menu: confirmations, starting and stopping real
// stand-in servers, and what is opened.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>

#include "MonitorFixture.h"

namespace kestrond {
namespace {

class MenuActionsTest : public test::MonitorFixture {
 protected:
  void answer(int code) { desktop.answerAlertsWith(code); }
  ServerStatus statusOfFirst() {
    return app->representedObject(*desktop.menu().itemArray()[0])->serverStatus();
  }
};

TEST_F(MenuActionsTest, StartAndStopTheDefaultInstance) {
  test::ServerHold hold(dir);
  std::string database = dir.makeInstance("home/database", hold.settings());
  launch();
  desktop.openMenu();
  answer(Alert::kFirstButtonReturn);
  ASSERT_TRUE(desktop.choose("Start Default Instance"));
  ASSERT_EQ(desktop.alerts.size(), 1u);
  EXPECT_EQ(desktop.alerts[0].messageText, "Do you want to start the Default Instance?");
  EXPECT_EQ(desktop.alerts[0].informativeText,
            "This will start up a Kestrond instance in directory\n" + database + ".");
  EXPECT_EQ(desktop.alerts[0].buttons, (std::vector<std::string>{"Start", "Cancel"}));
  EXPECT_EQ(desktop.frontRequests, 1);
  EXPECT_FALSE(app->inModalDialog());

  desktop.openMenu();
  EXPECT_EQ(titles()[0], "Default Instance: Starting");
  EXPECT_FALSE(item("Default Instance: Starting")->isEnabled());
  EXPECT_FALSE(item("Open Kestrond Tessaline")->isEnabled());
  hold.release();
  ASSERT_TRUE(tickUntil([&] { return hasTitle("Stop Default Instance"); }));
  // The tail changes only at the next opening.
  EXPECT_FALSE(item("Open Kestrond Tessaline")->isEnabled());
  desktop.closeMenu();

  desktop.openMenu();
  EXPECT_TRUE(item("Stop Default Instance")->isEnabled());
  EXPECT_TRUE(item("Open Kestrond Tessaline")->isEnabled());
  EXPECT_TRUE(item("Open Diagnostic Messages")->isEnabled());  // the server wrote its log
  answer(Alert::kFirstButtonReturn);
  ASSERT_TRUE(desktop.choose("Stop Default Instance"));
  EXPECT_EQ(desktop.alerts[1].messageText, "Do you want to stop the Default Instance?");
  EXPECT_EQ(desktop.alerts[1].informativeText,
            "This will stop the Kestrond instance in directory\n" + database + ".");
  EXPECT_EQ(desktop.alerts[1].buttons, (std::vector<std::string>{"Stop", "Cancel"}));

  desktop.openMenu();
  ASSERT_TRUE(tickUntil([&] { return hasTitle("Start Default Instance"); }));
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Watching directory: " + database}));
}

TEST_F(MenuActionsTest, ServerIgnoringSigtermStaysStopping) {
  dir.makeInstance("home/demo", "[standin]\nignore_sigterm = true\n");
  launch();
  desktop.openMenu();
  answer(Alert::kFirstButtonReturn);
  desktop.choose("Start Instance 'demo'");
  desktop.openMenu();
  ASSERT_TRUE(tickUntil([&] { return hasTitle("Stop Instance 'demo'"); }));
  pid_t server = app->representedObject(*desktop.menu().itemArray()[0])->pid();
  answer(Alert::kFirstButtonReturn);
  desktop.choose("Stop Instance 'demo'");
  desktop.openMenu();
  for (int tick = 0; tick < 6; ++tick) desktop.advance(kMenuRefreshInterval);
  EXPECT_EQ(titles()[0], "Instance 'demo': Stopping");
  kill(server, SIGKILL);
  ASSERT_TRUE(tickUntil([&] { return hasTitle("Start Instance 'demo'"); }));
}

TEST_F(MenuActionsTest, CancelAndDismissDoNothing) {
  dir.makeInstance("home/database");
  launch();
  for (int code : {Alert::kSecondButtonReturn, 0, -1000}) {
    desktop.openMenu();
    answer(code);
    ASSERT_TRUE(desktop.choose("Start Default Instance"));
    EXPECT_FALSE(app->inModalDialog());
    desktop.openMenu();
    EXPECT_EQ(titles()[0], "Start Default Instance") << code;
    desktop.closeMenu();
  }
  EXPECT_EQ(desktop.alerts.size(), 3u);
}

TEST_F(MenuActionsTest, OpeningDuringTheAlertChangesNothing) {
  dir.makeInstance("home/database");
  launch();
  desktop.openMenu();
  auto before = desktop.menu().itemArray();
  auto chosen = before[0];
  desktop.alertAnswers.push_back([&](const auto&) {
    EXPECT_TRUE(app->inModalDialog());
    dir.makeInstance("home/demo");  // would show up in a rescan
    desktop.openMenu();
    EXPECT_EQ(desktop.menu().itemArray(), before);
    EXPECT_EQ(desktop.armedTimerCount(), 0u);
    // Its old items are still enabled: a second question is not asked.
    EXPECT_FALSE(app->confirm(*app->representedObject(*chosen), true));
    desktop.closeMenu();
    return Alert::kSecondButtonReturn;
  });
  desktop.closeMenu();
  app->startInstance(*chosen);
  EXPECT_EQ(desktop.alerts.size(), 1u);
  EXPECT_FALSE(app->inModalDialog());
}

TEST_F(MenuActionsTest, StopOfAnInstanceThatEndedMeanwhileDoesNothing) {
  test::SleepingProcess server;
  dir.makeInstance("home/demo");
  dir.writeFile("home/demo/kestrond.lck", std::to_string(server.pid()));
  launch();
  desktop.openMenu();
  desktop.alertAnswers.push_back([&](const auto&) {
    server.end();
    return Alert::kFirstButtonReturn;
  });
  ASSERT_TRUE(desktop.choose("Stop Instance 'demo'"));
  EXPECT_EQ(desktop.alerts[0].messageText, "Do you want to stop the Instance 'demo'?");
  desktop.openMenu();
  EXPECT_EQ(titles()[0], "Start Instance 'demo'");
}

TEST_F(MenuActionsTest, OpensTheWebInterfaceDocumentationAndLog) {
  test::SleepingProcess server;
  std::string database = dir.makeInstance("home/database");
  dir.writeFile("home/database/kestrond.lck", std::to_string(server.pid()));
  dir.writeFile("home/database/kestrond.log", "log\n");
  launch();
  desktop.openMenu();
  ASSERT_TRUE(desktop.choose("Open Kestrond Tessaline"));
  desktop.openMenu();
  ASSERT_TRUE(desktop.choose("View Online Documentation"));
  desktop.openMenu();
  ASSERT_TRUE(desktop.choose("Open Diagnostic Messages"));
  ASSERT_EQ(desktop.opened.size(), 3u);
  EXPECT_EQ(desktop.opened[0].target, "http://localhost:8890/tessaline/");
  EXPECT_EQ(desktop.opened[1].target, "http://docs.halvorix.com/kestrond/");
  EXPECT_EQ(desktop.opened[2].kind, MemoryDesktop::Opened::Kind::File);
  EXPECT_EQ(desktop.opened[2].target, database + "/kestrond.log");

  // What is opened does not inherit the server's environment.
  const auto& environment = desktop.opened[0].environment;
  EXPECT_EQ(std::count(environment.begin(), environment.end(), "KESTROND_HOME=" + home), 0);

  // The log deleted after the opening: nothing opens, nothing is reported.
  desktop.openMenu();
  unlink((database + "/kestrond.log").c_str());
  ASSERT_TRUE(desktop.choose("Open Diagnostic Messages"));
  EXPECT_EQ(desktop.opened.size(), 3u);
}

TEST_F(MenuActionsTest, ViewLogFileWithoutADefaultInstanceOpensNothing) {
  launch();
  MenuItem sender;
  app->viewLogFile(sender);
  EXPECT_TRUE(desktop.opened.empty());
  EXPECT_FALSE(desktop.sharedApplication().sendAction(sender));  // no action: nothing sent
}

}  // namespace
}  // namespace kestrond
