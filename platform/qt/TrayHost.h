// Which tray shows the status item, followed for as long as the program
// runs.
//
// A StatusNotifierWatcher on the session bus is followed by its name's
// owner: the item is registered with every new owner, and it is shown there
// once the watcher says a host is registered. Until then, on X11, the
// XEmbed tray is used: where no watcher is there, where it has no host, and
// where it keeps silent for a second (a panel starting up, or wedged); a
// late answer, or a host that comes later, still moves the item to the
// watcher. Elsewhere there is nothing to show on until a host comes. A
// watcher's going is confirmed by asking the bus, since the name may have
// been taken again already. All of it goes over the item's own connection,
// so that the bus's answers and its news of the name come in the order the
// bus sent them. No call here ever blocks or introspects. Qt code; created
// by QtStatusItem.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <string>

#include "BusConnection.h"
#include "Log.h"

namespace kestrond {

enum class TrayHostKind { None, StatusNotifier, XEmbed };

// Whether the program shows on X11: only there is there an XEmbed tray, and
// may a program place a menu at the pointer.
bool onX11();

class TrayHost : public QObject {
 public:
  // `changed` is called from the main loop each time the kind changes.
  TrayHost(LogSink& log, std::function<void(TrayHostKind)> changed);
  ~TrayHost() override;

  // Starts following on `bus`, where the item is offered under its unique
  // name `itemService`; the first decision comes from the main loop. With
  // no bus (null, or no name), only the X11 tray can show the item. `bus`
  // outlives the tray host.
  void start(BusConnection* bus, const std::string& itemService);

 private:
  void hostRegistered();
  void followOwner(const std::string& owner);
  // Asks the bus who owns the watcher's name now; the answer is followed
  // unless an owner change came first.
  void askForOwner();
  void registerItem();
  void askForHost();
  void decide(TrayHostKind kind);
  // What shows the item while no StatusNotifier host does.
  TrayHostKind withoutHost() const;

  LogSink& _log;
  std::function<void(TrayHostKind)> _changed;
  BusConnection* _bus = nullptr;
  std::string _itemService;
  QTimer _silence;           // the watcher's second to answer
  unsigned _generation = 0;  // the owner that replies belong to
  std::string _owner;
  bool _decided = false;
  TrayHostKind _kind = TrayHostKind::None;
};

}  // namespace kestrond
