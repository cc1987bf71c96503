#include "DBusMenuExport.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QTimer>

#include "DBusTypes.h"

namespace kestrond {
namespace {

const QString kInterface = QStringLiteral("com.canonical.dbusmenu");

QList<int> intList(const QVariant& argument) {
  return qdbus_cast<QList<int>>(argument);
}

}  // namespace

const QString DBusMenuExport::kPath = QStringLiteral("/MenuBar");

DBusMenuExport::DBusMenuExport(LogSink& log, Hooks hooks)
    : DBusObject(log, kPath, "the menu"), _hooks(std::move(hooks)) {
  auto answer =
      [this](void (DBusMenuExport::*handler)(const QDBusMessage&, const QList<QVariant>&)) {
        return [this, handler](const QDBusMessage& call, const QList<QVariant>& arguments) {
          (this->*handler)(call, arguments);
        };
      };
  declare(
      {kInterface,
       {{"GetLayout",
         {{"parentId", "i"}, {"recursionDepth", "i"}, {"propertyNames", "as"}},
         {{"revision", "u"}, {"layout", "(ia{sv}av)"}},
         answer(&DBusMenuExport::getLayout)},
        {"GetGroupProperties",
         {{"ids", "ai"}, {"propertyNames", "as"}},
         {{"properties", "a(ia{sv})"}},
         answer(&DBusMenuExport::getGroupProperties)},
        {"GetProperty",
         {{"id", "i"}, {"name", "s"}},
         {{"value", "v"}},
         answer(&DBusMenuExport::getProperty)},
        {"Event",
         {{"id", "i"}, {"eventId", "s"}, {"data", "v"}, {"timestamp", "u"}},
         {},
         answer(&DBusMenuExport::event)},
        {"EventGroup",
         {{"events", "a(isvu)"}},
         {{"idErrors", "ai"}},
         answer(&DBusMenuExport::eventGroup)},
        {"AboutToShow", {{"id", "i"}}, {{"needUpdate", "b"}}, answer(&DBusMenuExport::aboutToShow)},
        {"AboutToShowGroup",
         {{"ids", "ai"}},
         {{"updatesNeeded", "ai"}, {"idErrors", "ai"}},
         answer(&DBusMenuExport::aboutToShowGroup)}},
       {{"Version", "u", [] { return QVariant::fromValue(uint(3)); }},
        {"TextDirection", "s", [] { return QVariant(QStringLiteral("ltr")); }},
        {"Status", "s", [] { return QVariant(QStringLiteral("normal")); }},
        {"IconThemePath", "as", [] { return QVariant(QStringList()); }}},
       {{"ItemsPropertiesUpdated", {{"updatedProps", "a(ia{sv})"}, {"removedProps", "a(ias)"}}},
        {"LayoutUpdated", {{"revision", "u"}, {"parent", "i"}}},
        {"ItemActivationRequested", {{"id", "i"}, {"timestamp", "u"}}}}});
}

void DBusMenuExport::setRows(const MenuRows& rows) {
  if (_menu.setRows(rows)) scheduleSignals();
}

void DBusMenuExport::scheduleSignals() {
  if (_signalsScheduled) return;
  _signalsScheduled = true;
  QTimer::singleShot(0, this, [this] { sendSignals(); });
}

void DBusMenuExport::sendSignals() {
  _signalsScheduled = false;
  ExportedMenu::Signals pending = _menu.takeSignals();
  if (pending.empty()) return;
  if (!pending.properties.empty()) {
    QList<DBusMenuItem> updated;
    QList<DBusMenuItemKeys> removed;
    for (const ExportedMenu::Signals::Changed& changed : pending.properties) {
      if (!changed.updated.empty())
        updated << DBusMenuItem{changed.id, dbusProperties(changed.updated)};
      if (!changed.removed.empty()) {
        DBusMenuItemKeys keys{changed.id, {}};
        for (const std::string& name : changed.removed) keys.names << QString::fromStdString(name);
        removed << keys;
      }
    }
    emitSignal("ItemsPropertiesUpdated",
               {QVariant::fromValue(updated), QVariant::fromValue(removed)});
  }
  if (pending.layout) {
    emitSignal("LayoutUpdated",
               {QVariant::fromValue(uint(*pending.layout)), QVariant::fromValue(int(0))});
  }
}

bool DBusMenuExport::open() {
  uint64_t before = _menu.changes();
  _open = true;
  if (_hooks.opening) _hooks.opening();
  return _menu.changes() != before;
}

void DBusMenuExport::handle(int id, const QString& eventId) {
  if (eventId == QStringLiteral("clicked")) {
    std::optional<std::string> key = _menu.keyOf(id);
    if (!key) return;
    // After the reply: the choice may ask a question and run the loop.
    QTimer::singleShot(0, this, [this, key = *key] {
      if (_hooks.chosen) _hooks.chosen(key);
    });
  } else if (id == ExportedMenu::kRootId && eventId == QStringLiteral("opened")) {
    // Hosts that sent AboutToShow first have had their opening.
    if (!_open) open();
  } else if (id == ExportedMenu::kRootId && eventId == QStringLiteral("closed")) {
    if (!_open) return;
    _open = false;
    if (_hooks.closed) _hooks.closed();
  }
}

void DBusMenuExport::unknownId(const QDBusMessage& call, int id) {
  invalidArguments(call, QStringLiteral("No menu item has the id %1").arg(id));
}

void DBusMenuExport::getLayout(const QDBusMessage& call, const QList<QVariant>& arguments) {
  int parent = arguments[0].toInt();
  bool children = arguments[1].toInt() != 0;
  QStringList names = arguments[2].toStringList();
  if (!_layout || _layout->changes != _menu.changes() || _layout->parent != parent ||
      _layout->children != children || _layout->names != names) {
    DBusMenuLayout layout;
    layout.id = parent;
    if (parent == ExportedMenu::kRootId) {
      layout.properties = dbusProperties(_menu.rootProperties(), names);
      if (children) {
        layout.children.reserve(qsizetype(_menu.items().size()));
        for (const ExportedMenu::Item& item : _menu.items()) {
          layout.children.append({item.id, dbusProperties(item.properties, names), {}});
        }
      }
    } else if (const ExportedMenu::Item* item = _menu.find(parent)) {
      layout.properties = dbusProperties(item->properties, names);
    } else {
      return unknownId(call, parent);
    }
    _layout = LayoutReply{_menu.changes(), parent, children, names, QVariant::fromValue(layout)};
  }
  reply(call, {QVariant::fromValue(uint(_menu.revision())), _layout->layout});
}

void DBusMenuExport::getGroupProperties(const QDBusMessage& call,
                                        const QList<QVariant>& arguments) {
  QList<int> ids = intList(arguments[0]);
  QStringList names = arguments[1].toStringList();
  QList<DBusMenuItem> found;
  if (ids.isEmpty()) {
    for (const ExportedMenu::Item& item : _menu.items()) {
      found << DBusMenuItem{item.id, dbusProperties(item.properties, names)};
    }
  }
  for (int id : ids) {
    if (id == ExportedMenu::kRootId) {
      found << DBusMenuItem{id, dbusProperties(_menu.rootProperties(), names)};
    } else if (const ExportedMenu::Item* item = _menu.find(id)) {
      found << DBusMenuItem{id, dbusProperties(item->properties, names)};
    }
  }
  reply(call, {QVariant::fromValue(found)});
}

void DBusMenuExport::getProperty(const QDBusMessage& call, const QList<QVariant>& arguments) {
  int id = arguments[0].toInt();
  const MenuProperties* properties = nullptr;
  if (id == ExportedMenu::kRootId) {
    properties = &_menu.rootProperties();
  } else if (const ExportedMenu::Item* item = _menu.find(id)) {
    properties = &item->properties;
  } else {
    return unknownId(call, id);
  }
  std::string name = arguments[1].toString().toStdString();
  auto value = properties->find(name);
  // A property left out for its default is still the item's.
  std::optional<MenuPropertyValue> found =
      value != properties->end() ? value->second : dbusmenuDefault(name);
  if (!found) return invalidArguments(call, QStringLiteral("The item has no such property"));
  reply(call, {QVariant::fromValue(QDBusVariant(dbusValue(*found)))});
}

void DBusMenuExport::event(const QDBusMessage& call, const QList<QVariant>& arguments) {
  reply(call);
  handle(arguments[0].toInt(), arguments[1].toString());
}

void DBusMenuExport::eventGroup(const QDBusMessage& call, const QList<QVariant>& arguments) {
  QList<DBusMenuEvent> events = qdbus_cast<QList<DBusMenuEvent>>(arguments[0]);
  QList<int> errors;
  for (const DBusMenuEvent& each : events) {
    if (!knownId(each.id)) errors << each.id;
  }
  reply(call, {QVariant::fromValue(errors)});
  for (const DBusMenuEvent& each : events) {
    if (knownId(each.id)) handle(each.id, each.eventId);
  }
}

void DBusMenuExport::aboutToShow(const QDBusMessage& call, const QList<QVariant>& arguments) {
  int id = arguments[0].toInt();
  if (id == ExportedMenu::kRootId) return reply(call, {open()});
  if (!knownId(id)) return unknownId(call, id);
  reply(call, {false});  // a row has no submenu
}

void DBusMenuExport::aboutToShowGroup(const QDBusMessage& call, const QList<QVariant>& arguments) {
  QList<int> updates;
  QList<int> errors;
  bool root = false;
  for (int id : intList(arguments[0])) {
    if (id == ExportedMenu::kRootId) {
      root = true;
    } else if (!knownId(id)) {
      errors << id;
    }
  }
  if (root && open()) updates << ExportedMenu::kRootId;
  reply(call, {QVariant::fromValue(updates), QVariant::fromValue(errors)});
}

}  // namespace kestrond
