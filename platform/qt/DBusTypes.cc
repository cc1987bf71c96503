#include "DBusTypes.h"

#include <QDBusMetaType>

namespace kestrond {

void registerDBusTypes() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  qDBusRegisterMetaType<DBusMenuLayout>();
  qDBusRegisterMetaType<DBusMenuItem>();
  qDBusRegisterMetaType<QList<DBusMenuItem>>();
  qDBusRegisterMetaType<DBusMenuItemKeys>();
  qDBusRegisterMetaType<QList<DBusMenuItemKeys>>();
  qDBusRegisterMetaType<DBusMenuEvent>();
  qDBusRegisterMetaType<QList<DBusMenuEvent>>();
  qDBusRegisterMetaType<DBusIconPixmap>();
  qDBusRegisterMetaType<QList<DBusIconPixmap>>();
  qDBusRegisterMetaType<DBusToolTip>();
  qDBusRegisterMetaType<QList<QStringList>>();
  qDBusRegisterMetaType<QList<uint>>();
  qDBusRegisterMetaType<DBusUnitProperty>();
  qDBusRegisterMetaType<QList<DBusUnitProperty>>();
  qDBusRegisterMetaType<DBusAuxiliaryUnit>();
  qDBusRegisterMetaType<QList<DBusAuxiliaryUnit>>();
}

QVariant dbusValue(const MenuPropertyValue& value) {
  if (const bool* flag = std::get_if<bool>(&value)) return QVariant(*flag);
  if (const int32_t* number = std::get_if<int32_t>(&value)) return QVariant(int(*number));
  if (const std::string* text = std::get_if<std::string>(&value)) {
    return QVariant(QString::fromStdString(*text));
  }
  QList<QStringList> keys;
  for (const std::vector<std::string>& combination :
       std::get<std::vector<std::vector<std::string>>>(value)) {
    QStringList names;
    for (const std::string& name : combination) names << QString::fromStdString(name);
    keys << names;
  }
  return QVariant::fromValue(keys);
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

QVariantMap dbusProperties(const MenuProperties& properties, const QStringList& names) {
  QVariantMap map;
  for (const auto& [name, value] : properties) {
    QString key = QString::fromStdString(name);
    if (!names.isEmpty() && !names.contains(key)) continue;
    map.insert(key, dbusValue(value));
  }
  return map;
}

QDBusArgument& operator<<(QDBusArgument& out, const DBusMenuLayout& layout) {
  out.beginStructure();
  out << layout.id << layout.properties;
  out.beginArray(QMetaType::fromType<QDBusVariant>());
  for (const DBusMenuLayout& child : layout.children) {
    out << QDBusVariant(QVariant::fromValue(child));
  }
  out.endArray();
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, DBusMenuLayout& layout) {
  in.beginStructure();
  in >> layout.id >> layout.properties;
  in.beginArray();
  layout.children.clear();
  while (!in.atEnd()) {
    QDBusVariant child;
    in >> child;
    layout.children << qdbus_cast<DBusMenuLayout>(child.variant().value<QDBusArgument>());
  }
  in.endArray();
  in.endStructure();
  return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const DBusMenuItem& item) {
  out.beginStructure();
  out << item.id << item.properties;
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, DBusMenuItem& item) {
  in.beginStructure();
  in >> item.id >> item.properties;
  in.endStructure();
  return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const DBusMenuItemKeys& keys) {
  out.beginStructure();
  out << keys.id << keys.names;
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, DBusMenuItemKeys& keys) {
  in.beginStructure();
  in >> keys.id >> keys.names;
  in.endStructure();
  return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const DBusMenuEvent& event) {
  out.beginStructure();
  out << event.id << event.eventId << event.data << event.timestamp;
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, DBusMenuEvent& event) {
  in.beginStructure();
  in >> event.id >> event.eventId >> event.data >> event.timestamp;
  in.endStructure();
  return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const DBusIconPixmap& pixmap) {
  out.beginStructure();
  out << pixmap.width << pixmap.height << pixmap.bytes;
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, DBusIconPixmap& pixmap) {
  in.beginStructure();
  in >> pixmap.width >> pixmap.height >> pixmap.bytes;
  in.endStructure();
  return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const DBusToolTip& toolTip) {
  out.beginStructure();
  out << toolTip.iconName << toolTip.pixmaps << toolTip.title << toolTip.description;
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, DBusToolTip& toolTip) {
  in.beginStructure();
  in >> toolTip.iconName >> toolTip.pixmaps >> toolTip.title >> toolTip.description;
  in.endStructure();
  return in;
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
