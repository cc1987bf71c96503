// The menu the program shows itself: in the XEmbed tray, and at the pointer
// for D-Bus hosts that only activate. A QMenu kept in step with the status
// item's rows, one QAction per row key however the rows move, brought up
// to date only when it shows (most sessions only ever show the D-Bus
// menu). A chosen action runs once the menu has closed, on the row with
// its key as the rows are then. Owned by QtStatusItem; Qt code; main thread
// only.
#pragma once

#include <QMenu>
#include <functional>
#include <map>
#include <string>

#include "Desktop.h"

namespace kestrond {

class PointerMenu {
 public:
  struct Hooks {
    std::function<void()> willOpen;  // before it shows; may hand it new rows
    std::function<void()> didClose;
    std::function<void(const std::string& key)> chosen;
  };

  // `rows` (the item's) outlives the menu.
  PointerMenu(const MenuRows& rows, Hooks hooks);

  // The rows changed: followed at once while it shows, else at its next
  // showing.
  void rowsChanged();
  // Opens at the pointer, where a program may place a menu (X11); does
  // nothing where it may not, or while it shows.
  void popupAtPointer();
  void hide();
  bool isVisible() const { return _menu.isVisible(); }

  // The QMenu with the rows as they are now: for a tray icon's context
  // menu, and for the tests.
  QMenu& menu();

 private:
  void apply();
  QAction* actionFor(const MenuRow& row);

  const MenuRows& _rows;
  Hooks _hooks;
  QMenu _menu;
  bool _current = false;  // the QMenu shows _rows
  bool _opening = false;
  std::map<std::string, QAction*> _actions;  // by row key
};

}  // namespace kestrond
