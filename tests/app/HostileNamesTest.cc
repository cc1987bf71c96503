// Instance directories with names that a format, a shell or a menu could
// misread: they show, start, stop and log as themselves. Bytes that are not
// UTF-8 show as their values, so that two such names are told apart.
#include <gtest/gtest.h>

#include <filesystem>

#include "MonitorFixture.h"

namespace kestrond {
namespace {

class HostileNamesTest : public test::MonitorFixture {};

TEST_F(HostileNamesTest, ShowStartStopAndLogAsText) {
  struct Name {
    std::string name;
    std::string shown = "";  // where it differs
  };
  const Name names[] = {
      {"with space"},
      {"a&b"},
      {"%@"},
      {"%d"},
      {"100%%"},
      {"line\nfeed"},
      {"\xFF\xFEnot-utf8", "\\xFF\\xFEnot-utf8"},
      {"caf\xE9", "caf\\xE9"},
      {"caf\xE8", "caf\\xE8"},
      {"$(reboot)"},
      {"<i>html<\\i>"},
      {std::string(255, 'n')},
  };
  for (const auto& [name, differs] : names) {
    SCOPED_TRACE(name);
    const std::string shown = differs.empty() ? name : differs;
    std::string path = dir.makeInstance("home/" + name);
    log.clear();
    if (!app) launch();  // the launch fills the menu already
    desktop.openMenu();
    std::string start = "Start Instance '" + shown + "'";
    std::string stop = "Stop Instance '" + shown + "'";
    ASSERT_TRUE(hasTitle(start));
    ASSERT_FALSE(log.lines().empty());
    EXPECT_EQ(log.lines().front(), "Watching directory: " + path);

    desktop.answerYes();
    ASSERT_TRUE(desktop.choose(start));
    EXPECT_EQ(desktop.questions.back().message,
              "Do you want to start the Instance '" + shown + "'?");
    EXPECT_EQ(desktop.questions.back().informative,
              "This will start up a Kestrond instance in directory\n" + home + "/" + shown + ".");
    desktop.openMenu();
    ASSERT_TRUE(tickUntil([&] { return hasTitle(stop); }));
    desktop.answerYes();
    ASSERT_TRUE(desktop.choose(stop));
    desktop.openMenu();
    ASSERT_TRUE(tickUntil([&] { return hasTitle(start); }));
    desktop.closeMenu();
    // The server really ran in that directory and wrote its log there.
    EXPECT_NE(test::readFile(path + "/kestrond.log").find("stopped"), std::string::npos);
    std::filesystem::remove_all(path);
  }
}

}  // namespace
}  // namespace kestrond
