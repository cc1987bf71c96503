// A whole monitor on the recording desktop: a temporary installation with
// the stand-in server as its "bin/kestrond", KESTROND_HOME pointing at it,
// the application object launched, and helpers that read the menu.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include "Application.h"
#include "Environment.h"
#include "FakeDesktop.h"
#include "TestSupport.h"

namespace kestrond::test {

class MonitorFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    home = dir.makeDir("home");
    dir.makeDir("home/bin");
    ASSERT_EQ(symlink(standinServerPath().c_str(), (home + "/bin/kestrond").c_str()), 0);
    environment.set("KESTROND_HOME", home);
    environment.unset("KESTROND_BINARY");
    environment.set("PATH", environmentValue("PATH").value_or("/usr/bin:/bin"));
    environment.set("LD_LIBRARY_PATH", environmentValue("LD_LIBRARY_PATH").value_or(""));
    desktop.setBundlePath(dir.path() + "/Monitor");
  }
  void TearDown() override {
    // Servers started by a test end with it.
    if (app) {
      for (const auto& instance : app->manager()->allInstances()) {
        if (instance->pid() > 0 && instance->serverStatus() != ServerStatus::Stopped) {
          kill(instance->pid(), SIGKILL);
        }
      }
    }
  }

  void launch() {
    app = std::make_unique<Application>(desktop, *control, log);
    app->applicationDidFinishLaunching();
  }

  struct Row {
    std::string title;
    bool enabled;
    bool operator==(const Row&) const = default;
  };
  friend std::ostream& operator<<(std::ostream& out, const Row& row) {
    return out << "{" << row.title << ", " << row.enabled << "}";
  }
  std::vector<Row> rows() {
    std::vector<Row> result;
    for (const MenuRow& row : desktop.rows()) {
      result.push_back(row.separator ? Row{"-", false} : Row{row.title, row.enabled});
    }
    return result;
  }
  std::vector<std::string> titles() {
    std::vector<std::string> result;
    for (const Row& row : rows()) result.push_back(row.title);
    return result;
  }
  // The row titled `title`, or nullptr.
  const MenuRow* item(const std::string& title) {
    for (const MenuRow& row : desktop.rows()) {
      if (!row.separator && row.title == title) return &row;
    }
    return nullptr;
  }
  // The instance the row titled `title` shows, or nullptr.
  std::shared_ptr<KestrondInstance> instanceOf(const std::string& title) {
    const MenuRow* row = item(title);
    return row ? app->statusMenu().representedObject(*row) : nullptr;
  }
  // Ticks the refresh timer until `condition` holds (bounded).
  bool tickUntil(const std::function<bool()>& condition) {
    return waitFor([&] {
      desktop.advance(kMenuRefreshInterval);
      return condition();
    });
  }
  bool hasTitle(const std::string& title) { return item(title) != nullptr; }
  // What the main loop would do: hands every readable watched descriptor
  // to the application until none is left. Returns how many calls it took.
  int settle() {
    int calls = 0;
    while (int called = desktop.dispatchReadableDescriptors()) calls += called;
    return calls;
  }
  // The closed menu as the main loop keeps it, until `condition` holds
  // (bounded): file events and ended servers arrive when they arrive.
  bool closedUntil(const std::function<bool()>& condition) {
    return waitFor([&] {
      settle();
      return condition();
    });
  }

  TempDir dir;
  LogCapture log;
  SystemProcessControl processes{log};
  // What the application is given: `processes`, or one a test sets here
  // (made before the application, gone after it).
  std::unique_ptr<ProcessControl> otherControl;
  ProcessControl* control = &processes;
  ScopedEnvironment environment;
  FakeDesktop desktop{log};
  std::string home;
  std::unique_ptr<Application> app;
};

}  // namespace kestrond::test
