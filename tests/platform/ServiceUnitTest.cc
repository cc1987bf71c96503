// The names of the servers' units: what systemd accepts, and what tells
// which instance a unit is for.
#include "ServiceUnit.h"

#include <gtest/gtest.h>

#include <regex>

namespace kestrond {
namespace {

TEST(ServiceUnit, NamesSayWhichInstance) {
  struct Case {
    std::string label;
    std::string part;
  } cases[] = {
      {"database", "database"},
      {"my-db", "my\\x2ddb"},
      {"r&d db", "r\\x26d\\x20db"},
      {".hidden.v2", "\\x2ehidden.v2"},
      {"caf\xc3\xa9", "caf\\xc3\\xa9"},
      {"bad\xe9", "bad\\xe9"},
      {"", "server"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(serverScopeName(c.label, 0x0123456789abcdefULL),
              "app-kestrond\\x2dmonitor-" + c.part + "-0123456789abcdef.scope")
        << c.label;
  }
}

TEST(ServiceUnit, LongNamesAreShortenedToWhatSystemdTakes) {
  // systemd's unit names: at most 255 bytes of [A-Za-z0-9:_.\-], escapes
  // whole.
  const std::regex valid(
      R"(app-kestrond\\x2dmonitor-([A-Za-z0-9:_.]|\\x[0-9a-f]{2})+-[0-9a-f]{16}\.scope)");
  for (const std::string& label : {std::string(300, 'a'), std::string(300, '-'),
                                   std::string(250, 'a') + "-" + std::string(40, 'b')}) {
    std::string name = serverScopeName(label, ~0ULL);
    EXPECT_LE(name.size(), 255u);
    EXPECT_GE(name.size(), 250u);
    EXPECT_TRUE(std::regex_match(name, valid)) << name;
  }
}

}  // namespace
}  // namespace kestrond
