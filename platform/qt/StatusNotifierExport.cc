#include "StatusNotifierExport.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QTimer>

#include "DBusMenuExport.h"
#include "Identity.h"

namespace kestrond {
namespace {

const QString kInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kIntrospectable = QStringLiteral("org.freedesktop.DBus.Introspectable");

const char kItemXml[] = R"xml(  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconThemePath" type="s" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionMovieName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <method name="ContextMenu">
      <arg type="i" name="x" direction="in"/>
      <arg type="i" name="y" direction="in"/>
    </method>
    <method name="Activate">
      <arg type="i" name="x" direction="in"/>
      <arg type="i" name="y" direction="in"/>
    </method>
    <method name="SecondaryActivate">
      <arg type="i" name="x" direction="in"/>
      <arg type="i" name="y" direction="in"/>
    </method>
    <method name="Scroll">
      <arg type="i" name="delta" direction="in"/>
      <arg type="s" name="orientation" direction="in"/>
    </method>
    <method name="ProvideXdgActivationToken">
      <arg type="s" name="token" direction="in"/>
    </method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewAttentionIcon"/>
    <signal name="NewOverlayIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus">
      <arg type="s" name="status"/>
    </signal>
  </interface>
  <interface name="org.freedesktop.DBus.Properties">
    <method name="Get">
      <arg type="s" name="interface" direction="in"/>
      <arg type="s" name="name" direction="in"/>
      <arg type="v" name="value" direction="out"/>
    </method>
    <method name="GetAll">
      <arg type="s" name="interface" direction="in"/>
      <arg type="a{sv}" name="properties" direction="out"/>
    </method>
  </interface>
  <interface name="org.freedesktop.DBus.Introspectable">
    <method name="Introspect">
      <arg type="s" name="data" direction="out"/>
    </method>
  </interface>
)xml";

}  // namespace

const QString StatusNotifierExport::kPath = QStringLiteral("/StatusNotifierItem");

QString escapedForMarkup(const QString& text) {
  QString escaped;
  escaped.reserve(text.size());
  for (QChar c : text) {
    switch (c.unicode()) {
      case '&': escaped += QStringLiteral("&amp;"); break;
      case '<': escaped += QStringLiteral("&lt;"); break;
      case '>': escaped += QStringLiteral("&gt;"); break;
      default: escaped += c;
    }
  }
  return escaped;
}

StatusNotifierExport::StatusNotifierExport(LogSink& log, Hooks hooks)
    : _log(log), _hooks(std::move(hooks)), _bus(QString()) {
  registerDBusTypes();
}

StatusNotifierExport::~StatusNotifierExport() {
  if (_serving) _bus.unregisterObject(kPath);
}

bool StatusNotifierExport::serveOn(QDBusConnection bus) {
  if (_serving) return true;
  if (!bus.isConnected() || !bus.registerVirtualObject(kPath, this)) {
    _log.write("Cannot offer the status item on the session bus (" + kPath.toStdString() + ")");
    return false;
  }
  _bus = bus;
  _serving = true;
  return true;
}

void StatusNotifierExport::notify(const char* signal, const QList<QVariant>& arguments) {
  if (!_serving) return;
  QDBusMessage message = QDBusMessage::createSignal(kPath, kInterface, QString::fromLatin1(signal));
  message.setArguments(arguments);
  _bus.send(message);
}

void StatusNotifierExport::setIcon(QList<DBusIconPixmap> pixmaps) {
  _pixmaps = std::move(pixmaps);
  notify("NewIcon");
  notify("NewAttentionIcon");
}

void StatusNotifierExport::setToolTip(const QString& title, const QString& description) {
  if (title == _toolTipTitle && description == _toolTipDescription) return;
  _toolTipTitle = title;
  _toolTipDescription = description;
  notify("NewToolTip");
}

void StatusNotifierExport::setNeedsAttention(bool attention) {
  if (attention == _needsAttention) return;
  _needsAttention = attention;
  notify("NewStatus", {attention ? QStringLiteral("NeedsAttention") : QStringLiteral("Active")});
}

QVariantMap StatusNotifierExport::properties() const {
  DBusToolTip toolTip{QString(), {}, escapedForMarkup(_toolTipTitle),
                      escapedForMarkup(_toolTipDescription)};
  QVariant pixmaps = QVariant::fromValue(_pixmaps);
  return {
      {QStringLiteral("Category"), QStringLiteral("ApplicationStatus")},
      {QStringLiteral("Id"), QString::fromLatin1(kProgramName)},
      {QStringLiteral("Title"), QString::fromLatin1(kApplicationName)},
      {QStringLiteral("Status"),
       _needsAttention ? QStringLiteral("NeedsAttention") : QStringLiteral("Active")},
      {QStringLiteral("WindowId"), 0},
      {QStringLiteral("IconThemePath"), QString()},
      {QStringLiteral("IconName"), QString()},
      {QStringLiteral("IconPixmap"), pixmaps},
      {QStringLiteral("OverlayIconName"), QString()},
      {QStringLiteral("OverlayIconPixmap"), QVariant::fromValue(QList<DBusIconPixmap>())},
      {QStringLiteral("AttentionIconName"), QString()},
      // The same picture: the mark already tells what happened.
      {QStringLiteral("AttentionIconPixmap"), pixmaps},
      {QStringLiteral("AttentionMovieName"), QString()},
      {QStringLiteral("ToolTip"), QVariant::fromValue(toolTip)},
      {QStringLiteral("ItemIsMenu"), false},
      {QStringLiteral("Menu"), QVariant::fromValue(QDBusObjectPath(DBusMenuExport::kPath))},
  };
}

QString StatusNotifierExport::introspect(const QString&) const {
  return QString::fromLatin1(kItemXml);
}

bool StatusNotifierExport::handleMessage(const QDBusMessage& message,
                                         const QDBusConnection& connection) {
  const QString& member = message.member();
  const QString signature = message.signature();
  const QList<QVariant> arguments = message.arguments();
  auto reply = [&](const QList<QVariant>& values) {
    connection.send(message.createReply(values));
    return true;
  };
  auto refuse = [&](const QString& error, const QString& text) {
    connection.send(message.createErrorReply(error, text));
    return true;
  };

  if (message.interface() == kIntrospectable && member == QStringLiteral("Introspect")) {
    return reply({QStringLiteral("<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object "
                                 "Introspection 1.0//EN\"\n \"http://www.freedesktop.org/"
                                 "standards/dbus/1.0/introspect.dtd\">\n<node>\n") +
                  QString::fromLatin1(kItemXml) + QStringLiteral("</node>\n")});
  }
  if (message.interface() == kProperties) {
    if (member == QStringLiteral("GetAll") && signature == QStringLiteral("s")) {
      if (arguments[0].toString() != kInterface) return reply({QVariantMap()});
      return reply({properties()});
    }
    if (member == QStringLiteral("Get") && signature == QStringLiteral("ss")) {
      QVariantMap all = properties();
      QString name = arguments[1].toString();
      if (arguments[0].toString() == kInterface && all.contains(name)) {
        return reply({QVariant::fromValue(QDBusVariant(all[name]))});
      }
      return refuse(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                    QStringLiteral("No such property"));
    }
    return refuse(QStringLiteral("org.freedesktop.DBus.Error.PropertyReadOnly"),
                  QStringLiteral("The item's properties are read-only"));
  }
  if (!message.interface().isEmpty() && message.interface() != kInterface) return false;

  // Answered first; what the click does runs on the next loop turn.
  auto later = [this](std::function<void()> call) {
    QTimer::singleShot(0, this, std::move(call));
  };
  if ((member == QStringLiteral("Activate") || member == QStringLiteral("ContextMenu")) &&
      signature == QStringLiteral("ii")) {
    int x = arguments[0].toInt();
    int y = arguments[1].toInt();
    reply({});
    const auto& hook = member == QStringLiteral("Activate") ? _hooks.activate : _hooks.contextMenu;
    if (hook) later([hook, x, y] { hook(x, y); });
    return true;
  }
  if (member == QStringLiteral("SecondaryActivate") && signature == QStringLiteral("ii")) {
    return reply({});  // a middle click means nothing here
  }
  if (member == QStringLiteral("Scroll") && signature == QStringLiteral("is")) {
    return reply({});
  }
  if (member == QStringLiteral("ProvideXdgActivationToken") && signature == QStringLiteral("s")) {
    if (_hooks.activationToken) _hooks.activationToken(arguments[0].toString());
    return reply({});
  }
  return refuse(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                QStringLiteral("No method %1 with signature %2").arg(member, signature));
}

}  // namespace kestrond
