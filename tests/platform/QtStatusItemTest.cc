// The Qt status item on Qt's offscreen platform. The QMenu a panel shows
// must follow the rows, keep one QAction per row key however the rows move
// (a D-Bus panel's ids are the QActions'), and run a chosen row's action
// once the menu closed, on that row as it is then. The badge's mark must be
// there, in its own form, at every size.
#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QImage>
#include <algorithm>

#include "Badge.h"
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

// Pixels of a colour class inside a square region of the image.
int countPixels(const QImage& image, QRect region, const std::function<bool(QColor)>& matches) {
  int count = 0;
  for (int y = region.top(); y <= region.bottom(); ++y) {
    for (int x = region.left(); x <= region.right(); ++x) {
      if (matches(image.pixelColor(x, y))) ++count;
    }
  }
  return count;
}

bool green(QColor c) {
  return c.alpha() > 200 && c.green() > 150 && c.red() < 120 && c.blue() < 120;
}
bool amber(QColor c) {
  return c.alpha() > 200 && c.red() > 200 && c.green() > 120 && c.blue() < 90;
}

TEST_F(QtStatusItemTest, BadgeMarkIsSeenInItsOwnFormAtEverySize) {
  for (int size : {16, 22, 24, 32, 48, 64, 256}) {
    for (qreal ratio : {1.0, 2.0}) {
      SCOPED_TRACE(std::to_string(size) + "@" + std::to_string(ratio));
      auto image = [&](StatusMark mark) {
        return badgePixmap(QStringLiteral("K"), size, ratio, mark).toImage();
      };
      QImage plain = image(StatusMark::None);
      QImage running = image(StatusMark::Running);
      QImage changing = image(StatusMark::Changing);
      int pixels = static_cast<int>(size * ratio);
      QRect whole(0, 0, pixels, pixels);
      // The bottom right quarter holds the mark; the top left stays the badge.
      int half = pixels / 2;
      QRect corner(half, half, pixels - half, pixels - half);
      QRect rest(0, 0, half, half);
      EXPECT_EQ(countPixels(plain, whole, green), 0);
      EXPECT_EQ(countPixels(plain, whole, amber), 0);
      // At 16 px the dot is 7 px across: dozens of green pixels.
      EXPECT_GE(countPixels(running, corner, green), pixels * pixels / 20);
      EXPECT_EQ(countPixels(running, whole, amber), 0);
      EXPECT_GE(countPixels(changing, corner, amber), pixels * pixels / 50);
      EXPECT_EQ(countPixels(changing, whole, green), 0);
      // A ring, not a dot: its centre is not amber.
      qreal diameter = pixels * 0.46;
      QPoint centre(static_cast<int>(pixels - 0.5 * ratio - diameter / 2),
                    static_cast<int>(pixels - 0.5 * ratio - diameter / 2));
      EXPECT_TRUE(green(running.pixelColor(centre)));
      EXPECT_FALSE(amber(changing.pixelColor(centre)));
      // The mark leaves the letter alone.
      EXPECT_EQ(running.copy(rest), plain.copy(rest));
      EXPECT_EQ(changing.copy(rest), plain.copy(rest));
    }
  }
}

}  // namespace
}  // namespace kestrond
