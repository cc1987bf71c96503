#include "LockFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KestrondInstance.h"
#include "TestSupport.h"

namespace kestrond {
namespace {

class LockFileShapes : public ::testing::Test {
 protected:
  void SetUp() override { instanceDir = dir.makeInstance("demo"); }
  std::string lockPath() const { return instanceDir + "/kestrond.lck"; }

  test::TempDir dir;
  test::LogCapture processLog;  // the process control's own lines: none here
  test::RecordingProcessControl control{processLog};
  std::string instanceDir;
};

TEST_F(LockFileShapes, TextGivesItsPidAndLogLine) {
  const std::string malformed = "Malformed .lck file " + instanceDir + "/kestrond.lck";
  struct Case {
    std::string contents;
    pid_t pid;
    std::string line;  // "" for no log line
  } cases[] = {
      {"812\n", 812, ""},
      {"pid=812 99", 812, ""},
      {"-812", 812, ""},
      {"000812", 812, ""},
      {"0", 0, ""},
      {"000", 0, ""},
      {"2147483647", 2147483647, ""},
      {"", 0, malformed},
      {"letters only\n", 0, malformed},
      {"2147483648", 0, malformed},
      {"4294967295", 0, malformed},
      {"4294968108", 0, malformed},  // would wrap to 812 in 32 bits
      {"12345678901234567890", 0, malformed},
  };
  for (const Case& c : cases) {
    dir.writeFile("demo/kestrond.lck", c.contents);
    test::LogCapture log;
    KestrondInstance instance(instanceDir, control, log);
    EXPECT_EQ(instance.pidValueFromLockFile(), c.pid) << c.contents;
    if (c.line.empty()) {
      EXPECT_TRUE(log.lines().empty()) << c.contents;
    } else {
      EXPECT_EQ(log.lines(), std::vector<std::string>{c.line}) << c.contents;
    }
  }
}

TEST_F(LockFileShapes, AbsentOrDirectoryIsNoPidWithoutALine) {
  test::LogCapture log;
  KestrondInstance instance(instanceDir, control, log);
  EXPECT_EQ(instance.pidValueFromLockFile(), 0);
  dir.makeDir("demo/kestrond.lck");
  EXPECT_EQ(instance.pidValueFromLockFile(), 0);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(LockFileShapes, HostileFilesAreReadErrorsAndNeverBlock) {
  struct Case {
    const char* name;
    std::function<void()> make;
    std::string reason;
  } cases[] = {
      {"non-ASCII byte", [&] { dir.writeFile("demo/kestrond.lck", "81\xC3\xA9"); },
       "byte 0xC3 at offset 2 is not 7-bit ASCII"},
      {"FIFO", [&] { mkfifo(lockPath().c_str(), 0644); }, "the file is a FIFO"},
      {"link to /dev/zero", [&] { symlink("/dev/zero", lockPath().c_str()); },
       "the file is a character device"},
      {"1 MiB file", [&] { dir.writeFile("demo/kestrond.lck", std::string(1 << 20, '7')); },
       "the file is larger than 65536 bytes"},
  };
  for (const Case& c : cases) {
    unlink(lockPath().c_str());
    c.make();
    test::LogCapture log;
    KestrondInstance instance(instanceDir, control, log);
    EXPECT_EQ(instance.pidValueFromLockFile(), 0) << c.name;
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"Error reading " + lockPath() + ": " + c.reason})
        << c.name;
  }
}

TEST(ParseLockFileText, StopsAtTheFirstNonDigit) {
  LockFileReading reading = parseLockFileText("  42abc7");
  EXPECT_EQ(reading.outcome, LockFileReading::Outcome::Pid);
  EXPECT_EQ(reading.pid, 42);
}

}  // namespace
}  // namespace kestrond
