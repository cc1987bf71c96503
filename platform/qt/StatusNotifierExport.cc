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

}  // namespace

const QString StatusNotifierExport::kPath = QStringLiteral("/StatusNotifierItem");

StatusNotifierExport::StatusNotifierExport(LogSink& log, Hooks hooks)
    : DBusObject(log, kPath, "the status item"), _hooks(std::move(hooks)) {
  auto text = [](QString value) { return [value] { return QVariant(value); }; };
  auto none = [] { return QVariant::fromValue(QList<DBusIconPixmap>()); };
  auto pixmaps = [this] { return QVariant::fromValue(_pixmaps); };
  auto ignored = [this](const QDBusMessage& call, const QList<QVariant>&) { reply(call); };
  declare(
      {kInterface,
       {{"ContextMenu",
         {{"x", "i"}, {"y", "i"}},
         {},
         [this](auto& call, auto& arguments) { click(call, arguments, false); }},
        {"Activate",
         {{"x", "i"}, {"y", "i"}},
         {},
         [this](auto& call, auto& arguments) { click(call, arguments, true); }},
        // A middle click, or the wheel, means nothing here.
        {"SecondaryActivate", {{"x", "i"}, {"y", "i"}}, {}, ignored},
        {"Scroll", {{"delta", "i"}, {"orientation", "s"}}, {}, ignored},
        {"ProvideXdgActivationToken",
         {{"token", "s"}},
         {},
         [this](auto& call, auto& arguments) {
           if (_hooks.activationToken) _hooks.activationToken(arguments[0].toString());
           reply(call);
         }}},
       {{"Category", "s", text(QStringLiteral("ApplicationStatus"))},
        {"Id", "s", text(QString::fromLatin1(kProgramName))},
        {"Title", "s", text(QString::fromLatin1(kApplicationName))},
        {"Status", "s",
         [this] {
           return QVariant(_needsAttention ? QStringLiteral("NeedsAttention")
                                           : QStringLiteral("Active"));
         }},
        {"WindowId", "i", [] { return QVariant(0); }},
        {"IconThemePath", "s", text(QString())},
        {"IconName", "s", text(QString())},
        {"IconPixmap", "a(iiay)", pixmaps},
        {"OverlayIconName", "s", text(QString())},
        {"OverlayIconPixmap", "a(iiay)", none},
        {"AttentionIconName", "s", text(QString())},
        // The same picture: the mark already tells what happened.
        {"AttentionIconPixmap", "a(iiay)", pixmaps},
        {"AttentionMovieName", "s", text(QString())},
        {"ToolTip", "(sa(iiay)ss)",
         [this] {
           // Hosts read the texts as markup; they are plain text.
           return QVariant::fromValue(DBusToolTip{
               QString(), {}, _toolTipTitle.toHtmlEscaped(), _toolTipDescription.toHtmlEscaped()});
         }},
        {"ItemIsMenu", "b", [] { return QVariant(false); }},
        {"Menu", "o", [] { return QVariant::fromValue(QDBusObjectPath(DBusMenuExport::kPath)); }}},
       {{"NewTitle", {}},
        {"NewIcon", {}},
        {"NewAttentionIcon", {}},
        {"NewOverlayIcon", {}},
        {"NewToolTip", {}},
        {"NewStatus", {{"status", "s"}}}}});
}

void StatusNotifierExport::setIcon(QList<DBusIconPixmap> pixmaps) {
  _pixmaps = std::move(pixmaps);
  emitSignal("NewIcon");
  emitSignal("NewAttentionIcon");
}

void StatusNotifierExport::setToolTip(const QString& title, const QString& description) {
  if (title == _toolTipTitle && description == _toolTipDescription) return;
  _toolTipTitle = title;
  _toolTipDescription = description;
  emitSignal("NewToolTip");
}

void StatusNotifierExport::setNeedsAttention(bool attention) {
  if (attention == _needsAttention) return;
  _needsAttention = attention;
  emitSignal("NewStatus",
             {attention ? QStringLiteral("NeedsAttention") : QStringLiteral("Active")});
}

void StatusNotifierExport::click(const QDBusMessage& call, const QList<QVariant>& arguments,
                                 bool activate) {
  int x = arguments[0].toInt();
  int y = arguments[1].toInt();
  reply(call);
  // An Activate only arms the grace for the host's own menu, at once: a
  // host opening its menu in the same loop turn must find it armed. A
  // context menu runs the menu's loop, so it waits for the next turn.
  if (activate) {
    if (_hooks.activate) _hooks.activate(x, y);
  } else if (const auto& hook = _hooks.contextMenu) {
    QTimer::singleShot(0, this, [hook, x, y] { hook(x, y); });
  }
}

}  // namespace kestrond
