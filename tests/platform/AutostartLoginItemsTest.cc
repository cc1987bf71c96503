#include "AutostartLoginItems.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>

#include "Application.h"
#include "BundleLocation.h"
#include "Paths.h"
#include "TestSupport.h"

namespace kestrond {
namespace {

class AutostartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    autostart = dir.path() + "/config/autostart";
    executable = dir.path() + "/Monitor/Contents/bin/kestrond-monitor";
    bundleUrl = fileURLWithPath(dir.path() + "/Monitor");
  }
  AutostartLoginItems list() { return AutostartLoginItems(autostart, executable); }
  std::vector<std::string> entries() {
    auto names = listDirectory(autostart, nullptr);
    return names ? *names : std::vector<std::string>{};
  }

  test::TempDir dir;
  test::LogCapture log;
  std::string autostart;
  std::string executable;
  std::string bundleUrl;
};

TEST_F(AutostartTest, EnableWritesOneValidEntryAndDisableRemovesIt) {
  AutostartLoginItems items = list();
  EXPECT_TRUE(items.copySnapshot().empty());  // the directory does not exist yet
  ASSERT_TRUE(items.insertItemURL(bundleUrl));
  ASSERT_EQ(entries(), std::vector<std::string>{"kestrond-monitor.desktop"});
  std::string entry = autostart + "/kestrond-monitor.desktop";
  EXPECT_EQ(items.resolve({entry}), bundleUrl);

  std::string command = "desktop-file-validate '" + entry + "' 2>&1";
  FILE* validator = popen(command.c_str(), "r");
  ASSERT_TRUE(validator);
  char buffer[512];
  std::string output;
  while (fgets(buffer, sizeof buffer, validator)) output += buffer;
  int status = pclose(validator);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  EXPECT_EQ(output, "");

  EXPECT_EQ(items.removeItem({entry}), 0);
  EXPECT_TRUE(entries().empty());
}

TEST_F(AutostartTest, ResolutionOfEntries) {
  const std::string mine = "kestrond-monitor";
  struct Case {
    const char* name;
    std::string text;
    std::optional<std::string> url;
  } cases[] = {
      {"ours", "[Desktop Entry]\nType=Application\nName=K\nExec=" + executable + "\n", bundleUrl},
      {"ours with arguments and field codes",
       "[Desktop Entry]\nExec=\"" + executable + "\" --flag %u\n", bundleUrl},
      {"ours installed in /usr/bin", "[Desktop Entry]\nExec=/usr/bin/kestrond-monitor\n",
       "file:///usr/"},
      {"another program beside it", "[Desktop Entry]\nExec=/usr/bin/other-tool\n",
       "file:///usr/bin/other-tool"},
      {"hidden", "[Desktop Entry]\nExec=" + executable + "\nHidden=true\n", std::nullopt},
      {"disabled", "[Desktop Entry]\nExec=" + executable + "\nX-GNOME-Autostart-enabled=false\n",
       std::nullopt},
      {"relative program", "[Desktop Entry]\nExec=kestrond-monitor\n", std::nullopt},
      {"no Exec", "[Desktop Entry]\nName=x\n", std::nullopt},
      {"unbalanced quote", "[Desktop Entry]\nExec=\"/opt/x\n", std::nullopt},
      {"not a key file", "garbage\x01\n", std::nullopt},
      {"single-quoted path with spaces",
       "[Desktop Entry]\nExec='/opt/My Tools/bin/kestrond-monitor'\n", "file:///opt/My%20Tools/"},
      {"percent in path", "[Desktop Entry]\nExec=/opt/100%%/bin/kestrond-monitor\n",
       "file:///opt/100%25/"},
  };
  for (const Case& c : cases) EXPECT_EQ(resolveDesktopEntry(c.text, mine), c.url) << c.name;
}

TEST_F(AutostartTest, NeverOverwritesAFileItDidNotWrite) {
  std::string foreign = "[Desktop Entry]\nType=Application\nName=Foreign\nExec=/opt/foreign\n";
  dir.writeFile("config/autostart/kestrond-monitor.desktop", foreign);
  dir.writeFile("config/autostart/other.desktop", "[Desktop Entry]\nExec=/usr/bin/x %U\n");
  dir.writeFile("config/autostart/notes.txt", "not an entry");
  AutostartLoginItems items = list();
  EXPECT_EQ(items.copySnapshot().size(), 2u);
  ASSERT_TRUE(items.insertItemURL(bundleUrl));
  EXPECT_EQ(test::readFile(autostart + "/kestrond-monitor.desktop"), foreign);
  EXPECT_EQ(items.resolve({autostart + "/kestrond-monitor-2.desktop"}), bundleUrl);
  // No temporary file is left behind.
  EXPECT_EQ(entries(), (std::vector<std::string>{"kestrond-monitor-2.desktop",
                                                 "kestrond-monitor.desktop", "notes.txt",
                                                 "other.desktop"}));
  EXPECT_FALSE(items.insertItemURL("file:///somewhere/else/"));
}

TEST_F(AutostartTest, EntryNamedLikeAFifoNeverBlocks) {
  dir.makeDir("config/autostart");
  mkfifo((autostart + "/fifo.desktop").c_str(), 0644);
  AutostartLoginItems items = list();
  ASSERT_EQ(items.copySnapshot().size(), 1u);
  EXPECT_FALSE(items.resolve(items.copySnapshot()[0]));
}

TEST_F(AutostartTest, UnwritableOrFileDirectoryFailsWithALine) {
  dir.writeFile("config", "a plain file");
  AutostartLoginItems items = list();
  EXPECT_FALSE(items.insertItemURL(bundleUrl));
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].rfind("Cannot create the autostart directory ", 0), 0u);
}

TEST_F(AutostartTest, MalformedEntryOfOursIsLeftAlone) {
  std::string malformed = "[Desktop Entry\nExec=" + executable + "\n";
  dir.writeFile("config/autostart/kestrond-monitor.desktop", malformed);
  AutostartLoginItems items = list();
  ASSERT_EQ(items.copySnapshot().size(), 1u);
  EXPECT_FALSE(items.resolve(items.copySnapshot()[0]));  // never matches, never removed
  ASSERT_TRUE(items.insertItemURL(bundleUrl));
  EXPECT_EQ(test::readFile(autostart + "/kestrond-monitor.desktop"), malformed);
  EXPECT_EQ(items.resolve({autostart + "/kestrond-monitor-2.desktop"}), bundleUrl);
}

TEST_F(AutostartTest, WriteFailingHalfWayLeavesNoFile) {
  dir.makeDir("config/autostart");
  pid_t child = fork();
  if (child == 0) {
    // Files may grow to 40 bytes only: the entry cannot be written whole.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{40, 40};
    setrlimit(RLIMIT_FSIZE, &limit);
    test::LogCapture inner;
    bool inserted = list().insertItemURL(bundleUrl);
    _exit(!inserted && inner.lines().size() == 1 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(entries().empty());
}

TEST_F(AutostartTest, UnwritableDirectoryFailsAsAnotherUser) {
  if (!test::canDropPrivileges()) GTEST_SKIP() << "root may write anywhere";
  dir.makeDir("config/autostart");  // root's, 0755
  auto status = test::runAsUnprivileged([&] {
    test::LogCapture inner;
    bool inserted = list().insertItemURL(bundleUrl);
    return !inserted && inner.lines().size() == 1 ? 0 : 1;
  });
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0);
  EXPECT_TRUE(entries().empty());
}

TEST(AutostartDirectory, FollowsTheBaseDirectoryRules) {
  test::ScopedEnvironment environment;
  environment.set("XDG_CONFIG_HOME", "/x/config");
  environment.set("HOME", "/home/u");
  EXPECT_EQ(AutostartLoginItems::userAutostartDirectory(), "/x/config/autostart");
  environment.set("XDG_CONFIG_HOME", "relative/config");  // ignored
  EXPECT_EQ(AutostartLoginItems::userAutostartDirectory(), "/home/u/.config/autostart");
  environment.unset("XDG_CONFIG_HOME");
  EXPECT_EQ(AutostartLoginItems::userAutostartDirectory(), "/home/u/.config/autostart");
  environment.unset("HOME");  // falls back to the password database
  auto fallback = AutostartLoginItems::userAutostartDirectory();
  ASSERT_TRUE(fallback);
  EXPECT_EQ(fallback->front(), '/');
}

TEST(QuoteExecArgument, FollowsTheDesktopEntryRules) {
  struct Case {
    const char* argument;
    const char* quoted;
  } cases[] = {
      {"/usr/bin/kestrond-monitor", "/usr/bin/kestrond-monitor"},
      {"/opt/My Tools/k", "\"/opt/My Tools/k\""},
      {"/opt/a$b`c\"d\\e", "\"/opt/a\\$b\\`c\\\"d\\\\e\""},
      {"/opt/100%/k", "/opt/100%%/k"},
      {"/opt/it's", "\"/opt/it's\""},
  };
  for (const Case& c : cases) EXPECT_EQ(quoteExecArgument(c.argument), c.quoted) << c.argument;
  // What is quoted parses back to the path.
  for (const Case& c : cases) {
    std::string entry = std::string("[Desktop Entry]\nExec=") + c.quoted + "\n";
    // GKeyFile string escapes: a backslash is written doubled.
    std::string escaped;
    for (char ch : entry) escaped += ch == '\\' ? std::string("\\\\") : std::string(1, ch);
    std::string name = lastPathComponent(c.argument);
    EXPECT_EQ(resolveDesktopEntry(escaped, name),
              fileURLWithPath(bundlePathForExecutable(c.argument)))
        << c.argument;
  }
}

}  // namespace
}  // namespace kestrond
