#include "BundleLocation.h"

#include <gtest/gtest.h>

#include "Desktop.h"

namespace kestrond {
namespace {

TEST(BundleLocation, DirectoryThatHoldsContents) {
  struct Case {
    const char* executable;
    const char* bundle;
  } cases[] = {
      {"/opt/Monitor/Contents/bin/kestrond-monitor", "/opt/Monitor"},
      {"/opt/Monitor/Contents/MacOS/monitor", "/opt/Monitor"},
      {"/usr/bin/kestrond-monitor", "/usr"},
      {"/build/app/kestrond-monitor", "/build"},
      {"/kestrond-monitor", "/"},
      {"/Contents/bin/x", "/Contents"},
  };
  for (const Case& c : cases) EXPECT_EQ(bundlePathForExecutable(c.executable), c.bundle);
  EXPECT_EQ(currentExecutablePath().front(), '/');
}

TEST(FileURLWithPath, EscapesWhatAUrlCannotHold) {
  EXPECT_EQ(fileURLWithPath("/opt/Monitor"), "file:///opt/Monitor/");
  EXPECT_EQ(fileURLWithPath("/opt/Monitor/"), "file:///opt/Monitor/");
  EXPECT_EQ(fileURLWithPath("/a b/%x&\xC3\xA9"), "file:///a%20b/%25x%26%C3%A9/");
  EXPECT_EQ(fileURLWithPath("/usr/bin/tool", false), "file:///usr/bin/tool");
}

}  // namespace
}  // namespace kestrond
