// The Qt status item on Qt's offscreen platform. The QMenu a panel shows
// must follow the rows, keep one QAction per row key however the rows move
// (a D-Bus panel's ids are the QActions'), and run a chosen row's action
// once the menu closed, on that row as it is then.
#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QImage>
#include <algorithm>

#include "QtDesktop.h"
#include "QtStatusItem.h"
#include "TestSupport.h"

namespace kestrond {
namespace {

class QtStatusItemTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // One QApplication per process: the desktop outlives every test.
    static StartingState starting;
    static QtDesktop desktop(log, starting);
    _desktop = &desktop;
  }
  void SetUp() override {
    log.clear();
    _owned = _desktop->createStatusItem({});
    _item = static_cast<QtStatusItem*>(_owned.get());
  }

  static MenuRow row(std::string key, std::string title, std::function<void()> choose = nullptr) {
    MenuRow entry;
    entry.key = std::move(key);
    entry.title = std::move(title);
    entry.enabled = static_cast<bool>(choose);
    entry.choose = std::move(choose);
    return entry;
  }

  struct Shown {
    std::string text;
    bool separator;
    bool enabled;
    bool checkable;
    bool checked;
    std::string shortcut;
    bool operator==(const Shown&) const = default;
  };
  friend std::ostream& operator<<(std::ostream& out, const Shown& s) {
    return out << "{" << s.text << ", " << s.separator << s.enabled << s.checkable << s.checked
               << ", " << s.shortcut << "}";
  }
  std::vector<Shown> shown() {
    std::vector<Shown> result;
    for (QAction* action : _item->shownMenu().actions()) {
      result.push_back({action->text().toStdString(), action->isSeparator(), action->isEnabled(),
                        action->isCheckable(), action->isChecked(),
                        action->shortcut().toString().toStdString()});
    }
    return result;
  }
  QAction* shownAction(size_t index) { return _item->shownMenu().actions()[qsizetype(index)]; }

  static test::LogCapture log;
  static QtDesktop* _desktop;
  std::unique_ptr<StatusItem> _owned;
  QtStatusItem* _item = nullptr;
};

test::LogCapture QtStatusItemTest::log;
QtDesktop* QtStatusItemTest::_desktop = nullptr;

TEST_F(QtStatusItemTest, ShowsTheRowsAndKeepsAnActionPerKey) {
  MenuRow login = row("login", "Start Kestrond Monitor at Login", [] {});
  login.checked = false;  // a toggle even while unchecked
  MenuRow quit = row("quit", "Quit Kestrond Monitor", [] {});
  quit.shortcut = "Q";
  // The QMenu doubles "&" (its access-key mark) and leaves "_" alone; the
  // D-Bus menu does the other way round.
  MenuRows rows = {row("b", "Start Instance 'a & b_c'", [] {}),
                   row("c", "Default Instance: Starting"), MenuRow::separatorRow("separator"),
                   login, quit};
  _item->setMenu(rows);
  EXPECT_EQ(shown(), (std::vector<Shown>{
                         {"Start Instance 'a && b_c'", false, true, false, false, ""},
                         {"Default Instance: Starting", false, false, false, false, ""},
                         {"", true, true, false, false, ""},
                         {"Start Kestrond Monitor at Login", false, true, true, false, ""},
                         {"Quit Kestrond Monitor", false, true, false, false, "Ctrl+Q"},
                     }));

  EXPECT_EQ(_item->exportedMenu().items()[0].properties.at("label"),
            MenuPropertyValue(std::string("Start Instance 'a & b__c'")));

  // Fields change in place: the same QActions.
  QList<QAction*> before = _item->shownMenu().actions();
  rows[1] = row("c", "Stop Default Instance", [] {});
  rows[3].checked = true;
  _item->setMenu(rows);
  EXPECT_EQ(_item->shownMenu().actions(), before);
  EXPECT_EQ(shown()[1], (Shown{"Stop Default Instance", false, true, false, false, ""}));
  EXPECT_TRUE(shown()[3].checked);

  // A row ahead of them: every other row keeps its action, and b and c
  // their order, so nothing but the new one is inserted.
  rows.insert(rows.begin(), row("a", "Start Instance 'a'", [] {}));
  _item->setMenu(rows);
  ASSERT_EQ(_item->shownMenu().actions().size(), 6);
  EXPECT_EQ(_item->shownMenu().actions().mid(1), before);

  // Rows that go take their actions; rows that move keep theirs.
  _item->setMenu({rows[5], rows[2], rows[0]});
  EXPECT_EQ(_item->shownMenu().actions(), (QList<QAction*>{before[4], before[1], shownAction(2)}));
  EXPECT_EQ(shown()[2].text, "Start Instance 'a'");
}

TEST_F(QtStatusItemTest, AChoiceRunsAfterTheMenuClosedOnTheRowItsKeyHasThen) {
  std::vector<std::string> chosen;
  _item->setMenu({row("b", "Stop Instance 'b'", [&] { chosen.push_back("b"); }),
                  row("c", "Stop Instance 'c'", [&] { chosen.push_back("c"); })});
  QAction* c = shownAction(1);
  c->trigger();
  EXPECT_TRUE(chosen.empty());  // not from inside the menu's own handling
  QCoreApplication::processEvents();
  EXPECT_EQ(chosen, std::vector<std::string>{"c"});

  // The rows shift before the choice arrives: it still acts on c.
  c->trigger();
  _item->setMenu({row("a", "Start Instance 'a'", [&] { chosen.push_back("a"); }),
                  row("b", "Stop Instance 'b'", [&] { chosen.push_back("b"); }),
                  row("c", "Stop Instance 'c'", [&] { chosen.push_back("c"); })});
  EXPECT_EQ(shownAction(2), c);
  QCoreApplication::processEvents();
  EXPECT_EQ(chosen, (std::vector<std::string>{"c", "c"}));

  // c goes before its choice arrives: nothing runs, one line says so.
  c->trigger();
  _item->setMenu({row("a", "Start Instance 'a'", [&] { chosen.push_back("a"); })});
  QCoreApplication::processEvents();
  EXPECT_EQ(chosen.size(), 2u);
  EXPECT_EQ(std::count(log.lines().begin(), log.lines().end(),
                       "A menu choice arrived for a row that is no longer in the menu (c); "
                       "nothing done"),
            1);
}

}  // namespace
}  // namespace kestrond
