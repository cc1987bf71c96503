#include "Text.h"

#include <gtest/gtest.h>

namespace kestrond {
namespace {

TEST(FormatText, FillsPlaceholdersInOrder) {
  struct Case {
    const char* format;
    std::string expected;
  } cases[] = {
      {"Start %@", "Start Default Instance"},
      {"pid value from .lck file is different (expected %d, got %d)",
       "pid value from .lck file is different (expected Default Instance, got 42)"},
      {"%@%@%@", "Default Instance42"},  // a third placeholder has no argument left
      {"100%% sure", "100% sure"},
      {"%s and %x stay", "%s and %x stay"},
      {"trailing %", "trailing %"},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(formatText(c.format, {"Default Instance", 42}), c.expected) << c.format;
  }
}

TEST(FormatText, ArgumentTextIsNeverReadAsAFormat) {
  EXPECT_EQ(formatText("Instance '%@'", {"%@ %d %n"}), "Instance '%@ %d %n'");
  EXPECT_EQ(formatText("%d %d", {}), " ");
}

// Well-formed UTF-8 shows as itself; every other byte as its value, so
// that names differing in such bytes stay apart.
TEST(IsValidUtf8, AcceptsWellFormedAndShowsTheRestByValue) {
  struct Case {
    std::string bytes;
    const char* visible;  // nullptr: valid, shown as it is
  } cases[] = {
      {"plain", nullptr},
      {"Gr\xC3\xBC\xC3\x9F"
       "e",
       nullptr},
      {"\xE2\x82\xAC", nullptr},
      {"\xF0\x9F\x98\x80", nullptr},
      {"\xFF", "\\xFF"},
      {"\xC3", "\\xC3"},                             // truncated
      {"\xC0\xAF", "\\xC0\\xAF"},                    // overlong "/"
      {"\xED\xA0\x80", "\\xED\\xA0\\x80"},           // surrogate
      {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},  // above U+10FFFF
      {"ok\x80", "ok\\x80"},
      {"caf\xE9 \xC3\xA9", "caf\\xE9 \xC3\xA9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isValidUtf8(c.bytes), c.visible == nullptr) << c.bytes;
    EXPECT_EQ(visibleText(c.bytes), c.visible ? c.visible : c.bytes);
  }
}

TEST(LocalizedString, FallsBackToTheKey) {
  EXPECT_EQ(localizedString("Halvorix Kestrond"), "Halvorix Kestrond");
  EXPECT_EQ(localizedString(""), "");
}

}  // namespace
}  // namespace kestrond
