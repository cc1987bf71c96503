#include "DBusTypes.h"

#include <QDBusMetaType>
#include <QDBusObjectPath>

namespace kestrond {

void registerDBusTypes() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  // By name too: QtDBus finds a slot's parameter types by their names, and
  // JobRemoved's slot takes an object path.
  qRegisterMetaType<QDBusObjectPath>();
  qDBusRegisterMetaType<QList<uint>>();
  qDBusRegisterMetaType<DBusUnitProperty>();
  qDBusRegisterMetaType<QList<DBusUnitProperty>>();
  qDBusRegisterMetaType<DBusAuxiliaryUnit>();
  qDBusRegisterMetaType<QList<DBusAuxiliaryUnit>>();
}

QList<DBusUnitProperty> dbusUnitProperties(const std::vector<UnitProperty>& properties) {
  QList<DBusUnitProperty> list;
  for (const auto& [name, value] : properties) {
    QVariant variant;
    if (const std::string* text = std::get_if<std::string>(&value)) {
      variant = QString::fromStdString(*text);
    } else if (const bool* flag = std::get_if<bool>(&value)) {
      variant = *flag;
    } else if (const int32_t* number = std::get_if<int32_t>(&value)) {
      variant = int(*number);
    } else if (const uint64_t* big = std::get_if<uint64_t>(&value)) {
      variant = QVariant::fromValue(qulonglong{*big});
    } else {
      const auto& numbers = std::get<std::vector<uint32_t>>(value);
      variant = QVariant::fromValue(QList<uint>(numbers.begin(), numbers.end()));
    }
    list.append({QString::fromStdString(name), QDBusVariant(variant)});
  }
  return list;
}

QDBusArgument& operator<<(QDBusArgument& out, const DBusUnitProperty& property) {
  out.beginStructure();
  out << property.name << property.value;
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, DBusUnitProperty& property) {
  in.beginStructure();
  in >> property.name >> property.value;
  in.endStructure();
  return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const DBusAuxiliaryUnit& unit) {
  out.beginStructure();
  out << unit.name << unit.properties;
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, DBusAuxiliaryUnit& unit) {
  in.beginStructure();
  in >> unit.name >> unit.properties;
  in.endStructure();
  return in;
}

}  // namespace kestrond
