#include "KestrondManager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "TestSupport.h"

namespace kestrond {
namespace {

class ManagerTest : public ::testing::Test {
 protected:
  std::vector<std::string> directories() {
    std::vector<std::string> result;
    for (const auto& instance : manager.allInstances()) result.push_back(instance->directory());
    return result;
  }
  std::string watching(const std::string& path) { return "Watching directory: " + path; }

  test::TempDir dir;
  test::LogCapture log;
  SystemProcessControl processes{log};
  KestrondManager manager{processes, log};
};

TEST_F(ManagerTest, NoSearchPathsGiveNothing) {
  EXPECT_TRUE(manager.allInstances().empty());
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(ManagerTest, FindsInstancesUnderAndAtTheSearchPath) {
  std::string home = dir.makeInstance("home");  // the search path is an instance itself
  std::string database = dir.makeInstance("home/database");
  std::string demo = dir.makeInstance("home/demo");
  dir.makeDir("home/no-ini");
  dir.makeDir("home/ini-is-dir/kestrond.ini");
  dir.writeFile("home/plain-file", "");
  manager.addSearchPath(home);

  EXPECT_EQ(directories(), (std::vector<std::string>{home, database, demo}));
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{watching(home), watching(database), watching(demo)}));

  // A second scan returns the same objects and logs nothing.
  auto first = manager.allInstances();
  log.clear();
  auto second = manager.allInstances();
  ASSERT_EQ(first.size(), second.size());
  for (size_t i = 0; i < first.size(); ++i) EXPECT_EQ(first[i].get(), second[i].get());
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(ManagerTest, DirectoryBecomesAnInstanceOnceItsIniAppears) {
  std::string home = dir.makeDir("home");
  dir.makeDir("home/later");
  manager.addSearchPath(home);
  EXPECT_TRUE(directories().empty());
  EXPECT_TRUE(directories().empty());
  EXPECT_TRUE(log.lines().empty());
  dir.writeFile("home/later/kestrond.ini", "");
  EXPECT_EQ(directories(), std::vector<std::string>{home + "/later"});
  directories();
  EXPECT_EQ(log.lines(), std::vector<std::string>{watching(home + "/later")});
}

TEST_F(ManagerTest, InstanceTurningInvalidIsDroppedFromThatSameResult) {
  std::string home = dir.makeDir("home");
  std::string demo = dir.makeInstance("home/demo");
  manager.addSearchPath(home);
  auto kept = manager.allInstances();
  ASSERT_EQ(kept.size(), 1u);
  std::filesystem::remove_all(demo);
  EXPECT_TRUE(manager.allInstances().empty());
  EXPECT_EQ(log.lines().back(), "No longer watching directory: " + demo);
  // The dropped record lives on with its holder and touches nothing.
  EXPECT_EQ(kept[0]->directory(), demo);

  dir.makeInstance("home/demo");  // back again: a new record
  auto again = manager.allInstances();
  ASSERT_EQ(again.size(), 1u);
  EXPECT_NE(again[0].get(), kept[0].get());
  EXPECT_EQ(log.lines().back(), watching(demo));

  // Only its configuration going and coming back: the listing stays the
  // same, and the instance is still dropped and found again.
  dir.makeDir("home/other");
  ASSERT_EQ(manager.allInstances().size(), 1u);
  ASSERT_EQ(unlink((demo + "/kestrond.ini").c_str()), 0);
  EXPECT_TRUE(manager.allInstances().empty());
  dir.writeFile("home/demo/kestrond.ini", "");
  EXPECT_EQ(manager.allInstances().size(), 1u);
}

TEST_F(ManagerTest, SymlinkedSearchPathsAndEntries) {
  std::string real = dir.makeDir("real");
  std::string database = dir.makeInstance("real/database");
  symlink(real.c_str(), (dir.path() + "/via-link").c_str());
  symlink(database.c_str(), (real + "/alias").c_str());
  symlink((dir.path() + "/loop").c_str(), (dir.path() + "/loop").c_str());
  symlink((real + "/self-loop").c_str(), (real + "/self-loop").c_str());

  manager.addSearchPath(dir.path() + "/via-link/");
  manager.addSearchPath(dir.path() + "/loop");         // never a directory: not added
  manager.addSearchPath(dir.writeFile("a-file", ""));  // nor is a file
  EXPECT_EQ(manager.searchPaths(), std::vector<std::string>{real});

  // The entry that is a link is keyed by the link's path, unresolved.
  EXPECT_EQ(directories(), (std::vector<std::string>{real + "/alias", database}));
  EXPECT_EQ(manager.allInstances()[0]->displayName(), "alias");
}

TEST_F(ManagerTest, SearchPathAddedTwiceYieldsNoDuplicate) {
  std::string home = dir.makeDir("home");
  std::string demo = dir.makeInstance("home/demo");
  manager.addSearchPath(home);
  manager.addSearchPath(home);
  EXPECT_EQ(manager.searchPaths().size(), 2u);
  EXPECT_EQ(directories(), std::vector<std::string>{demo});
  EXPECT_EQ(log.lines(), std::vector<std::string>{watching(demo)});
}

TEST_F(ManagerTest, UnlistableSearchPathsAreDroppedAndTheRestScanned) {
  std::string gone = dir.makeDir("gone");
  std::string file = dir.makeDir("becomes-file");
  std::string third = dir.makeDir("third");
  std::string demo = dir.makeInstance("third/demo");
  std::string known = dir.makeInstance("gone/known");
  manager.addSearchPath(gone);
  manager.addSearchPath(file);
  manager.addSearchPath(third);
  EXPECT_EQ(directories(), (std::vector<std::string>{known, demo}));
  log.clear();

  // "gone" loses its listing permission (known stays valid), "becomes-file" becomes a file.
  std::filesystem::remove(file);
  dir.writeFile("becomes-file", "");
  bool asRoot = geteuid() == 0;
  if (asRoot) {
    std::filesystem::remove_all(gone);  // root lists anything: remove it instead
  } else {
    chmod(gone.c_str(), 0300);
  }
  dir.makeInstance("third/new");

  auto result = directories();
  EXPECT_EQ(log.lines()[0], "Invalid directory " + gone + ": " +
                                (asRoot ? "No such file or directory" : "Permission denied"));
  EXPECT_EQ(log.lines()[1], "Invalid directory " + file + ": Not a directory");
  EXPECT_EQ(log.lines()[2], watching(third + "/new"));
  EXPECT_EQ(manager.searchPaths(), std::vector<std::string>{third});
  if (!asRoot) {
    // Known instances under a dropped search path go on being refreshed.
    EXPECT_EQ(result, (std::vector<std::string>{known, demo, third + "/new"}));
  }

  log.clear();
  directories();  // dropped for good: never logged again
  for (const std::string& line : log.lines())
    EXPECT_EQ(line.find("Invalid directory"), std::string::npos);
}

// Between an installation renamed away and a copy renamed in, the scan that
// keeps a closed menu current keeps the search path; an opening drops it.
TEST_F(ManagerTest, ScanWhileClosedKeepsASearchPathThatIsAway) {
  std::string home = dir.makeDir("home");
  std::string database = dir.makeInstance("home/database");
  dir.makeDir("home/not-yet");
  manager.addSearchPath(home);
  EXPECT_EQ(manager.currentInstances().size(), 1u);
  EXPECT_EQ(manager.candidateDirectories(), std::vector<std::string>{home + "/not-yet"});
  log.clear();

  ASSERT_EQ(std::rename(home.c_str(), (dir.path() + "/away").c_str()), 0);
  EXPECT_TRUE(manager.currentInstances().empty());
  EXPECT_EQ(manager.searchPaths(), std::vector<std::string>{home});
  ASSERT_EQ(std::rename((dir.path() + "/away").c_str(), home.c_str()), 0);
  auto back = manager.currentInstances();
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0]->directory(), database);

  std::filesystem::remove_all(home);
  EXPECT_TRUE(manager.allInstances().empty());
  EXPECT_TRUE(manager.searchPaths().empty());
}

TEST_F(ManagerTest, WatchDirectoryKeysByTheExactString) {
  std::string demo = dir.makeInstance("demo");
  manager.watchDirectory(demo);
  manager.watchDirectory(demo + "/");
  manager.watchDirectory(dir.path() + "/missing");
  EXPECT_EQ(log.lines(), (std::vector<std::string>{watching(demo), watching(demo + "/")}));
}

}  // namespace
}  // namespace kestrond
