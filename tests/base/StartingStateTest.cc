// What the monitor starts detached (a browser, a log viewer) gets the
// environment and the open-files limit the monitor was started with, in a
// session of its own; what cannot be started is an Error.
#include "StartingState.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "TestSupport.h"

namespace kestrond {
namespace {

TEST(StartingState, SpawnedProgramGetsWhatTheMonitorWasStartedWith) {
  test::TempDir dir;
  test::ScopedEnvironment environment;
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = std::min<rlim_t>(saved.rlim_max / 2, 512);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  environment.set("KESTROND_PROBE", "at start");
  StartingState starting;
  environment.set("KESTROND_PROBE", "exported later");
  Error raised = starting.raiseFileLimit();

  std::string report = dir.path() + "/report";
  std::string probe =
      dir.writeFile("probe",
                    "#!/bin/sh\nprintf '%s|%s|%s\\n' \"$KESTROND_PROBE\" \"$(ulimit -n)\" "
                    "\"$(cut -d' ' -f6 /proc/$$/stat)\" > \"$1.tmp\" && mv \"$1.tmp\" \"$1\"\n");
  ASSERT_EQ(chmod(probe.c_str(), 0755), 0);
  Error spawned = starting.spawnDetached({probe, report});
  setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_FALSE(raised.failed());
  ASSERT_FALSE(spawned.failed()) << spawned.text();
  ASSERT_TRUE(test::waitFor([&] { return std::filesystem::exists(report); }));
  std::string expected = "at start|" + std::to_string(lowered.rlim_cur) + "|";
  std::string seen = test::readFile(report);
  EXPECT_EQ(seen.substr(0, expected.size()), expected) << seen;
  EXPECT_NE(std::stol(seen.substr(expected.size())), static_cast<long>(getsid(0))) << seen;

  std::string plain = dir.writeFile("not-executable", "#!/bin/sh\n");
  struct Case {
    std::string program;
    int code;
  };
  for (const Case& c : {Case{dir.path() + "/missing", ENOENT}, Case{plain, EACCES}}) {
    Error error = starting.spawnDetached({c.program});
    EXPECT_TRUE(error.failed()) << c.program;
    EXPECT_EQ(error.code(), c.code) << c.program;
    EXPECT_EQ(error.context(), "Cannot start " + c.program);
  }
}

}  // namespace
}  // namespace kestrond
