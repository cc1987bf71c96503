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

const char kMenuInterfaceXml[] = R"xml(  <interface name="com.canonical.dbusmenu">
    <property name="Version" type="u" access="read"/>
    <property name="TextDirection" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="IconThemePath" type="as" access="read"/>
    <method name="GetLayout">
      <arg type="i" name="parentId" direction="in"/>
      <arg type="i" name="recursionDepth" direction="in"/>
      <arg type="as" name="propertyNames" direction="in"/>
      <arg type="u" name="revision" direction="out"/>
      <arg type="(ia{sv}av)" name="layout" direction="out"/>
    </method>
    <method name="GetGroupProperties">
      <arg type="ai" name="ids" direction="in"/>
      <arg type="as" name="propertyNames" direction="in"/>
      <arg type="a(ia{sv})" name="properties" direction="out"/>
    </method>
    <method name="GetProperty">
      <arg type="i" name="id" direction="in"/>
      <arg type="s" name="name" direction="in"/>
      <arg type="v" name="value" direction="out"/>
    </method>
    <method name="Event">
      <arg type="i" name="id" direction="in"/>
      <arg type="s" name="eventId" direction="in"/>
      <arg type="v" name="data" direction="in"/>
      <arg type="u" name="timestamp" direction="in"/>
    </method>
    <method name="EventGroup">
      <arg type="a(isvu)" name="events" direction="in"/>
      <arg type="ai" name="idErrors" direction="out"/>
    </method>
    <method name="AboutToShow">
      <arg type="i" name="id" direction="in"/>
      <arg type="b" name="needUpdate" direction="out"/>
    </method>
    <method name="AboutToShowGroup">
      <arg type="ai" name="ids" direction="in"/>
      <arg type="ai" name="updatesNeeded" direction="out"/>
      <arg type="ai" name="idErrors" direction="out"/>
    </method>
    <signal name="ItemsPropertiesUpdated">
      <arg type="a(ia{sv})" name="updatedProps"/>
      <arg type="a(ias)" name="removedProps"/>
    </signal>
    <signal name="LayoutUpdated">
      <arg type="u" name="revision"/>
      <arg type="i" name="parent"/>
    </signal>
    <signal name="ItemActivationRequested">
      <arg type="i" name="id"/>
      <arg type="u" name="timestamp"/>
    </signal>
  </interface>
)xml";

QList<int> intList(const QVariant& argument) {
  return qdbus_cast<QList<int>>(argument);
}

}  // namespace

const QString DBusMenuExport::kPath = QStringLiteral("/MenuBar");

DBusMenuExport::DBusMenuExport(LogSink& log, Hooks hooks)
    : DBusObject(log, kPath, kInterface, kMenuInterfaceXml, "the menu"), _hooks(std::move(hooks)) {}

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
    emitSignal(QStringLiteral("ItemsPropertiesUpdated"),
               {QVariant::fromValue(updated), QVariant::fromValue(removed)});
  }
  if (pending.layout) {
    emitSignal(QStringLiteral("LayoutUpdated"),
               {QVariant::fromValue(uint(*pending.layout)), QVariant::fromValue(int(0))});
  }
}

bool DBusMenuExport::open() {
  uint64_t before = _menu.changes();
  _open = true;
  if (_hooks.opening) _hooks.opening();
  return _menu.changes() != before;
}

void DBusMenuExport::event(int id, const QString& eventId) {
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

QVariantMap DBusMenuExport::properties() const {
  return {{QStringLiteral("Version"), QVariant::fromValue(uint(3))},
          {QStringLiteral("TextDirection"), QStringLiteral("ltr")},
          {QStringLiteral("Status"), QStringLiteral("normal")},
          {QStringLiteral("IconThemePath"), QStringList()}};
}

bool DBusMenuExport::call(const QDBusMessage& message, const QDBusConnection& connection) {
  const QString& member = message.member();
  const QList<QVariant> arguments = message.arguments();
  auto answer = [&](const QList<QVariant>& values) { return reply(message, connection, values); };
  auto unknownId = [&](int id) {
    return invalidArguments(message, connection,
                            QStringLiteral("No menu item has the id %1").arg(id));
  };
  const QString signature = message.signature();
  if (member == QStringLiteral("GetLayout") && signature == QStringLiteral("iias")) {
    int parent = arguments[0].toInt();
    int depth = arguments[1].toInt();
    QStringList names = arguments[2].toStringList();
    DBusMenuLayout layout;
    layout.id = parent;
    if (parent == ExportedMenu::kRootId) {
      layout.properties = dbusProperties(_menu.rootProperties(), names);
      if (depth != 0) {
        layout.children.reserve(qsizetype(_menu.items().size()));
        for (const ExportedMenu::Item& item : _menu.items()) {
          layout.children.append({item.id, dbusProperties(item.properties, names), {}});
        }
      }
    } else if (const ExportedMenu::Item* item = _menu.find(parent)) {
      layout.properties = dbusProperties(item->properties, names);
    } else {
      return unknownId(parent);
    }
    return answer({QVariant::fromValue(uint(_menu.revision())), QVariant::fromValue(layout)});
  }
  if (member == QStringLiteral("GetGroupProperties") && signature == QStringLiteral("aias")) {
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
    return answer({QVariant::fromValue(found)});
  }
  if (member == QStringLiteral("GetProperty") && signature == QStringLiteral("is")) {
    int id = arguments[0].toInt();
    const MenuProperties* properties = nullptr;
    if (id == ExportedMenu::kRootId) {
      properties = &_menu.rootProperties();
    } else if (const ExportedMenu::Item* item = _menu.find(id)) {
      properties = &item->properties;
    } else {
      return unknownId(id);
    }
    auto value = properties->find(arguments[1].toString().toStdString());
    if (value == properties->end()) {
      return invalidArguments(message, connection, QStringLiteral("The item has no such property"));
    }
    return answer({QVariant::fromValue(QDBusVariant(dbusValue(value->second)))});
  }
  if (member == QStringLiteral("Event") && signature == QStringLiteral("isvu")) {
    int id = arguments[0].toInt();
    QString eventId = arguments[1].toString();
    answer({});
    event(id, eventId);
    return true;
  }
  if (member == QStringLiteral("EventGroup") && signature == QStringLiteral("a(isvu)")) {
    QList<DBusMenuEvent> events = qdbus_cast<QList<DBusMenuEvent>>(arguments[0]);
    QList<int> errors;
    for (const DBusMenuEvent& each : events) {
      if (!knownId(each.id)) errors << each.id;
    }
    answer({QVariant::fromValue(errors)});
    for (const DBusMenuEvent& each : events) {
      if (knownId(each.id)) event(each.id, each.eventId);
    }
    return true;
  }
  if (member == QStringLiteral("AboutToShow") && signature == QStringLiteral("i")) {
    int id = arguments[0].toInt();
    if (id != ExportedMenu::kRootId) {
      if (!knownId(id)) return unknownId(id);
      return answer({false});  // a row has no submenu
    }
    return answer({open()});
  }
  if (member == QStringLiteral("AboutToShowGroup") && signature == QStringLiteral("ai")) {
    QList<int> ids = intList(arguments[0]);
    QList<int> updates;
    QList<int> errors;
    bool root = false;
    for (int id : ids) {
      if (id == ExportedMenu::kRootId) {
        root = true;
      } else if (!knownId(id)) {
        errors << id;
      }
    }
    if (root && open()) updates << ExportedMenu::kRootId;
    return answer({QVariant::fromValue(updates), QVariant::fromValue(errors)});
  }
  return false;
}

}  // namespace kestrond
