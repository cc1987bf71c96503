#include "GlobalEnvironment.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "KestrondManager.h"
#include "TestSupport.h"

namespace kestrond {
namespace {

class GlobalEnvironmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name :
         {"KESTROND_HOME", "PATH", "LD_LIBRARY_PATH", "ODBCINI", "ODBCINSTINI"}) {
      environment.unset(name);
    }
  }
  static std::optional<std::string> get(const char* name) {
    const char* value = getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  }

  test::TempDir dir;
  test::LogCapture log;
  SystemProcessControl processes{log};
  test::ScopedEnvironment environment;
  KestrondManager manager{processes, log};
};

TEST_F(GlobalEnvironmentTest, BundledInstallation) {
  std::string bundle = dir.makeDir("Monitor.app");
  std::string home = bundle + "/Contents/kestrond";
  dir.makeDir("Monitor.app/Contents/kestrond/bin");
  dir.makeDir("Monitor.app/Contents/kestrond/lib");
  dir.makeInstance("Monitor.app/Contents/kestrond/database");
  dir.writeFile("Monitor.app/Contents/kestrond/bin/odbc.ini", "");
  environment.set("PATH", "/usr/bin:/bin");

  setupGlobalEnvironment(manager, bundle, log);
  EXPECT_EQ(get("KESTROND_HOME"), home);
  EXPECT_EQ(get("PATH"), home + "/bin:/usr/bin:/bin");
  EXPECT_EQ(get("LD_LIBRARY_PATH"), home + "/lib");
  EXPECT_EQ(get("ODBCINI"), home + "/bin/odbc.ini");
  EXPECT_EQ(get("ODBCINSTINI"), std::nullopt);
  EXPECT_EQ(manager.searchPaths(), std::vector<std::string>{home});
  auto instances = manager.allInstances();
  ASSERT_EQ(instances.size(), 1u);
  EXPECT_TRUE(instances[0]->isDefault());
}

TEST_F(GlobalEnvironmentTest, HomeThroughASymbolicLink) {
  std::string real = dir.makeDir("srv/dbhome");
  dir.writeFile("srv/dbhome/bin/odbc.ini", "");
  dir.writeFile("srv/dbhome/bin/odbcinst.ini", "");
  symlink(real.c_str(), (dir.path() + "/dbhome").c_str());
  environment.set("KESTROND_HOME", dir.path() + "/dbhome/");
  environment.set("PATH", "");
  environment.set("LD_LIBRARY_PATH", "/usr/local/lib");
  environment.set("ODBCINI", "/etc/odbc.ini");

  setupGlobalEnvironment(manager, dir.path() + "/no-bundle", log);
  EXPECT_EQ(get("KESTROND_HOME"), real);
  EXPECT_EQ(get("PATH"), real + "/bin:");
  EXPECT_EQ(get("LD_LIBRARY_PATH"), "/usr/local/lib");
  EXPECT_EQ(get("ODBCINI"), "/etc/odbc.ini");
  EXPECT_EQ(get("ODBCINSTINI"), real + "/bin/odbcinst.ini");
  EXPECT_EQ(manager.searchPaths(), std::vector<std::string>{real});
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(GlobalEnvironmentTest, UnusableHomeFallsBackToTheBundleSilently) {
  std::string bundle = dir.makeDir("B");
  std::string home = dir.makeDir("B/Contents/kestrond");
  std::string file = dir.writeFile("plain", "");
  for (std::string value :
       {file, dir.path() + "/missing", std::string(""), dir.path() + "/\xFF\xFE"}) {
    if (value.find('\xFF') != std::string::npos) dir.makeDir("\xFF\xFE");
    environment.set("KESTROND_HOME", value);
    KestrondManager fresh{processes, log};
    setupGlobalEnvironment(fresh, bundle, log);
    EXPECT_EQ(get("KESTROND_HOME"), home) << value;
  }
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(GlobalEnvironmentTest, RelativeHomeIsMadeAbsolute) {
  std::string home = dir.makeDir("rel/home");
  char* saved = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  environment.set("KESTROND_HOME", "rel/home");
  setupGlobalEnvironment(manager, "/nonexistent", log);
  ASSERT_EQ(chdir(saved), 0);
  free(saved);
  EXPECT_EQ(get("KESTROND_HOME"), home);
}

TEST_F(GlobalEnvironmentTest, NoInstallationChangesNothing) {
  environment.set("KESTROND_HOME", dir.path() + "/missing");
  environment.set("PATH", "/bin");
  setupGlobalEnvironment(manager, dir.path(), log);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Kestrond installation not found"});
  EXPECT_EQ(get("KESTROND_HOME"), dir.path() + "/missing");
  EXPECT_EQ(get("PATH"), "/bin");
  EXPECT_EQ(get("LD_LIBRARY_PATH"), std::nullopt);
  EXPECT_TRUE(manager.searchPaths().empty());
  EXPECT_TRUE(manager.allInstances().empty());
}

TEST_F(GlobalEnvironmentTest, VariablesFollowWhatTheHomeHolds) {
  std::string home = dir.makeDir("home");
  dir.makeDir("home/lib");
  environment.set("KESTROND_HOME", home);

  // No bin: PATH and both ODBC variables are left alone; lib is still used.
  setupGlobalEnvironment(manager, "/nonexistent", log);
  EXPECT_EQ(get("PATH"), std::nullopt);
  EXPECT_EQ(get("ODBCINI"), std::nullopt);
  EXPECT_EQ(get("LD_LIBRARY_PATH"), home + "/lib");

  // bin as a link to a directory counts, and PATH gets the link's path;
  // PATH unset gets no colon; a directory named odbc.ini does not count;
  // ODBCINI set to "" counts as set.
  std::string realBin = dir.makeDir("real-bin");
  symlink(realBin.c_str(), (home + "/bin").c_str());
  dir.makeDir("real-bin/odbc.ini");
  dir.writeFile("real-bin/odbcinst.ini", "");
  environment.unset("LD_LIBRARY_PATH");
  environment.set("ODBCINSTINI", "");
  KestrondManager second{processes, log};
  setupGlobalEnvironment(second, "/nonexistent", log);
  EXPECT_EQ(get("PATH"), home + "/bin");
  EXPECT_EQ(get("ODBCINI"), std::nullopt);
  EXPECT_EQ(get("ODBCINSTINI"), "");

  // PATH that already begins with home/bin gets it once more.
  KestrondManager third{processes, log};
  setupGlobalEnvironment(third, "/nonexistent", log);
  EXPECT_EQ(get("PATH"), home + "/bin:" + home + "/bin");
}

TEST_F(GlobalEnvironmentTest, BundlePathSeenThroughALinkIsNotResolved) {
  std::string real = dir.makeDir("real-bundle/Contents/kestrond");
  symlink((dir.path() + "/real-bundle").c_str(), (dir.path() + "/bundle-link").c_str());
  setupGlobalEnvironment(manager, dir.path() + "/bundle-link", log);
  EXPECT_EQ(get("KESTROND_HOME"), dir.path() + "/bundle-link/Contents/kestrond");
  EXPECT_EQ(manager.searchPaths(), std::vector<std::string>{real});
}

}  // namespace
}  // namespace kestrond
