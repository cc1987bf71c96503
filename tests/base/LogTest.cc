// The system log sink, writing to a real standard error: a line on standard
// error with a time stamp, the identifier and the pid, except where standard
// error is the journal's stream, which gets the system-log copy alone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Log.h"
#include "TestSupport.h"

namespace kestrond {
namespace {

class DefaultLogSinkTest : public ::testing::Test {
 protected:
  // What the system log sink writes to standard error for `line`, with
  // standard error on a fresh file and JOURNAL_STREAM set by `stream` from
  // that file's device and inode.
  std::string standardErrorFor(const std::function<std::string(const struct stat&)>& stream,
                               const std::string& line = "a line for the log") {
    std::string file = dir.path() + "/stderr" + std::to_string(++files);
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    struct stat info {};
    fstat(fd, &info);
    std::string value = stream(info);
    if (value.empty()) {
      environment.unset("JOURNAL_STREAM");
    } else {
      environment.set("JOURNAL_STREAM", value);
    }
    std::fflush(stderr);
    int saved = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
    systemLog().write(line);
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    return test::readFile(file);
  }

  test::TempDir dir;
  test::ScopedEnvironment environment;
  int files = 0;
};

std::string id(const struct stat& info, unsigned long long inodeOffset = 0) {
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino + inodeOffset);
}

TEST_F(DefaultLogSinkTest, EachLineReachesTheJournalOnce) {
  struct Case {
    const char* what;
    std::function<std::string(const struct stat&)> stream;
    bool onStandardError;
  } cases[] = {
      {"no journal", [](const struct stat&) { return std::string(); }, true},
      {"standard error is the journal's stream", [](const struct stat& s) { return id(s); }, false},
      {"the journal's stream is another file", [](const struct stat& s) { return id(s, 1); }, true},
      {"JOURNAL_STREAM malformed", [](const struct stat&) { return std::string("8:x"); }, true},
      {"JOURNAL_STREAM with trailing text", [](const struct stat& s) { return id(s) + "x"; }, true},
  };
  std::string expected = "kestrond-monitor[" + std::to_string(getpid()) + "]: a line for the log\n";
  for (const Case& c : cases) {
    std::string written = standardErrorFor(c.stream);
    if (c.onStandardError) {
      ASSERT_GE(written.size(), expected.size()) << c.what;
      EXPECT_EQ(written.substr(written.size() - expected.size()), expected) << c.what;
    } else {
      EXPECT_EQ(written, "") << c.what;
    }
  }
}

TEST_F(DefaultLogSinkTest, ALineIsDataNeverAFormat) {
  // A directory may be named like printf directives; "%n" would write
  // through a pointer that was never passed.
  std::string line = "Watching directory: /home/u/%n%s%d%x %%";
  std::string written = standardErrorFor([](const struct stat&) { return std::string(); }, line);
  std::string expected = "kestrond-monitor[" + std::to_string(getpid()) + "]: " + line + "\n";
  ASSERT_GE(written.size(), expected.size());
  EXPECT_EQ(written.substr(written.size() - expected.size()), expected);
}

}  // namespace
}  // namespace kestrond
