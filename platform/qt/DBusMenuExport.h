// The status item's menu on the session bus, as com.canonical.dbusmenu at
// /MenuBar: what a StatusNotifierItem host reads and shows.
//
// Every call is answered at once; a layout is built once per change of the
// menu and request shape. A choice ("clicked") is answered first
// and run on the next loop turn, never inside the call: it may ask a
// question, and the host must not wait for the answer. An opening
// (AboutToShow, or "opened" where no AboutToShow came) runs the
// application's opening and says whether the menu changed. Changes reach
// the hosts as one LayoutUpdated and one ItemsPropertiesUpdated per loop
// turn. Created and used by QtStatusItem. Qt code; main thread only.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "DBusObject.h"
#include "Desktop.h"
#include "ExportedMenu.h"

namespace kestrond {

class DBusMenuExport : public DBusObject {
 public:
  struct Hooks {
    std::function<void()> opening;  // a host is about to show the menu
    std::function<void()> closed;   // a host says it closed it
    // The row with this key was chosen; called after the reply was sent.
    std::function<void(const std::string& key)> chosen;
  };

  static constexpr const char* kPath = "/MenuBar";

  DBusMenuExport(LogSink& log, Hooks hooks);

  // The rows from now on; hosts are told on the next loop turn.
  void setRows(const MenuRows& rows);

  const ExportedMenu& menu() const { return _menu; }

 private:
  // The interface's methods, as declared in the constructor.
  void getLayout(DBusMessage* call, MessageReader& arguments);
  void getGroupProperties(DBusMessage* call, MessageReader& arguments);
  void getProperty(DBusMessage* call, MessageReader& arguments);
  void event(DBusMessage* call, MessageReader& arguments);
  void eventGroup(DBusMessage* call, MessageReader& arguments);
  void aboutToShow(DBusMessage* call, MessageReader& arguments);
  void aboutToShowGroup(DBusMessage* call, MessageReader& arguments);
  void unknownId(DBusMessage* call, int id);

  // Runs the opening; true when the menu changed meanwhile.
  bool open();
  // One event for the item with this id.
  void handle(int id, const std::string& eventId);
  void scheduleSignals();
  void sendSignals();
  bool knownId(int id) const { return id == ExportedMenu::kRootId || _menu.keyOf(id); }

  // The last layout sent, for the menu as it was then and one request's
  // shape: panels ask for the same layout at every opening, and it is sent
  // again as the bytes it was, addressed to the new caller.
  struct LayoutReply {
    uint64_t changes;
    int parent;
    bool children;
    std::vector<std::string> names;
    Message reply;
  };

  Hooks _hooks;
  ExportedMenu _menu;
  std::optional<LayoutReply> _layout;
  bool _signalsScheduled = false;
  bool _open = false;  // as far as hosts tell
};

}  // namespace kestrond
