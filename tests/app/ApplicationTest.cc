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
  ASSERT_EQ(desktop.statusItems.size(), 1u);
  const StatusItem& item = *desktop.statusItems[0];
  EXPECT_EQ(item.title(), "K");
  EXPECT_EQ(item.toolTip(), "Halvorix Kestrond");
  ASSERT_TRUE(item.menu());
  EXPECT_EQ(item.menu()->delegate(), app.get());
  // Filled from the start: a panel may fetch the menu before any opening.
  ASSERT_EQ(item.menu()->numberOfItems(), 8u);
  EXPECT_EQ(item.menu()->itemArray()[0]->title(), "No Kestrond Instances");

  EXPECT_EQ(app->manager()->searchPaths(), std::vector<std::string>{home});
  EXPECT_FALSE(app->inModalDialog());
  EXPECT_FALSE(app->menuUpdateTimer());
  EXPECT_FALSE(app->defaultInstance());
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(ApplicationTest, WithoutAnInstallationTheMenuStillOpens) {
  environment.set("KESTROND_HOME", dir.path() + "/missing");
  launch();
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Kestrond installation not found"});
  EXPECT_EQ(desktop.statusItems[0]->title(), "K");
  desktop.openMenu();
  EXPECT_EQ(titles().front(), "No Kestrond Instances");
}

TEST_F(ApplicationTest, QuitEndsTheLoopWithStatusZeroAndServersKeepRunning) {
  dir.makeInstance("home/database");
  pid_t server = 0;
  desktop.alertAnswers.push_back([](const auto&) { return Alert::kFirstButtonReturn; });
  desktop.script = {
      [&] { desktop.openMenu(); },
      [&] { ASSERT_TRUE(desktop.choose("Start Default Instance")); },
      [&] {
        desktop.openMenu();
        auto* running = static_cast<Application*>(desktop.sharedApplication().delegate());
        server = running->representedObject(*desktop.menu().itemArray()[0])->pid();
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

// Start at login over the in-memory list.
class LoginItemsTest : public MonitorFixture {
 protected:
  void SetUp() override {
    MonitorFixture::SetUp();
    launch();
    ours = app->bundleUrl();
  }
  std::vector<std::string> urls() {
    std::vector<std::string> result;
    for (const auto& entry : desktop.loginEntries) result.push_back(entry.url.value_or("?"));
    return result;
  }
  std::string ours;
};

TEST_F(LoginItemsTest, EnableInsertsOnceAtTheHeadAndDisableRemovesTheFirstMatch) {
  EXPECT_FALSE(Application::willStartAtLogin(desktop, ours));
  Application::setStartAtLogin(desktop, ours, false);  // nothing to remove
  EXPECT_TRUE(desktop.loginEntries.empty());

  desktop.loginEntries.push_back({"other", "file:///opt/Other/"});
  Application::setStartAtLogin(desktop, ours, true);
  Application::setStartAtLogin(desktop, ours, true);
  EXPECT_EQ(urls(), (std::vector<std::string>{ours, "file:///opt/Other/"}));
  EXPECT_TRUE(Application::willStartAtLogin(desktop, ours));

  // Two matching entries: a disable removes the first, the check mark stays.
  desktop.loginEntries.push_back({"second", ours});
  desktop.loginEntries.push_back({"unmounted", std::nullopt});
  Application::setStartAtLogin(desktop, ours, false);
  EXPECT_EQ(desktop.loginEntries[0].identifier, "other");
  EXPECT_EQ(desktop.loginEntries[1].identifier, "second");
  EXPECT_TRUE(Application::willStartAtLogin(desktop, ours));
  Application::setStartAtLogin(desktop, ours, false);
  EXPECT_FALSE(Application::willStartAtLogin(desktop, ours));
  // Other programs and unresolvable entries are never touched.
  ASSERT_EQ(desktop.loginEntries.size(), 2u);
  EXPECT_EQ(desktop.loginEntries[0].identifier, "other");
  EXPECT_EQ(desktop.loginEntries[1].identifier, "unmounted");
}

TEST_F(LoginItemsTest, ListThatCannotBeHadChangesNothing) {
  desktop.loginListUnavailable = true;
  EXPECT_FALSE(Application::willStartAtLogin(desktop, ours));
  Application::setStartAtLogin(desktop, ours, true);
  EXPECT_TRUE(desktop.loginEntries.empty());
}

TEST_F(LoginItemsTest, ToggleFollowsTheSendersCheckMarkAndLeavesIt) {
  desktop.openMenu();
  auto entry = item("Start Kestrond Monitor at Login");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->state(), ItemState::Off);
  EXPECT_TRUE(desktop.choose("Start Kestrond Monitor at Login"));
  EXPECT_EQ(entry->state(), ItemState::Off);  // only the next opening shows it
  EXPECT_EQ(urls(), std::vector<std::string>{ours});

  desktop.openMenu();
  EXPECT_EQ(item("Start Kestrond Monitor at Login")->state(), ItemState::On);

  MenuItem mixed;
  mixed.setState(ItemState::Mixed);
  app->toggleStartAtLogin(mixed);  // mixed disables, like on
  EXPECT_TRUE(desktop.loginEntries.empty());
  EXPECT_EQ(mixed.state(), ItemState::Mixed);
}

}  // namespace
}  // namespace kestrond
