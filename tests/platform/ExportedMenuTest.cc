// The menu as D-Bus menu hosts see it. Hosts keep what they were shown by
// id, so an id must stay with its row's key for good; they refetch on the
// revision, so it must move exactly when the layout does; and what they are
// told must be all that changed, once.
#include "ExportedMenu.h"

#include <gtest/gtest.h>

#include <set>

namespace kestrond {
namespace {

MenuRow row(const std::string& key, const std::string& title, bool enabled = true) {
  MenuRow entry;
  entry.key = key;
  entry.title = title;
  entry.enabled = enabled;
  return entry;
}

std::vector<int32_t> ids(const ExportedMenu& menu) {
  std::vector<int32_t> result;
  for (const ExportedMenu::Item& item : menu.items()) result.push_back(item.id);
  return result;
}

TEST(DBusMenuLabel, DoublesUnderscoresAndLeavesAmpersands) {
  struct Case {
    std::string title, label;
  } cases[] = {
      {"Start Instance 'my_db'", "Start Instance 'my__db'"},
      {"a&b&c", "a&b&c"},
      {"&&", "&&"},
      {"__x_", "____x__"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(dbusmenuLabel(c.title), c.label) << c.title;
}

TEST(DBusMenuProperties, SayWhatAHostNeedsForEachKindOfRow) {
  MenuRow login = row("login", "Start at Login");
  login.checked = false;
  MenuRow quit = row("quit", "Quit");
  quit.shortcut = "Q";
  MenuProperties loginProperties = dbusmenuProperties(login);
  EXPECT_EQ(loginProperties.at("toggle-type"), MenuPropertyValue(std::string("checkmark")));
  EXPECT_EQ(loginProperties.at("toggle-state"), MenuPropertyValue(int32_t{0}));
  EXPECT_EQ(dbusmenuProperties(quit).at("shortcut"),
            MenuPropertyValue(std::vector<std::vector<std::string>>{{"Control", "Q"}}));
  EXPECT_EQ(dbusmenuProperties(row("a", "A", false)).at("enabled"), MenuPropertyValue(false));
  EXPECT_EQ(dbusmenuProperties(row("a", "A")).count("enabled"), 0u);  // the default
  MenuProperties separator = dbusmenuProperties(MenuRow::separatorRow("s"));
  EXPECT_EQ(separator, (MenuProperties{{"type", std::string("separator")}}));
}

// Keys that come and go for months: those gone long ago are forgotten, so
// that the ids cost no more than a bounded number; a recent one comes back
// with its id, a forgotten one with a new id, and no id is given twice.
TEST(ExportedMenuTest, KeysGoneLongAgoAreForgotten) {
  ExportedMenu menu;
  menu.setRows({row("kept", "Kept"), row("key0", "0")});
  const std::vector<int32_t> start = ids(menu);
  const int32_t first = start[1];
  std::set<int32_t> given(start.begin(), start.end());
  int32_t recent = 0;
  const int churn = 3 * static_cast<int>(ExportedMenu::kRememberedKeys);
  for (int i = 1; i <= churn; ++i) {
    menu.setRows({row("kept", "Kept"), row("key" + std::to_string(i), "")});
    EXPECT_TRUE(given.insert(ids(menu)[1]).second);
    if (i == churn - 1) recent = ids(menu)[1];
  }
  EXPECT_LE(menu.keysWithIds(), 2 + ExportedMenu::kRememberedKeys);
  EXPECT_FALSE(menu.keyOf(first));
  EXPECT_EQ(menu.keyOf(recent), "key" + std::to_string(churn - 1));
  menu.setRows({row("kept", "Kept"), row("key" + std::to_string(churn - 1), "")});
  EXPECT_EQ(ids(menu)[1], recent);
  menu.setRows({row("kept", "Kept"), row("key0", "")});
  EXPECT_TRUE(given.insert(ids(menu)[1]).second);
}

TEST(ExportedMenuTest, IdsStayWithTheirKeysAndAreNeverGivenTwice) {
  ExportedMenu menu;
  menu.setRows({row("b", "B"), row("c", "C")});
  std::vector<int32_t> first = ids(menu);
  // "a" sorts ahead and "c" goes: "b" keeps its id, "a" gets a new one.
  menu.setRows({row("a", "A"), row("b", "B")});
  EXPECT_EQ(menu.items()[1].id, first[0]);
  EXPECT_NE(menu.items()[0].id, first[1]);
  EXPECT_EQ(menu.find(first[1]), nullptr);
  EXPECT_EQ(menu.keyOf(first[1]), "c");  // a click on it still names "c"
  // "c" comes back with its old id.
  menu.setRows({row("a", "A"), row("b", "B"), row("c", "C")});
  EXPECT_EQ(menu.items()[2].id, first[1]);
  EXPECT_FALSE(menu.keyOf(999));
  EXPECT_EQ(menu.find(ExportedMenu::kRootId), nullptr);
}

TEST(ExportedMenuTest, TheRevisionMovesWithTheLayoutOnly) {
  ExportedMenu menu;
  struct Step {
    MenuRows rows;
    bool changed;
    bool layoutMoved;
  };
  Step steps[] = {
      {{row("a", "Start A"), row("b", "Start B")}, true, true},
      {{row("a", "Start A"), row("b", "Start B")}, false, false},
      {{row("a", "Stop A"), row("b", "Start B")}, true, false},
      {{row("a", "Stop A"), row("b", "Start B", false)}, true, false},
      {{row("b", "Start B", false), row("a", "Stop A")}, true, true},
      {{row("b", "Start B", false)}, true, true},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    uint32_t revision = menu.revision();
    uint64_t changes = menu.changes();
    EXPECT_EQ(menu.setRows(steps[i].rows), steps[i].changed) << "step " << i;
    EXPECT_EQ(menu.changes() != changes, steps[i].changed) << "step " << i;
    EXPECT_EQ(menu.revision() != revision, steps[i].layoutMoved) << "step " << i;
  }
}

TEST(ExportedMenuTest, SignalsCoverEveryUpdateSinceTheLastOnceWithOnlyWhatChanged) {
  ExportedMenu menu;
  MenuRow login = row("login", "Start at Login");
  login.checked = false;
  menu.setRows({row("a", "Start A"), login});
  ExportedMenu::Signals first = menu.takeSignals();
  ASSERT_TRUE(first.layout);
  EXPECT_EQ(*first.layout, menu.revision());
  EXPECT_TRUE(first.properties.empty());  // hosts read new items from the layout
  EXPECT_TRUE(menu.takeSignals().empty());

  // Two updates on one loop turn: one signal, with the keys that differ
  // from what hosts were told (the title went and came back: not told).
  menu.setRows({row("a", "Starting A", false), login});
  login.checked = true;
  menu.setRows({row("a", "Start A", false), login});
  ExportedMenu::Signals pending = menu.takeSignals();
  EXPECT_FALSE(pending.layout);
  ASSERT_EQ(pending.properties.size(), 2u);
  EXPECT_EQ(pending.properties[0].updated, (MenuProperties{{"enabled", false}}));
  EXPECT_EQ(pending.properties[1].updated, (MenuProperties{{"toggle-state", int32_t{1}}}));
  EXPECT_TRUE(pending.properties[0].removed.empty());

  // A row that stops being a toggle loses those keys; one enabled again is
  // told so, not left to a removal.
  login.checked.reset();
  menu.setRows({row("a", "Start A"), login});
  pending = menu.takeSignals();
  ASSERT_EQ(pending.properties.size(), 2u);
  EXPECT_EQ(pending.properties[0].updated, (MenuProperties{{"enabled", true}}));
  EXPECT_TRUE(pending.properties[0].removed.empty());
  EXPECT_EQ(pending.properties[1].removed,
            (std::vector<std::string>{"toggle-state", "toggle-type"}));
}

}  // namespace
}  // namespace kestrond
