// What the monitor tells without being asked, on the in-memory desktop with
// real stand-in servers: the status item's mark, and notifications for a
// failed start and for a server that ended without a Stop from the menu.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "MonitorFixture.h"

namespace kestrond {
namespace {

class ServerNoticesTest : public test::MonitorFixture {
 protected:
  // Starts the first row's instance from the menu, confirming.
  void startFirst(const std::string& title) {
    desktop.openMenu();
    desktop.answerYes();
    ASSERT_TRUE(desktop.choose(title));
  }
  StatusMark mark() { return desktop.mark(); }
  pid_t pidOf(const std::string& title) { return instanceOf(title)->pid(); }
};

TEST_F(ServerNoticesTest, FailedStartIsToldWithWhyAndOffersTheLog) {
  // The server runs but ends at once once let go; it has written its log by then.
  test::ServerHold hold(dir);
  std::string database = dir.makeInstance("home/database", hold.settings() + "exit_status = 7\n");
  desktop.timersFireEarly = std::chrono::milliseconds(150);  // on time all the same
  launch();
  EXPECT_EQ(mark(), StatusMark::None);
  startFirst("Start Default Instance");
  EXPECT_EQ(mark(), StatusMark::Changing);
  hold.release();
  ASSERT_TRUE(closedUntil([&] { return mark() == StatusMark::None; }));
  // Told once the instance has stayed down a few seconds.
  desktop.advance(kStartGrace - 2 * kTimerSlack);
  EXPECT_TRUE(desktop.notifications.empty());
  desktop.advance(2 * kTimerSlack);
  ASSERT_FALSE(desktop.notifications.empty());
  const Notification& failed = desktop.notifications[0];
  EXPECT_EQ(failed.summary, "Default Instance did not start");
  EXPECT_EQ(failed.body, "The server ended before it was running.");
  EXPECT_EQ(failed.subject, database);
  EXPECT_EQ(failed.actionTitle, "Open Diagnostic Messages");
  EXPECT_EQ(mark(), StatusMark::None);
  EXPECT_EQ(log.lines().back(),
            "Default Instance did not start: The server ended before it was running.");
  // The tray draws the eye to the item until the user looks.
  EXPECT_TRUE(desktop.needsAttention());
  desktop.openMenu();
  EXPECT_FALSE(desktop.needsAttention());
  desktop.closeMenu();

  ASSERT_TRUE(desktop.chooseNotificationAction(0));
  ASSERT_EQ(desktop.opened.size(), 1u);
  EXPECT_EQ(desktop.opened[0].target, database + "/kestrond.log");
}

TEST_F(ServerNoticesTest, ServerThatCannotRunIsToldWithTheExecError) {
  std::string sandbox = dir.makeInstance("home/sandbox");
  std::string binary = dir.writeFile("not-executable", "#!/bin/sh\n");
  ASSERT_EQ(chmod(binary.c_str(), 0644), 0);
  environment.set("KESTROND_BINARY", binary);
  launch();
  startFirst("Start Instance 'sandbox'");
  ASSERT_TRUE(closedUntil([&] {
    desktop.advance(kStartGrace);
    return !desktop.notifications.empty();
  }));
  EXPECT_EQ(desktop.notifications[0].summary, "Instance 'sandbox' did not start");
  EXPECT_EQ(desktop.notifications[0].body, "Cannot start " + binary + ": Permission denied");
  // No server ran, so there is no log to offer.
  EXPECT_EQ(desktop.notifications[0].actionTitle, "");
  EXPECT_FALSE(desktop.chooseNotificationAction(0));
}

TEST_F(ServerNoticesTest, CrashIsToldAtMostOnceAMinutePerInstance) {
  dir.makeInstance("home/database");
  launch();
  auto runThenCrash = [&] {
    startFirst("Start Default Instance");
    ASSERT_TRUE(closedUntil([&] { return mark() == StatusMark::Running; }));
    kill(pidOf("Stop Default Instance"), SIGKILL);  // ends without removing its lock file
    ASSERT_TRUE(closedUntil([&] { return mark() == StatusMark::None; }));
    // The stale lock file stays; the stand-in replaces it at the next start.
  };
  runThenCrash();
  ASSERT_EQ(desktop.notifications.size(), 1u);
  EXPECT_EQ(desktop.notifications[0].summary, "Default Instance stopped unexpectedly");
  EXPECT_EQ(desktop.notifications[0].body, "The server ended without a Stop from the menu.");

  runThenCrash();  // within the minute: logged, not shown
  EXPECT_EQ(desktop.notifications.size(), 1u);
  EXPECT_EQ(std::count(log.lines().begin(), log.lines().end(),
                       "Default Instance stopped unexpectedly: The server ended without a Stop "
                       "from the menu."),
            2);

  desktop.advance(kNotificationInterval);
  runThenCrash();
  ASSERT_EQ(desktop.notifications.size(), 2u);
  EXPECT_EQ(desktop.notifications[1].subject, desktop.notifications[0].subject);
}

TEST_F(ServerNoticesTest, StopFromTheMenuQuitAndServersStoppedAtLaunchAreNotTold) {
  // A lock file left by a server that ended before the monitor started.
  std::string database = dir.makeInstance("home/database");
  dir.writeFile("home/database/kestrond.lck", std::to_string(test::deadPid()) + "\n");
  dir.makeInstance("home/demo");
  launch();
  startFirst("Start Instance 'demo'");
  ASSERT_TRUE(closedUntil([&] { return mark() == StatusMark::Running; }));
  // Held stopped, the server cannot end before the mark is read: its
  // SIGTERM stays pending until it goes on.
  pid_t demo = pidOf("Stop Instance 'demo'");
  ASSERT_TRUE(test::suspendChild(demo));
  desktop.openMenu();
  desktop.answerYes();
  ASSERT_TRUE(desktop.choose("Stop Instance 'demo'"));
  EXPECT_EQ(mark(), StatusMark::Changing);
  ASSERT_EQ(kill(demo, SIGCONT), 0);
  ASSERT_TRUE(closedUntil([&] { return mark() == StatusMark::None; }));

  startFirst("Start Instance 'demo'");
  ASSERT_TRUE(closedUntil([&] { return mark() == StatusMark::Running; }));
  pid_t server = pidOf("Stop Instance 'demo'");
  desktop.script = {[&] { desktop.openMenu(); }, [&] { desktop.choose("Quit Kestrond Monitor"); }};
  desktop.runEventLoop([] {});
  EXPECT_TRUE(desktop.notifications.empty());
  kill(server, SIGTERM);
}

// Forty servers ending together make one notification, not forty: one
// posted and replaced as more endings come, the names in its body, every
// ending logged.
TEST_F(ServerNoticesTest, EndingsTogetherAreToldAsOne) {
  std::vector<std::unique_ptr<test::SleepingProcess>> servers;
  for (int i = 0; i < 40; ++i) {
    std::string name = "home/server" + std::to_string(i);
    dir.makeInstance(name);
    servers.push_back(std::make_unique<test::SleepingProcess>());
    dir.writeFile(name + "/kestrond.lck", std::to_string(servers.back()->pid()) + "\n");
  }
  launch();
  ASSERT_EQ(mark(), StatusMark::Running);
  for (auto& server : servers) server->end();
  ASSERT_TRUE(closedUntil([&] { return mark() == StatusMark::None; }));
  ASSERT_FALSE(desktop.notifications.empty());
  std::set<std::string> subjects;
  for (const Notification& shown : desktop.notifications) subjects.insert(shown.subject);
  EXPECT_EQ(subjects.size(), 1u);
  const Notification last = desktop.notifications.back();  // a copy: more are posted below
  EXPECT_EQ(last.summary, "40 servers stopped unexpectedly");
  EXPECT_NE(last.body.find("Instance 'server0'"), std::string::npos) << last.body;
  EXPECT_NE(last.body.find("Instance 'server39'"), std::string::npos) << last.body;
  EXPECT_EQ(last.actionTitle, "");  // which log would it be?
  EXPECT_EQ(std::count_if(log.lines().begin(), log.lines().end(),
                          [](const std::string& line) {
                            return line.find("stopped unexpectedly: The server ended") !=
                                   std::string::npos;
                          }),
            40);

  // Endings more than two seconds apart are told on their own again.
  desktop.advance(std::chrono::seconds(3));
  dir.makeInstance("home/alone");
  test::SleepingProcess alone;
  dir.writeFile("home/alone/kestrond.lck", std::to_string(alone.pid()) + "\n");
  ASSERT_TRUE(closedUntil([&] { return mark() == StatusMark::Running; }));
  size_t before = desktop.notifications.size();
  alone.end();
  ASSERT_TRUE(closedUntil([&] { return desktop.notifications.size() > before; }));
  EXPECT_EQ(desktop.notifications.back().summary, "Instance 'alone' stopped unexpectedly");
  EXPECT_NE(desktop.notifications.back().subject, last.subject);
}

// A notice naming several servers counts against each one's limit, and a
// later one that names fewer never takes its place on screen.
TEST_F(ServerNoticesTest, EndingsToldTogetherCountAndStayShown) {
  auto runIn = [&](const std::string& name) {
    auto server = std::make_unique<test::SleepingProcess>();
    dir.writeFile("home/" + name + "/kestrond.lck", std::to_string(server->pid()) + "\n");
    return server;
  };
  dir.makeInstance("home/alpha");
  dir.makeInstance("home/bravo");
  auto alpha = runIn("alpha");
  auto bravo = runIn("bravo");
  launch();
  alpha->end();
  bravo->end();
  ASSERT_TRUE(closedUntil([&] { return mark() == StatusMark::None; }));
  ASSERT_FALSE(desktop.notifications.empty());
  const Notification both = desktop.notifications.back();
  EXPECT_EQ(both.summary, "2 servers stopped unexpectedly");

  auto endsAgain = [&] {
    auto again = runIn("alpha");
    ASSERT_TRUE(closedUntil([&] { return mark() == StatusMark::Running; }));
    again->end();
    ASSERT_TRUE(closedUntil([&] { return mark() == StatusMark::None; }));
  };
  size_t shown = desktop.notifications.size();
  desktop.advance(kEndingsTogether + std::chrono::milliseconds(800));
  endsAgain();  // named within the minute: logged only
  EXPECT_EQ(desktop.notifications.size(), shown);
  desktop.advance(kNotificationInterval);
  endsAgain();
  ASSERT_EQ(desktop.notifications.size(), shown + 1);
  EXPECT_EQ(desktop.notifications.back().summary, "Instance 'alpha' stopped unexpectedly");
  EXPECT_NE(desktop.notifications.back().subject, both.subject);
}

// The launched process ends before the server runs, and the deadline passes
// while another instance's question is up: the start is judged after the
// answer, on the record as it is then.
TEST_F(ServerNoticesTest, StartIsJudgedAfterTheQuestionOnAFreshRead) {
  test::ServerHold hold(dir);
  std::string database = dir.makeInstance("home/database", hold.settings());
  dir.makeInstance("home/demo");
  std::string wrapper =
      dir.writeFile("home/database/kestrond",
                    "#!/bin/sh\n(exec " + test::standinServerPath() + " -f) >/dev/null 2>&1 &\n");
  ASSERT_EQ(chmod(wrapper.c_str(), 0755), 0);
  launch();
  startFirst("Start Default Instance");
  ASSERT_TRUE(closedUntil([&] { return mark() == StatusMark::None; }));
  desktop.answers.push_back([&](const Question&) {
    desktop.advance(2 * kStartGrace);
    hold.release();
    EXPECT_TRUE(test::waitFor([&] { return std::filesystem::exists(database + "/kestrond.lck"); }));
    return false;
  });
  ASSERT_TRUE(desktop.choose("Start Instance 'demo'"));
  desktop.advance(kAfterQuestion);
  EXPECT_TRUE(desktop.notifications.empty()) << desktop.notifications[0].summary;
  EXPECT_EQ(mark(), StatusMark::Running);
}

// A server started through a wrapper that puts it in the background and
// ends: the launched process ends before the server runs, and the server
// shows up a moment later. Not a failed start.
TEST_F(ServerNoticesTest, WrapperThatBackgroundsTheServerIsNoFailedStart) {
  std::string database = dir.makeInstance("home/database");
  std::string wrapper = dir.writeFile(
      "home/database/kestrond",
      "#!/bin/sh\n(sleep 0.3; exec " + test::standinServerPath() + " -f) >/dev/null 2>&1 &\n");
  ASSERT_EQ(chmod(wrapper.c_str(), 0755), 0);
  launch();
  startFirst("Start Default Instance");
  ASSERT_TRUE(closedUntil([&] { return mark() == StatusMark::Running; }));
  desktop.advance(std::chrono::seconds(10));
  settle();
  EXPECT_TRUE(desktop.notifications.empty())
      << desktop.notifications[0].summary << ": " << desktop.notifications[0].body;
  EXPECT_EQ(mark(), StatusMark::Running);
}

}  // namespace
}  // namespace kestrond
