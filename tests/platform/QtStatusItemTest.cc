// The Qt status item on Qt's offscreen platform. The QMenu a panel shows
// must follow the model item for item, keep its QActions while only their
// fields change (a D-Bus panel renumbers recreated items and then shows a
// stale menu), and send a chosen item's action once the menu closed. The
// badge's mark must be there, in its own form, at every size.
#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QImage>

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
    static test::LogCapture log;
    static QtDesktop desktop(log);
    _desktop = &desktop;
  }
  void SetUp() override {
    _item = std::static_pointer_cast<QtStatusItem>(_desktop->createStatusItem());
    _item->setMenu(menu);
  }

  struct Shown {
    std::string text;
    bool separator;
    bool enabled;
    bool checked;
    std::string shortcut;
    bool operator==(const Shown&) const = default;
  };
  friend std::ostream& operator<<(std::ostream& out, const Shown& s) {
    return out << "{" << s.text << ", " << s.separator << s.enabled << s.checked << ", "
               << s.shortcut << "}";
  }
  std::vector<Shown> shown() {
    std::vector<Shown> result;
    for (QAction* action : _item->shownMenu().actions()) {
      result.push_back({action->text().toStdString(), action->isSeparator(), action->isEnabled(),
                        action->isChecked(), action->shortcut().toString().toStdString()});
    }
    return result;
  }

  static QtDesktop* _desktop;
  std::shared_ptr<Menu> menu = std::make_shared<Menu>();
  std::shared_ptr<QtStatusItem> _item;
};

QtDesktop* QtStatusItemTest::_desktop = nullptr;

TEST_F(QtStatusItemTest, FollowsTheModelAndKeepsItsActions) {
  menu->addItemWithTitle("Start Instance 'a & b'", Action("startInstance:"), "");
  menu->addItemWithTitle("Default Instance: Starting", Action(), "");
  menu->addItem(MenuItem::separatorItem());
  menu->addItemWithTitle("Start Kestrond Monitor at Login", Action("toggleStartAtLogin:"), "")
      ->setState(ItemState::On);
  menu->addItemWithTitle("Quit Kestrond Monitor", kStopAction, "q");
  _item->syncMenu();
  EXPECT_EQ(shown(), (std::vector<Shown>{
                         {"Start Instance 'a && b'", false, true, false, ""},
                         {"Default Instance: Starting", false, false, false, ""},
                         {"", true, true, false, ""},
                         {"Start Kestrond Monitor at Login", false, true, true, ""},
                         {"Quit Kestrond Monitor", false, true, false, "Ctrl+Q"},
                     }));

  // A refresh changes fields only: the same QActions, changed in place.
  QList<QAction*> before = _item->shownMenu().actions();
  menu->itemArray()[1]->setTitle("Stop Default Instance");
  menu->itemArray()[1]->setEnabled(true);
  menu->itemArray()[3]->setState(ItemState::Off);
  _item->syncMenu();
  EXPECT_EQ(_item->shownMenu().actions(), before);
  EXPECT_EQ(shown()[1], (Shown{"Stop Default Instance", false, true, false, ""}));
  EXPECT_FALSE(shown()[3].checked);

  // A rebuild with fewer rows and a separator where an item was.
  menu->removeAllItems();
  menu->addItem(MenuItem::separatorItem());
  menu->addItemWithTitle("Quit Kestrond Monitor", kStopAction, "q");
  _item->syncMenu();
  EXPECT_EQ(shown(), (std::vector<Shown>{
                         {"", true, true, false, ""},
                         {"Quit Kestrond Monitor", false, true, false, "Ctrl+Q"},
                     }));
  EXPECT_EQ(_item->shownMenu().actions()[1], before[1]);
}

TEST_F(QtStatusItemTest, ChosenItemSendsItsActionAfterTheMenuClosed) {
  struct Recorder : Responder {
    std::vector<std::string> performed;
    bool tryToPerform(const Action& action, MenuItem& sender) override {
      performed.push_back(action.name() + " " + sender.title());
      return true;
    }
  } recorder;
  auto chosen = menu->addItemWithTitle("Stop Default Instance", Action("stopInstance:"), "");
  chosen->setTarget(&recorder);
  _item->syncMenu();
  _item->shownMenu().actions()[0]->trigger();
  EXPECT_TRUE(recorder.performed.empty());  // not from inside the menu's own handling
  QCoreApplication::processEvents();
  EXPECT_EQ(recorder.performed, std::vector<std::string>{"stopInstance: Stop Default Instance"});

  // Rebuilt before the choice arrives: the item chosen is what is sent.
  _item->shownMenu().actions()[0]->trigger();
  menu->removeAllItems();
  _item->syncMenu();
  QCoreApplication::processEvents();
  EXPECT_EQ(recorder.performed.size(), 2u);
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
        return QtStatusItem::badgePixmap(QStringLiteral("K"), size, ratio, mark).toImage();
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
