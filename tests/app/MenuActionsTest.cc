// The actions behind the menu: confirmations, starting and stopping real
// stand-in servers, and what is opened.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>

#include "MonitorFixture.h"

namespace kestrond {
namespace {

class MenuActionsTest : public test::MonitorFixture {
 protected:
  void answerYes() { desktop.answerYes(); }
};

TEST_F(MenuActionsTest, StartAndStopTheDefaultInstance) {
  test::ServerHold hold(dir);
  std::string database = dir.makeInstance("home/database", hold.settings());
  launch();
  desktop.openMenu();
  answerYes();
  ASSERT_TRUE(desktop.choose("Start Default Instance"));
  ASSERT_EQ(desktop.questions.size(), 1u);
  EXPECT_EQ(desktop.questions[0].message, "Do you want to start the Default Instance?");
  EXPECT_EQ(desktop.questions[0].informative,
            "This will start up a Kestrond instance in directory\n" + database + ".");
  EXPECT_EQ(desktop.questions[0].yesTitle, "Start");
  EXPECT_EQ(desktop.questions[0].noTitle, "Cancel");
  EXPECT_FALSE(app->inModalDialog());

  desktop.openMenu();
  EXPECT_EQ(titles()[0], "Default Instance: Starting");
  EXPECT_FALSE(item("Default Instance: Starting")->enabled);
  EXPECT_FALSE(item("Open Kestrond Tessaline")->enabled);
  hold.release();
  ASSERT_TRUE(tickUntil([&] { return hasTitle("Stop Default Instance"); }));
  // The tail changes only at the next opening.
  EXPECT_FALSE(item("Open Kestrond Tessaline")->enabled);
  desktop.closeMenu();

  desktop.openMenu();
  EXPECT_TRUE(item("Stop Default Instance")->enabled);
  EXPECT_TRUE(item("Open Kestrond Tessaline")->enabled);
  EXPECT_TRUE(item("Open Diagnostic Messages")->enabled);  // the server wrote its log
  answerYes();
  ASSERT_TRUE(desktop.choose("Stop Default Instance"));
  EXPECT_EQ(desktop.questions[1].message, "Do you want to stop the Default Instance?");
  EXPECT_EQ(desktop.questions[1].informative,
            "This will stop the Kestrond instance in directory\n" + database + ".");
  EXPECT_EQ(desktop.questions[1].yesTitle, "Stop");
  EXPECT_EQ(desktop.questions[1].noTitle, "Cancel");

  desktop.openMenu();
  ASSERT_TRUE(tickUntil([&] { return hasTitle("Start Default Instance"); }));
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Watching directory: " + database}));
}

// What a choice changed shows before it returns, as a host reads the
// closed menu: no opening, no refresh tick. A second click on the row asks
// nothing.
TEST_F(MenuActionsTest, OwnStartAndStopShowAtOnce) {
  test::ServerHold hold(dir);
  dir.makeInstance("home/database", hold.settings() + "stop_delay_ms = 60000\n");
  launch();
  const std::string key = desktop.rows()[0].key;
  struct Step {
    const char* shown;
    const char* during;
    StatusMark mark;
  };
  for (const Step& step :
       {Step{"Start Default Instance", "Default Instance: Starting", StatusMark::Changing},
        Step{"Stop Default Instance", "Default Instance: Stopping", StatusMark::Changing}}) {
    SCOPED_TRACE(step.shown);
    ASSERT_TRUE(closedUntil([&] { return hasTitle(step.shown); }));
    size_t asked = desktop.questions.size();
    answerYes();
    ASSERT_TRUE(desktop.chooseKey(key));
    EXPECT_EQ(rows()[0], (Row{step.during, false}));
    EXPECT_EQ(desktop.toolTipDescription(), step.during);
    EXPECT_EQ(desktop.mark(), step.mark);
    EXPECT_FALSE(desktop.chooseKey(key));
    EXPECT_EQ(desktop.questions.size(), asked + 1);
    hold.release();
  }
}

// A server gone by the time the Stop returns (the process control waits for
// its end): its ending was asked for from the menu, never "unexpected".
TEST_F(MenuActionsTest, StopOfAServerThatEndsAtOnceIsNotUnexpected) {
  struct EndsOnTerm : SystemProcessControl {
    using SystemProcessControl::SystemProcessControl;
    Error sendSignal(pid_t pid, int pidfd, int signal) override {
      Error error = SystemProcessControl::sendSignal(pid, pidfd, signal);
      pollfd ended{pidfd, POLLIN, 0};
      EXPECT_GE(pidfd, 0);
      if (signal == SIGTERM && pidfd >= 0) {
        EXPECT_EQ(poll(&ended, 1, 10'000), 1);
      }
      return error;
    }
  };
  otherControl = std::make_unique<EndsOnTerm>(log);
  control = otherControl.get();
  dir.makeInstance("home/database");
  launch();
  answerYes();
  ASSERT_TRUE(desktop.choose("Start Default Instance"));
  ASSERT_TRUE(closedUntil([&] { return hasTitle("Stop Default Instance"); }));
  answerYes();
  ASSERT_TRUE(desktop.choose("Stop Default Instance"));
  ASSERT_TRUE(closedUntil([&] { return hasTitle("Start Default Instance"); }));
  EXPECT_TRUE(desktop.notifications.empty()) << desktop.notifications[0].summary;
}

// A start asks for the server's own unit and lets it run once answered;
// where there is none, the server runs all the same, with one line.
TEST_F(MenuActionsTest, StartedServerIsPlacedInAUnitOfItsOwn) {
  std::string database = dir.makeInstance("home/database");
  desktop.holdPlacements = true;
  launch();
  desktop.openMenu();
  answerYes();
  ASSERT_TRUE(desktop.choose("Start Default Instance"));
  ASSERT_EQ(desktop.placements.size(), 1u);
  const test::FakeDesktop::Placement& placement = desktop.placements[0];
  EXPECT_EQ(placement.pid, app->defaultInstance()->pid());
  EXPECT_EQ(placement.unit.label, "database");
  EXPECT_EQ(placement.unit.description, "Kestrond server in " + database);
  desktop.openMenu();
  EXPECT_EQ(titles()[0], "Default Instance: Starting");
  placement.done(Error::because("no service manager on the session bus"));
  ASSERT_TRUE(tickUntil([&] { return hasTitle("Stop Default Instance"); }));
  std::string line = "The server in " + database +
                     " runs in the monitor's session: no service manager on the session bus";
  EXPECT_EQ(std::count(log.lines().begin(), log.lines().end(), line), 1) << line;
}

TEST_F(MenuActionsTest, ServerIgnoringSigtermStaysStopping) {
  dir.makeInstance("home/demo", "[standin]\nignore_sigterm = true\n");
  launch();
  desktop.openMenu();
  answerYes();
  desktop.choose("Start Instance 'demo'");
  desktop.openMenu();
  ASSERT_TRUE(tickUntil([&] { return hasTitle("Stop Instance 'demo'"); }));
  pid_t server = instanceOf("Stop Instance 'demo'")->pid();
  answerYes();
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
  // "Cancel", then a question dismissed without an answer.
  desktop.answerNo();
  for (int round = 0; round < 2; ++round) {
    desktop.openMenu();
    ASSERT_TRUE(desktop.choose("Start Default Instance"));
    EXPECT_FALSE(app->inModalDialog());
    desktop.openMenu();
    EXPECT_EQ(titles()[0], "Start Default Instance") << round;
    desktop.closeMenu();
  }
  EXPECT_EQ(desktop.questions.size(), 2u);
}

TEST_F(MenuActionsTest, OpeningDuringTheAlertChangesNothing) {
  dir.makeInstance("home/database");
  launch();
  desktop.openMenu();
  std::vector<std::string> before = titles();
  int updates = desktop.menuUpdates();
  std::shared_ptr<KestrondInstance> chosen = instanceOf("Start Default Instance");
  desktop.answers.push_back([&](const Question&) {
    EXPECT_TRUE(app->inModalDialog());
    dir.makeInstance("home/demo");  // would show up in a rescan
    desktop.openMenu();
    EXPECT_EQ(titles(), before);
    EXPECT_EQ(desktop.menuUpdates(), updates);
    EXPECT_EQ(desktop.armedTimerCount(), 0u);
    // Its old rows are still enabled: a second question is not asked.
    EXPECT_FALSE(app->confirm(*chosen, true));
    desktop.closeMenu();
    return false;
  });
  desktop.closeMenu();
  app->startInstance(chosen);
  EXPECT_EQ(desktop.questions.size(), 1u);
  EXPECT_FALSE(app->inModalDialog());
}

TEST_F(MenuActionsTest, StopOfAnInstanceThatEndedMeanwhileDoesNothing) {
  test::SleepingProcess server;
  dir.makeInstance("home/demo");
  dir.writeFile("home/demo/kestrond.lck", std::to_string(server.pid()));
  launch();
  desktop.openMenu();
  desktop.answers.push_back([&](const Question&) {
    server.end();
    return true;
  });
  ASSERT_TRUE(desktop.choose("Stop Instance 'demo'"));
  EXPECT_EQ(desktop.questions[0].message, "Do you want to stop the Instance 'demo'?");
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
  EXPECT_EQ(desktop.opened[2].kind, test::FakeDesktop::Opened::Kind::File);
  EXPECT_EQ(desktop.opened[2].target, database + "/kestrond.log");

  // What is opened does not inherit the server's environment.
  const auto& environment = desktop.opened[0].environment;
  EXPECT_EQ(std::count(environment.begin(), environment.end(), "KESTROND_HOME=" + home), 0);

  // The log deleted after the opening: nothing opens, nothing is reported,
  // whether the row has been disabled by then or not.
  desktop.openMenu();
  unlink((database + "/kestrond.log").c_str());
  (void)desktop.choose("Open Diagnostic Messages");
  app->viewLogFile();
  EXPECT_EQ(desktop.opened.size(), 3u);
}

TEST_F(MenuActionsTest, ViewLogFileWithoutADefaultInstanceOpensNothing) {
  launch();
  app->viewLogFile();
  EXPECT_TRUE(desktop.opened.empty());
  EXPECT_FALSE(desktop.choose("Open Diagnostic Messages"));  // disabled: nothing runs
}

// Two servers run; a panel was shown the closed menu; a new instance sorts
// ahead of them and the rows shift. The panel's choice arrives for the row
// it showed: it acts on that instance, or, for a row that has gone since,
// on nothing.
TEST_F(MenuActionsTest, AChoiceActsOnTheInstanceItsRowShowedAfterTheRowsShift) {
  test::SleepingProcess b, c;
  dir.makeInstance("home/b");
  dir.writeFile("home/b/kestrond.lck", std::to_string(b.pid()));
  std::string cDirectory = dir.makeInstance("home/c");
  dir.writeFile("home/c/kestrond.lck", std::to_string(c.pid()));
  launch();
  ASSERT_EQ(titles()[1], "Stop Instance 'c'");
  const std::string shown = desktop.rows()[1].key;

  dir.makeInstance("home/a");
  ASSERT_TRUE(test::waitFor([&] {
    desktop.dispatchReadableDescriptors();
    return titles()[0] == "Start Instance 'a'";
  }));
  ASSERT_EQ(titles()[1], "Stop Instance 'b'");  // the row at the shown position now

  desktop.answerNo();
  ASSERT_TRUE(desktop.chooseKey(shown));
  ASSERT_EQ(desktop.questions.size(), 1u);
  EXPECT_EQ(desktop.questions[0].message, "Do you want to stop the Instance 'c'?");
  EXPECT_EQ(desktop.questions[0].informative,
            "This will stop the Kestrond instance in directory\n" + cDirectory + ".");

  // c's server ends and its directory goes; the rows are rebuilt; a late
  // click on its row does nothing.
  std::filesystem::remove_all(cDirectory);
  c.end();
  ASSERT_TRUE(test::waitFor([&] {
    desktop.dispatchReadableDescriptors();
    return !hasTitle("Stop Instance 'c'");
  }));
  log.clear();
  EXPECT_FALSE(desktop.chooseKey(shown));
  EXPECT_EQ(desktop.questions.size(), 1u);
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "A menu choice arrived for a row that is no longer in the menu (" +
                             shown + "); nothing done"});
}

TEST_F(MenuActionsTest, StartAtLoginTurnsTheOtherWayFromTheCheckMarkShown) {
  launch();
  ASSERT_EQ(item("Start Kestrond Monitor at Login")->checked, false);
  ASSERT_TRUE(desktop.choose("Start Kestrond Monitor at Login"));
  EXPECT_TRUE(desktop.loginEnabled);
  desktop.openMenu();
  EXPECT_EQ(item("Start Kestrond Monitor at Login")->checked, true);
  ASSERT_TRUE(desktop.choose("Start Kestrond Monitor at Login"));
  EXPECT_FALSE(desktop.loginEnabled);
  EXPECT_EQ(desktop.loginChanges, 2);

  // A failure changes nothing, and the mark shows the truth.
  desktop.loginError = EACCES;
  desktop.openMenu();
  ASSERT_TRUE(desktop.choose("Start Kestrond Monitor at Login"));
  EXPECT_EQ(item("Start Kestrond Monitor at Login")->checked, false);
}

// A host may fetch the menu and click without ever telling of an opening:
// each click turns start at login the other way, and the mark follows.
TEST_F(MenuActionsTest, StartAtLoginChosenFromAMenuNeverOpened) {
  launch();
  for (bool expected : {true, false, true}) {
    ASSERT_TRUE(desktop.chooseKey("start-at-login"));
    EXPECT_EQ(desktop.loginEnabled, expected);
    EXPECT_EQ(item("Start Kestrond Monitor at Login")->checked, expected);
  }
}

}  // namespace
}  // namespace kestrond
