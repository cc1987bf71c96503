// The D-Bus structures of systemd's StartTransientUnit as Qt types with
// their marshalling. Qt code; used by the service manager.
#pragma once

#include <QDBusArgument>
#include <QDBusVariant>
#include <QList>
#include <QMetaType>
#include <QString>

#include "ServiceUnit.h"

namespace kestrond {

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

// Makes the types known to QtDBus, and the object path type known by name
// (for slots that receive bus signals); idempotent.
void registerDBusTypes();

// A unit's properties as StartTransientUnit takes them, each value with its
// D-Bus type (s, b, i, t or au).
QList<DBusUnitProperty> dbusUnitProperties(const std::vector<UnitProperty>& properties);

}  // namespace kestrond

Q_DECLARE_METATYPE(kestrond::DBusUnitProperty)
Q_DECLARE_METATYPE(kestrond::DBusAuxiliaryUnit)

namespace kestrond {
QDBusArgument& operator<<(QDBusArgument& out, const DBusUnitProperty& property);
const QDBusArgument& operator>>(const QDBusArgument& in, DBusUnitProperty& property);
QDBusArgument& operator<<(QDBusArgument& out, const DBusAuxiliaryUnit& unit);
const QDBusArgument& operator>>(const QDBusArgument& in, DBusAuxiliaryUnit& unit);
}  // namespace kestrond
