// The Qt mirror of the status menu, on Qt's offscreen platform: the QMenu a
// panel shows must follow the model item for item, keep its QActions while
// only their fields change (a D-Bus panel renumbers recreated items and then
// shows a stale menu), and send a chosen item's action once the menu closed.
#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>

#include "QtDesktop.h"
#include "QtStatusItem.h"
#include "TestSupport.h"

namespace kestrond {
namespace {

class QtMenuMirrorTest : public ::testing::Test {
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

QtDesktop* QtMenuMirrorTest::_desktop = nullptr;

TEST_F(QtMenuMirrorTest, FollowsTheModelAndKeepsItsActions) {
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

TEST_F(QtMenuMirrorTest, ChosenItemSendsItsActionAfterTheMenuClosed) {
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

}  // namespace
}  // namespace kestrond
