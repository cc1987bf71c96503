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

TEST(IsValidUtf8, AcceptsWellFormedAndRejectsTheRest) {
  struct Case {
    std::string bytes;
    bool valid;
  } cases[] = {
      {"plain", true},
      {"Gr\xC3\xBC\xC3\x9F"
       "e",
       true},
      {"\xE2\x82\xAC", true},
      {"\xF0\x9F\x98\x80", true},
      {"\xFF", false},
      {"\xC3", false},              // truncated
      {"\xC0\xAF", false},          // overlong "/"
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"ok\x80", false},
  };
  for (const Case& c : cases) EXPECT_EQ(isValidUtf8(c.bytes), c.valid) << c.bytes;
}

TEST(LocalizedString, FallsBackToTheKey) {
  EXPECT_EQ(localizedString("Halvorix Kestrond"), "Halvorix Kestrond");
  EXPECT_EQ(localizedString(""), "");
}

}  // namespace
}  // namespace kestrond
