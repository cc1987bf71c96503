#include "Paths.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>

#include "TestSupport.h"

namespace kestrond {
namespace {

TEST(AppendPathComponent, JoinsWithExactlyOneSlash) {
  struct Case {
    const char* base;
    const char* component;
    const char* expected;
  } cases[] = {
      {"/srv/home", "database", "/srv/home/database"},
      {"/srv/home/", "database", "/srv/home/database"},
      {"/srv/home//", "/database", "/srv/home/database"},
      {"", "database", "database"},
      {"/srv/home", "", "/srv/home"},
      {"/", "bin", "/bin"},
      {"/srv/db", "../bin/kestrond", "/srv/db/../bin/kestrond"},
      {"relative", "bin/odbc.ini", "relative/bin/odbc.ini"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(appendPathComponent(c.base, c.component), c.expected)
        << c.base << " + " << c.component;
  }
}

TEST(LastPathComponent, IsTheShownName) {
  struct Case {
    const char* path;
    const char* expected;
  } cases[] = {
      {"/srv/home/database", "database"},
      {"/srv/home/demo/", "demo"},
      {"demo", "demo"},
      {"/", "/"},
      {"", ""},
      {"/a b/&x", "&x"},
  };
  for (const Case& c : cases) EXPECT_EQ(lastPathComponent(c.path), c.expected) << c.path;
}

TEST(IsEntryOf, OnlyOneComponentBelow) {
  struct Case {
    const char* path;
    const char* directory;
    bool expected;
  } cases[] = {
      {"/srv/home/database", "/srv/home", true},
      {"/srv/home/database", "/srv/home/", true},
      {"/bin", "/", true},
      {"/srv/home/a/b", "/srv/home", false},
      {"/srv/homes/a", "/srv/home", false},
      {"/srv/home/", "/srv/home", false},
      {"/srv/home/a/", "/srv/home", false},
      {"/srv/home", "/srv/home", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isEntryOf(c.path, c.directory), c.expected) << c.path << " in " << c.directory;
  }
}

class PathsOnDisk : public ::testing::Test {
 protected:
  test::TempDir dir;
};

TEST_F(PathsOnDisk, ResolveSymlinksGivesTheStandardAbsoluteForm) {
  std::string target = dir.makeDir("srv/dbhome");
  ASSERT_EQ(symlink(target.c_str(), (dir.path() + "/link").c_str()), 0);
  EXPECT_EQ(resolveSymlinks(dir.path() + "/link/"), target);
  EXPECT_EQ(resolveSymlinks(dir.path() + "//srv/./dbhome/../dbhome"), target);
  // A path that does not exist is still put in standard form.
  EXPECT_EQ(resolveSymlinks(dir.path() + "/missing/../gone//x/"), dir.path() + "/gone/x");
  EXPECT_EQ(resolveSymlinks(""), "");

  char* saved = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  EXPECT_EQ(resolveSymlinks("link"), target);
  EXPECT_EQ(absolutePath("relative/x"), dir.path() + "/relative/x");
  ASSERT_EQ(chdir(saved), 0);
  free(saved);
}

TEST_F(PathsOnDisk, PathKindFollowsLinks) {
  std::string directory = dir.makeDir("d");
  std::string file = dir.writeFile("f", "x");
  symlink(directory.c_str(), (dir.path() + "/to-d").c_str());
  symlink((dir.path() + "/nowhere").c_str(), (dir.path() + "/dangling").c_str());
  symlink((dir.path() + "/loop").c_str(), (dir.path() + "/loop").c_str());
  EXPECT_EQ(pathKind(directory), PathKind::Directory);
  EXPECT_EQ(pathKind(dir.path() + "/to-d"), PathKind::Directory);
  EXPECT_EQ(pathKind(file), PathKind::Other);
  EXPECT_EQ(pathKind(dir.path() + "/dangling"), PathKind::Absent);
  EXPECT_EQ(pathKind(dir.path() + "/loop"), PathKind::Absent);
  EXPECT_EQ(pathKind(""), PathKind::Absent);
}

TEST_F(PathsOnDisk, ListDirectoryGivesNamesOrAReason) {
  dir.writeFile(".hidden", "");
  dir.writeFile("b", "");
  dir.makeDir("a");
  auto names = listDirectory(dir.path());
  ASSERT_TRUE(names.ok());
  EXPECT_EQ(names.value(), (std::vector<std::string>{".hidden", "a", "b"}));

  // A directory held open is listed, and its entries named, as it was
  // opened, even once another has taken its path; and as often as asked.
  auto held = openDirectory(dir.path());
  ASSERT_TRUE(held.ok());
  ASSERT_EQ(rename(dir.path().c_str(), (dir.path() + ".away").c_str()), 0);
  ASSERT_EQ(mkdir(dir.path().c_str(), 0755), 0);
  for (int i = 0; i < 2; ++i) {
    std::vector<std::string> again = listDirectory(held.value().get()).value();
    std::sort(again.begin(), again.end());
    EXPECT_EQ(again, names.value());
  }
  EXPECT_EQ(pathKind(PathAt{held.value().get(), "a"}), PathKind::Directory);
  EXPECT_TRUE(mayReadAndWrite(PathAt{held.value().get(), "a"}));
  ASSERT_EQ(rmdir(dir.path().c_str()), 0);
  ASSERT_EQ(rename((dir.path() + ".away").c_str(), dir.path().c_str()), 0);

  auto missing = listDirectory(dir.path() + "/missing");
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().text(), "No such file or directory");
  auto file = listDirectory(dir.path() + "/b");
  EXPECT_FALSE(file.ok());
  EXPECT_EQ(file.error().text(), "Not a directory");
}

}  // namespace
}  // namespace kestrond
