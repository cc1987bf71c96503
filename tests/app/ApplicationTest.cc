#include "Application.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "MonitorFixture.h"

namespace kestrond {
namespace {

using test::MonitorFixture;

class ApplicationTest : public MonitorFixture {};

TEST_F(ApplicationTest, LaunchPutsTheStatusItemUp) {
  launch();
  ASSERT_TRUE(desktop.hasStatusItem());
  EXPECT_EQ(desktop.title(), "K");
  EXPECT_EQ(desktop.toolTip(), "Halvorix Kestrond");
  // Filled from the start: a panel may fetch the menu before any opening.
  ASSERT_EQ(desktop.rows().size(), 8u);
  EXPECT_EQ(desktop.rows()[0].title, "No Kestrond Instances");

  EXPECT_EQ(app->manager()->searchPaths(), std::vector<std::string>{home});
  EXPECT_FALSE(app->inModalDialog());
  EXPECT_EQ(desktop.armedTimerCount(), 0u);
  EXPECT_FALSE(app->defaultInstance());
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(ApplicationTest, WithoutAnInstallationTheMenuStillOpens) {
  environment.set("KESTROND_HOME", dir.path() + "/missing");
  launch();
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Kestrond installation not found"});
  EXPECT_EQ(desktop.title(), "K");
  desktop.openMenu();
  EXPECT_EQ(titles().front(), "No Kestrond Instances");
}

TEST_F(ApplicationTest, QuitEndsTheLoopWithStatusZeroAndServersKeepRunning) {
  dir.makeInstance("home/database");
  pid_t server = 0;
  desktop.answerYes();
  desktop.script = {
      [&] { desktop.openMenu(); },
      [&] { ASSERT_TRUE(desktop.choose("Start Default Instance")); },
      [&] {
        // The server's own word on its pid, once it is running.
        ASSERT_TRUE(test::waitFor(
            [&] { return !test::readFile(home + "/database/kestrond.lck").empty(); }));
        server = std::stoi(test::readFile(home + "/database/kestrond.lck"));
      },
      [&] { desktop.choose("Quit Kestrond Monitor"); },
      [&] { FAIL() << "the loop went on after Quit"; },
  };
  EXPECT_EQ(runApplication(desktop, processes, log), 0);
  EXPECT_FALSE(desktop.eventLoopRunning());
  EXPECT_EQ(desktop.script.size(), 1u);
  ASSERT_GT(server, 0);
  EXPECT_EQ(kill(server, 0), 0);
  kill(server, SIGKILL);
}

}  // namespace
}  // namespace kestrond
