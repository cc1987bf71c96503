#include "AutostartEntries.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>

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
  AutostartEntries list() { return AutostartEntries(autostart, executable, log); }
  AutostartEntries list(LogSink& to) { return AutostartEntries(autostart, executable, to); }
  // Makes the program a real executable, alone on PATH.
  void installExecutable() {
    dir.writeFile("Monitor/Contents/bin/kestrond-monitor", "#!/bin/sh\n");
    ASSERT_EQ(chmod(executable.c_str(), 0755), 0);
    environment.set("PATH", dir.path() + "/Monitor/Contents/bin");
  }
  std::vector<std::string> entries() {
    auto names = listDirectory(autostart);
    return names.ok() ? names.value() : std::vector<std::string>{};
  }

  test::TempDir dir;
  test::LogCapture log;
  test::ScopedEnvironment environment;
  std::string autostart;
  std::string executable;
  std::string bundleUrl;
};

TEST_F(AutostartTest, EnableWritesOneValidEntryAndDisableRemovesIt) {
  AutostartEntries items = list();
  EXPECT_FALSE(items.isEnabled());  // the directory does not exist yet
  ASSERT_FALSE(items.setEnabled(true).failed());
  ASSERT_EQ(entries(), std::vector<std::string>{"kestrond-monitor.desktop"});
  std::string entry = autostart + "/kestrond-monitor.desktop";
  EXPECT_EQ(items.resolveEntry(entry), bundleUrl);
  EXPECT_TRUE(items.isEnabled());
  ASSERT_FALSE(items.setEnabled(true).failed());  // already on: nothing added
  EXPECT_EQ(entries().size(), 1u);

  std::string command = "desktop-file-validate '" + entry + "' 2>&1";
  FILE* validator = popen(command.c_str(), "r");
  ASSERT_TRUE(validator);
  char buffer[512];
  std::string output;
  while (fgets(buffer, sizeof buffer, validator)) output += buffer;
  int status = pclose(validator);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  EXPECT_EQ(output, "");

  EXPECT_FALSE(items.setEnabled(false).failed());
  EXPECT_TRUE(entries().empty());
  EXPECT_FALSE(items.isEnabled());
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
      {"found along PATH, as in a copied launcher", "[Desktop Entry]\nExec=kestrond-monitor\n",
       bundleUrl},
      {"not found along PATH", "[Desktop Entry]\nExec=kestrond-monitor-x\n", std::nullopt},
      {"relative with a directory", "[Desktop Entry]\nExec=bin/kestrond-monitor\n", std::nullopt},
      {"TryExec found", "[Desktop Entry]\nTryExec=kestrond-monitor\nExec=" + executable + "\n",
       bundleUrl},
      {"TryExec missing", "[Desktop Entry]\nTryExec=/nonexistent/k\nExec=" + executable + "\n",
       std::nullopt},
      {"no Exec", "[Desktop Entry]\nName=x\n", std::nullopt},
      {"unbalanced quote", "[Desktop Entry]\nExec=\"/opt/x\n", std::nullopt},
      {"not a key file", "garbage\x01\n", std::nullopt},
      {"single-quoted path with spaces",
       "[Desktop Entry]\nExec='/opt/My Tools/bin/kestrond-monitor'\n", "file:///opt/My%20Tools/"},
      {"percent in path", "[Desktop Entry]\nExec=/opt/100%%/bin/kestrond-monitor\n",
       "file:///opt/100%25/"},
  };
  installExecutable();
  for (const Case& c : cases) EXPECT_EQ(resolveDesktopEntry(c.text, mine), c.url) << c.name;
}

TEST_F(AutostartTest, CopiedLauncherAndEarlierEntriesAreOurs) {
  installExecutable();
  struct Case {
    const char* name;
    std::string text;
  } cases[] = {
      // What startup-application tools copy from the installed launcher.
      {"copied.desktop",
       "[Desktop Entry]\nType=Application\nName=Kestrond Monitor\nExec=kestrond-monitor\n"
       "Icon=kestrond-monitor\nTerminal=false\n"},
      // Written by an earlier version, with the start-up phase key.
      {"kestrond-monitor.desktop",
       "[Desktop Entry]\nType=Application\nName=Kestrond Monitor\nExec=" + executable +
           "\nTerminal=false\nX-GNOME-Autostart-Phase=Applications\n"
           "X-GNOME-Autostart-enabled=true\nX-KDE-autostart-after=panel\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string entry = dir.writeFile(std::string("config/autostart/") + c.name, c.text);
    AutostartEntries items = list();
    EXPECT_TRUE(items.isEnabled());
    ASSERT_FALSE(items.setEnabled(true).failed());  // already on: nothing added
    EXPECT_EQ(entries(), std::vector<std::string>{c.name});
    ASSERT_FALSE(items.setEnabled(false).failed());
    EXPECT_TRUE(entries().empty());
  }
}

TEST_F(AutostartTest, TurningItOffRemovesEveryEntryThatStartsUs) {
  installExecutable();
  dir.writeFile("config/autostart/copied.desktop", "[Desktop Entry]\nExec=kestrond-monitor\n");
  dir.writeFile("config/autostart/kestrond-monitor.desktop",
                "[Desktop Entry]\nExec=" + executable + "\n");
  dir.writeFile("config/autostart/other.desktop", "[Desktop Entry]\nExec=/usr/bin/other\n");
  AutostartEntries items = list();
  ASSERT_TRUE(items.isEnabled());
  // One left behind would start the monitor at the next login all the same.
  ASSERT_FALSE(items.setEnabled(false).failed());
  EXPECT_FALSE(items.isEnabled());
  EXPECT_EQ(entries(), std::vector<std::string>{"other.desktop"});
}

TEST_F(AutostartTest, SystemdGeneratorMakesAUnitOfOurEntry) {
  const char* generator = "/usr/lib/systemd/user-generators/systemd-xdg-autostart-generator";
  ASSERT_EQ(access(generator, X_OK), 0) << "systemd's generator is part of the test setup";
  installExecutable();
  ASSERT_FALSE(list().setEnabled(true).failed());
  std::string out = dir.makeDir("units");
  environment.set("XDG_CONFIG_HOME", dir.path() + "/config");
  environment.set("XDG_CONFIG_DIRS", dir.makeDir("no-system-entries"));
  std::string command = std::string(generator) + " " + out + " " + out + " " + out + " 2>&1";
  FILE* run = popen(command.c_str(), "r");
  ASSERT_TRUE(run);
  char buffer[512];
  std::string output;
  while (fgets(buffer, sizeof buffer, run)) output += buffer;
  pclose(run);
  std::string unit = test::readFile(out + "/app-kestrond\\x2dmonitor@autostart.service");
  ASSERT_NE(unit, "") << output;
  EXPECT_NE(unit.find("\nExecStart=:" + executable + "\n"), std::string::npos) << unit;
}

TEST_F(AutostartTest, RefusedNoReplaceRenameFallsBackToALink) {
  struct FaultyFiles : EntryFileSystem {
    int renameError = 0;
    std::vector<std::string> calls;
    Error renameNoReplace(const std::string& from, const std::string& to) override {
      calls.push_back("rename " + lastPathComponent(to));
      return renameError != 0 ? Error(renameError) : EntryFileSystem::renameNoReplace(from, to);
    }
    Error link(const std::string& from, const std::string& to) override {
      calls.push_back("link " + lastPathComponent(to));
      return EntryFileSystem::link(from, to);
    }
    Error syncDirectory(const std::string& directory) override {
      calls.push_back("sync " + lastPathComponent(directory));
      return EntryFileSystem::syncDirectory(directory);
    }
  };
  // The first name is taken by a file of another program each time.
  struct Case {
    int renameError;
    std::vector<std::string> calls;
  } cases[] = {
      {0,
       {"rename kestrond-monitor.desktop", "rename kestrond-monitor-2.desktop", "sync autostart"}},
      // Refused on the first name, so linking from then on.
      {EINVAL,
       {"rename kestrond-monitor.desktop", "link kestrond-monitor.desktop",
        "link kestrond-monitor-2.desktop", "sync autostart"}},
      {ENOSYS,
       {"rename kestrond-monitor.desktop", "link kestrond-monitor.desktop",
        "link kestrond-monitor-2.desktop", "sync autostart"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.renameError);
    dir.writeFile("config/autostart/kestrond-monitor.desktop", "[Desktop Entry]\nExec=/opt/x\n");
    FaultyFiles files;
    files.renameError = c.renameError;
    AutostartEntries items(autostart, executable, log, files);
    ASSERT_FALSE(items.setEnabled(true).failed());
    EXPECT_EQ(files.calls, c.calls);
    EXPECT_EQ(entries(),
              (std::vector<std::string>{"kestrond-monitor-2.desktop", "kestrond-monitor.desktop"}));
    EXPECT_EQ(items.resolveEntry(autostart + "/kestrond-monitor-2.desktop"), bundleUrl);
    EXPECT_TRUE(log.lines().empty());
    unlink((autostart + "/kestrond-monitor-2.desktop").c_str());
  }
}

TEST_F(AutostartTest, PathThatIsNotUtf8WritesNoEntry) {
  executable = dir.path() + "/Mon\xe9itor/Contents/bin/kestrond-monitor";
  bundleUrl = fileURLWithPath(dir.path() + "/Mon\xe9itor");
  AutostartEntries items = list();
  EXPECT_TRUE(items.setEnabled(true).failed());
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].rfind("Cannot start at login: the program's path ", 0), 0u);
  EXPECT_TRUE(entries().empty());
  // Both halves of the toggle: off stays off, and turning it off again
  // touches nothing.
  EXPECT_FALSE(items.isEnabled());
  EXPECT_FALSE(items.setEnabled(false).failed());
  EXPECT_TRUE(entries().empty());
}

TEST_F(AutostartTest, NeverOverwritesAFileItDidNotWrite) {
  std::string foreign = "[Desktop Entry]\nType=Application\nName=Foreign\nExec=/opt/foreign\n";
  dir.writeFile("config/autostart/kestrond-monitor.desktop", foreign);
  dir.writeFile("config/autostart/other.desktop", "[Desktop Entry]\nExec=/usr/bin/x %U\n");
  dir.writeFile("config/autostart/notes.txt", "not an entry");
  AutostartEntries items = list();
  EXPECT_FALSE(items.isEnabled());
  ASSERT_FALSE(items.setEnabled(true).failed());
  EXPECT_EQ(test::readFile(autostart + "/kestrond-monitor.desktop"), foreign);
  EXPECT_EQ(items.resolveEntry(autostart + "/kestrond-monitor-2.desktop"), bundleUrl);
  // No temporary file is left behind.
  EXPECT_EQ(entries(),
            (std::vector<std::string>{"kestrond-monitor-2.desktop", "kestrond-monitor.desktop",
                                      "notes.txt", "other.desktop"}));
  // Turning it off removes ours only.
  ASSERT_FALSE(items.setEnabled(false).failed());
  EXPECT_EQ(entries(),
            (std::vector<std::string>{"kestrond-monitor.desktop", "notes.txt", "other.desktop"}));
}

TEST_F(AutostartTest, EntryNamedLikeAFifoNeverBlocks) {
  dir.makeDir("config/autostart");
  mkfifo((autostart + "/fifo.desktop").c_str(), 0644);
  AutostartEntries items = list();
  EXPECT_FALSE(items.resolveEntry(autostart + "/fifo.desktop"));
  EXPECT_FALSE(items.isEnabled());
}

TEST_F(AutostartTest, UnwritableOrFileDirectoryFailsWithALine) {
  dir.writeFile("config", "a plain file");
  AutostartEntries items = list();
  EXPECT_TRUE(items.setEnabled(true).failed());
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].rfind("Cannot create the autostart directory ", 0), 0u);
}

TEST_F(AutostartTest, MalformedEntryOfOursIsLeftAlone) {
  std::string malformed = "[Desktop Entry\nExec=" + executable + "\n";
  dir.writeFile("config/autostart/kestrond-monitor.desktop", malformed);
  AutostartEntries items = list();
  // Never matches, never removed.
  EXPECT_FALSE(items.resolveEntry(autostart + "/kestrond-monitor.desktop"));
  ASSERT_FALSE(items.setEnabled(true).failed());
  EXPECT_EQ(test::readFile(autostart + "/kestrond-monitor.desktop"), malformed);
  EXPECT_EQ(items.resolveEntry(autostart + "/kestrond-monitor-2.desktop"), bundleUrl);
  ASSERT_FALSE(items.setEnabled(false).failed());
  EXPECT_EQ(test::readFile(autostart + "/kestrond-monitor.desktop"), malformed);
}

TEST_F(AutostartTest, WriteFailingHalfWayLeavesNoFile) {
  dir.makeDir("config/autostart");
  std::optional<int> status = test::runInChild([&] {
    // Files may grow to 40 bytes only: the entry cannot be written whole.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{40, 40};
    setrlimit(RLIMIT_FSIZE, &limit);
    test::LogCapture inner;
    bool inserted = !list(inner).setEnabled(true).failed();
    return !inserted && inner.lines().size() == 1 ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(entries().empty());
}

TEST_F(AutostartTest, UnwritableDirectoryFailsAsAnotherUser) {
  if (!test::canDropPrivileges()) GTEST_SKIP() << "root may write anywhere";
  dir.makeDir("config/autostart");  // root's, 0755
  auto status = test::runAsUnprivileged([&] {
    test::LogCapture inner;
    bool inserted = !list(inner).setEnabled(true).failed();
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
  EXPECT_EQ(AutostartEntries::userAutostartDirectory(), "/x/config/autostart");
  environment.set("XDG_CONFIG_HOME", "relative/config");  // ignored
  EXPECT_EQ(AutostartEntries::userAutostartDirectory(), "/home/u/.config/autostart");
  environment.unset("XDG_CONFIG_HOME");
  EXPECT_EQ(AutostartEntries::userAutostartDirectory(), "/home/u/.config/autostart");
  environment.unset("HOME");  // falls back to the password database
  auto fallback = AutostartEntries::userAutostartDirectory();
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
