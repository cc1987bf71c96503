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
)xml";

}  // namespace

const QString StatusNotifierExport::kPath = QStringLiteral("/StatusNotifierItem");

StatusNotifierExport::StatusNotifierExport(LogSink& log, Hooks hooks)
    : DBusObject(log, kPath, kInterface, kItemXml, "the status item"), _hooks(std::move(hooks)) {}

void StatusNotifierExport::setIcon(QList<DBusIconPixmap> pixmaps) {
  _pixmaps = std::move(pixmaps);
  emitSignal(QStringLiteral("NewIcon"));
  emitSignal(QStringLiteral("NewAttentionIcon"));
}

void StatusNotifierExport::setToolTip(const QString& title, const QString& description) {
  if (title == _toolTipTitle && description == _toolTipDescription) return;
  _toolTipTitle = title;
  _toolTipDescription = description;
  emitSignal(QStringLiteral("NewToolTip"));
}

void StatusNotifierExport::setNeedsAttention(bool attention) {
  if (attention == _needsAttention) return;
  _needsAttention = attention;
  emitSignal(QStringLiteral("NewStatus"),
             {attention ? QStringLiteral("NeedsAttention") : QStringLiteral("Active")});
}

QVariantMap StatusNotifierExport::properties() const {
  // Hosts read the texts as markup; they are plain text.
  DBusToolTip toolTip{
      QString(), {}, _toolTipTitle.toHtmlEscaped(), _toolTipDescription.toHtmlEscaped()};
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

bool StatusNotifierExport::call(const QDBusMessage& message, const QDBusConnection& connection) {
  const QString& member = message.member();
  const QString signature = message.signature();
  const QList<QVariant> arguments = message.arguments();

  if ((member == QStringLiteral("Activate") || member == QStringLiteral("ContextMenu")) &&
      signature == QStringLiteral("ii")) {
    int x = arguments[0].toInt();
    int y = arguments[1].toInt();
    reply(message, connection);
    // An Activate only arms the grace for the host's own menu, at once: a
    // host opening its menu in the same loop turn must find it armed. A
    // context menu runs the menu's loop, so it waits for the next turn.
    if (member == QStringLiteral("Activate")) {
      if (_hooks.activate) _hooks.activate(x, y);
    } else if (const auto& hook = _hooks.contextMenu) {
      QTimer::singleShot(0, this, [hook, x, y] { hook(x, y); });
    }
    return true;
  }
  if (member == QStringLiteral("SecondaryActivate") && signature == QStringLiteral("ii")) {
    return reply(message, connection);  // a middle click means nothing here
  }
  if (member == QStringLiteral("Scroll") && signature == QStringLiteral("is")) {
    return reply(message, connection);
  }
  if (member == QStringLiteral("ProvideXdgActivationToken") && signature == QStringLiteral("s")) {
    if (_hooks.activationToken) _hooks.activationToken(arguments[0].toString());
    return reply(message, connection);
  }
  return false;
}

}  // namespace kestrond
