// The D-Bus structures of the tray protocols (StatusNotifierItem and
// com.canonical.dbusmenu) and of systemd's StartTransientUnit as Qt types
// with their marshalling. Qt code; used by the exports and the service
// manager in this folder.
#pragma once

#include <QByteArray>
#include <QDBusArgument>
#include <QDBusVariant>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include "ExportedMenu.h"
#include "ServiceUnit.h"

namespace kestrond {

// A menu item with its children: (ia{sv}av), the children as variants.
struct DBusMenuLayout {
  int id = 0;
  QVariantMap properties;
  QList<DBusMenuLayout> children;
};

// (ia{sv}): an item's properties.
struct DBusMenuItem {
  int id = 0;
  QVariantMap properties;
};

// (ias): the properties an item no longer has.
struct DBusMenuItemKeys {
  int id = 0;
  QStringList names;
};

// (isvu): one event of an EventGroup.
struct DBusMenuEvent {
  int id = 0;
  QString eventId;
  QDBusVariant data;
  uint timestamp = 0;
};

// (iiay): a picture, ARGB32 in network byte order.
struct DBusIconPixmap {
  int width = 0;
  int height = 0;
  QByteArray bytes;
};

// (sa(iiay)ss): icon name, pictures, title, description.
struct DBusToolTip {
  QString iconName;
  QList<DBusIconPixmap> pixmaps;
  QString title;
  QString description;
};

// (sv): a unit property for StartTransientUnit.
struct DBusUnitProperty {
  QString name;
  QDBusVariant value;
};

// (sa(sv)): an auxiliary unit for StartTransientUnit.
struct DBusAuxiliaryUnit {
  QString name;
  QList<DBusUnitProperty> properties;
};

// Makes the types known to QtDBus; idempotent.
void registerDBusTypes();

// A property set as D-Bus values; only `names` when that is not empty.
QVariantMap dbusProperties(const MenuProperties& properties, const QStringList& names = {});
QVariant dbusValue(const MenuPropertyValue& value);
// A unit's properties as StartTransientUnit takes them, each value with its
// D-Bus type (s, b, i, t or au).
QList<DBusUnitProperty> dbusUnitProperties(const std::vector<UnitProperty>& properties);

}  // namespace kestrond

Q_DECLARE_METATYPE(kestrond::DBusMenuLayout)
Q_DECLARE_METATYPE(kestrond::DBusMenuItem)
Q_DECLARE_METATYPE(kestrond::DBusMenuItemKeys)
Q_DECLARE_METATYPE(kestrond::DBusMenuEvent)
Q_DECLARE_METATYPE(kestrond::DBusIconPixmap)
Q_DECLARE_METATYPE(kestrond::DBusToolTip)
Q_DECLARE_METATYPE(kestrond::DBusUnitProperty)
Q_DECLARE_METATYPE(kestrond::DBusAuxiliaryUnit)

namespace kestrond {
QDBusArgument& operator<<(QDBusArgument& out, const DBusMenuLayout& layout);
const QDBusArgument& operator>>(const QDBusArgument& in, DBusMenuLayout& layout);
QDBusArgument& operator<<(QDBusArgument& out, const DBusMenuItem& item);
const QDBusArgument& operator>>(const QDBusArgument& in, DBusMenuItem& item);
QDBusArgument& operator<<(QDBusArgument& out, const DBusMenuItemKeys& keys);
const QDBusArgument& operator>>(const QDBusArgument& in, DBusMenuItemKeys& keys);
QDBusArgument& operator<<(QDBusArgument& out, const DBusMenuEvent& event);
const QDBusArgument& operator>>(const QDBusArgument& in, DBusMenuEvent& event);
QDBusArgument& operator<<(QDBusArgument& out, const DBusIconPixmap& pixmap);
const QDBusArgument& operator>>(const QDBusArgument& in, DBusIconPixmap& pixmap);
QDBusArgument& operator<<(QDBusArgument& out, const DBusToolTip& toolTip);
const QDBusArgument& operator>>(const QDBusArgument& in, DBusToolTip& toolTip);
QDBusArgument& operator<<(QDBusArgument& out, const DBusUnitProperty& property);
const QDBusArgument& operator>>(const QDBusArgument& in, DBusUnitProperty& property);
QDBusArgument& operator<<(QDBusArgument& out, const DBusAuxiliaryUnit& unit);
const QDBusArgument& operator>>(const QDBusArgument& in, DBusAuxiliaryUnit& unit);
}  // namespace kestrond
